// The registry on Linux: one file in the registry editor's export format
// (see registry_file.h), read when a key is opened from a root and written
// back whole after every change.
#include "platform/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/registry_file.h"
#include "platform/posix/wine_prefix.h"
#include "platform/text.h"

namespace platform {
namespace {

using posix::RegNode;
using posix::RegTree;
using posix::RegValue;

// What the file looked like when it was last read or written.
struct FileState {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  mode_t mode = 0;
  timespec mtime = {};
  timespec ctime = {};

  bool operator==(const FileState& o) const {
    if (exists != o.exists) return false;
    if (!exists) return true;
    return dev == o.dev && ino == o.ino && size == o.size && mode == o.mode &&
           mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
           ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

// The registry as read from one file.
struct Hive {
  std::string path;
  FileState state;
  RegTree tree;
  bool broken = false;    // unreadable or unparsable: nothing opens, nothing writes
  bool readOnly = false;  // the owner may not write the file: only kRead opens
};

struct Handle {
  std::shared_ptr<Hive> hive;
  std::shared_ptr<RegNode> node;
  bool writable;
};

bool ReadState(const std::string& path, FileState* state, int* error) {
  struct stat st;
  *state = FileState();
  if (::stat(path.c_str(), &st) != 0) {
    *error = errno;
    return false;
  }
  state->exists = true;
  state->dev = st.st_dev;
  state->ino = st.st_ino;
  state->size = st.st_size;
  state->mode = st.st_mode;
  state->mtime = st.st_mtim;
  state->ctime = st.st_ctim;
  return true;
}

bool ReadWhole(const std::string& path, std::string* out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out->clear();
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return n == 0;
    }
    out->append(buf, static_cast<size_t>(n));
  }
}

std::string RegistryPath() {
  const char* env = std::getenv("VXUPDATE_REGISTRY");
  if (env != nullptr && *env != '\0') return env;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (config != nullptr && config[0] == '/') {
    base = config;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
      const passwd* pw = ::getpwuid(::getuid());
      home = pw != nullptr ? pw->pw_dir : "";
    }
    base = std::string(home) + "/.config";
  }
  return base + "/vxupdate/registry.reg";
}

std::shared_ptr<Hive> g_hive;

// The hive of the registry file in force, read anew when the file (or the
// file named) changed since it was last read or written.
std::shared_ptr<Hive> CurrentHive() {
  std::string path = RegistryPath();
  FileState state;
  int error = 0;
  bool found = ReadState(path, &state, &error);
  if (g_hive != nullptr && g_hive->path == path && g_hive->state == state) return g_hive;
  auto hive = std::make_shared<Hive>();
  hive->path = path;
  hive->state = state;
  if (found) {
    std::string text;
    hive->readOnly = (state.mode & S_IWUSR) == 0;
    hive->broken = S_ISDIR(state.mode) || !ReadWhole(path, &text) ||
                   !posix::ParseRegistryFile(text, &hive->tree);
  } else {
    hive->broken = error != ENOENT;  // a missing file is an empty registry
  }
  g_hive = hive;
  return hive;
}

bool MakeParentFolders(const std::string& path) {
  for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
    std::string dir = path.substr(0, at);
    if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  return true;
}

// Writes the hive back whole: a temporary file beside the file, renamed
// over it. Refuses when the file changed since it was read, or became
// read-only, so that nobody's edit is lost.
bool Save(Hive* hive) {
  if (hive->broken || hive->readOnly) return false;
  FileState now;
  int error = 0;
  ReadState(hive->path, &now, &error);
  if (!(now == hive->state)) return false;
  std::string text;
  if (!posix::FormatRegistryFile(hive->tree, &text)) return false;

  std::string target = hive->path;
  if (now.exists) {
    char* real = ::realpath(hive->path.c_str(), nullptr);  // keep a symbolic link a link
    if (real == nullptr) return false;
    target = real;
    std::free(real);
  } else if (!MakeParentFolders(target)) {
    return false;
  }
  std::string temp = target + ".XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) return false;
  mode_t mode = now.exists ? (now.mode & 07777) : 0;
  if (!now.exists) {
    mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  bool ok = ::fchmod(fd, mode) == 0;
  for (size_t done = 0; ok && done < text.size();) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  ReadState(hive->path, &hive->state, &error);
  return true;
}

// Splits a code page 932 key path at its backslashes (never at the second
// byte of a double-byte character). Trailing backslashes are ignored, as
// Windows does; an empty or over-long name elsewhere fails.
bool SplitPath(const char* path, std::vector<std::string>* names) {
  names->clear();
  if (path == nullptr) return true;
  std::string name;
  const char* p = path;
  for (; *p != '\0'; ++p) {
    if (*p == '\\') {
      if (name.empty()) break;
      names->push_back(std::move(name));
      name.clear();
      continue;
    }
    name.push_back(*p);
    if (IsLeadByte(static_cast<unsigned char>(*p)) && p[1] != '\0') name.push_back(*++p);
  }
  if (*p == '\\') {
    while (*p == '\\') ++p;  // only trailing backslashes may follow
    if (*p != '\0') return false;
  }
  if (!name.empty()) names->push_back(std::move(name));
  for (const std::string& n : *names) {
    if (n.size() > kRegMaxKeyName) return false;
  }
  return true;
}

std::shared_ptr<RegNode> Child(const RegNode& node, const std::string& name) {
  for (const auto& c : node.children) {
    if (CompareNoCase(c->name.c_str(), name.c_str()) == 0) return c;
  }
  return nullptr;
}

class FileRegistry : public Registry {
 public:
  bool OpenKey(RegKey parent, const char* path, RegAccess access, RegKey* key) override {
    Handle at;
    std::vector<std::string> names;
    if (!Resolve(parent, &at) || !SplitPath(path, &names)) return false;
    for (const std::string& name : names) {
      at.node = Child(*at.node, name);
      if (at.node == nullptr) return false;
    }
    if (access == RegAccess::kAll && at.hive->readOnly) return false;
    at.writable = access == RegAccess::kAll;
    *key = new Handle(at);
    return true;
  }

  bool CreateKey(RegKey parent, const char* path, RegKey* key) override {
    Handle at;
    std::vector<std::string> names;
    if (!Resolve(parent, &at) || !SplitPath(path, &names) || at.hive->readOnly) return false;
    std::shared_ptr<RegNode> createdIn;  // the key below which new keys begin
    const RegNode* firstNew = nullptr;
    bool ok = true;
    for (const std::string& name : names) {
      std::shared_ptr<RegNode> next = Child(*at.node, name);
      if (next == nullptr) {
        if (at.node->depth >= posix::kRegMaxDepth || (createdIn == nullptr && !at.writable)) {
          ok = false;
          break;
        }
        const RegNode* made = at.node->AddChild(name);
        if (createdIn == nullptr) {
          createdIn = at.node;
          firstNew = made;
        }
        next = Child(*at.node, name);
      }
      at.node = next;
    }
    if (createdIn != nullptr && (!ok || !Save(at.hive.get()))) {
      auto& kids = createdIn->children;  // undo: every new key hangs below the first
      for (auto it = kids.begin(); it != kids.end(); ++it) {
        if (it->get() == firstNew) {
          kids.erase(it);
          break;
        }
      }
      return false;
    }
    if (!ok) return false;
    at.writable = true;
    *key = new Handle(at);
    return true;
  }

  bool QueryValue(RegKey key, const char* name, uint32_t* type, void* data,
                  uint32_t* size) override {
    Handle at;
    if (!Resolve(key, &at)) return false;
    const RegValue* v = at.node->FindValue(name != nullptr ? name : "");
    if (v == nullptr) return false;
    if (type != nullptr) *type = v->type;
    uint32_t need = static_cast<uint32_t>(v->data.size());
    if (data == nullptr) {
      *size = need;
      return true;
    }
    if (*size < need) {
      *size = need;
      return false;
    }
    if (need > 0) std::memcpy(data, v->data.data(), need);
    *size = need;
    return true;
  }

  bool SetValue(RegKey key, const char* name, uint32_t type, const void* data,
                uint32_t size) override {
    Handle at;
    if (!Resolve(key, &at) || !at.writable || at.hive->readOnly) return false;
    if (data == nullptr && size != 0) return false;
    std::string n = name != nullptr ? name : "";
    RegValue* v = at.node->FindValue(n);
    bool added = v == nullptr;
    RegValue old;
    if (added) {
      at.node->values.push_back(RegValue{n, type, {}});
      v = &at.node->values.back();
    } else {
      old = *v;
    }
    v->type = type;
    v->data.assign(static_cast<const char*>(data), size);
    if (Save(at.hive.get())) return true;
    if (added) {
      at.node->values.pop_back();
    } else {
      *v = old;
    }
    return false;
  }

  bool EnumSubKey(RegKey key, uint32_t index, char* name, uint32_t size) override {
    Handle at;
    if (!Resolve(key, &at) || index >= at.node->children.size()) return false;
    const std::string& n = at.node->children[index]->name;
    if (name == nullptr || n.size() + 1 > size) return false;
    std::memcpy(name, n.c_str(), n.size() + 1);
    return true;
  }

  bool SubKeyCount(RegKey key, uint32_t* count) override {
    Handle at;
    if (!Resolve(key, &at)) return false;
    *count = static_cast<uint32_t>(at.node->children.size());
    return true;
  }

  bool DeleteKey(RegKey parent, const char* name) override {
    Handle at;
    std::vector<std::string> names;
    if (!Resolve(parent, &at) || name == nullptr || !SplitPath(name, &names) || names.empty() ||
        at.hive->readOnly) {
      return false;
    }
    std::shared_ptr<RegNode> up = at.node;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
      up = Child(*up, names[i]);
      if (up == nullptr) return false;
    }
    auto& kids = up->children;
    size_t i = 0;
    while (i < kids.size() && CompareNoCase(kids[i]->name.c_str(), names.back().c_str()) != 0) ++i;
    if (i == kids.size() || !kids[i]->children.empty()) return false;
    std::shared_ptr<RegNode> gone = kids[i];
    kids.erase(kids.begin() + static_cast<std::ptrdiff_t>(i));
    if (!Save(at.hive.get())) {
      kids.insert(kids.begin() + static_cast<std::ptrdiff_t>(i), gone);
      return false;
    }
    gone->deleted = true;
    return true;
  }

  void CloseKey(RegKey key) override {
    if (key == nullptr || IsPredefined(key)) return;
    delete static_cast<Handle*>(key);
  }

 private:
  static bool IsPredefined(RegKey key) {
    uintptr_t v = reinterpret_cast<uintptr_t>(key);
    return v >= 0x80000000u && v <= 0x800000FFu;
  }

  // The hive and key a handle stands for; a root reads the file afresh when
  // it changed.
  static bool Resolve(RegKey key, Handle* at) {
    if (key == nullptr) return false;
    if (IsPredefined(key)) {
      int root = key == kRegCurrentUser ? posix::kRegRootCurrentUser
                 : key == kRegUsers     ? posix::kRegRootUsers
                                        : -1;
      if (root < 0) return false;
      at->hive = CurrentHive();
      if (at->hive->broken) return false;
      at->node = at->hive->tree.roots[root];
      at->writable = !at->hive->readOnly;
      return true;
    }
    *at = *static_cast<Handle*>(key);
    return !at->node->deleted;
  }
};

}  // namespace

Registry* DefaultRegistry() {
  // Prefix mode reads the Wine prefix's registry instead of the file. The
  // environment is read at every call; a process does not change it while
  // a key is open.
  if (Registry* prefix = posix::WinePrefixRegistry()) return prefix;
  static FileRegistry registry;
  return &registry;
}

}  // namespace platform
