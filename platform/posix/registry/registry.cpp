// The registry on Linux: one file in the registry editor's export format
// (see registry_file.h), read when a key is opened from a root and written
// back whole after every change, one writer at a time.
#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/registry/registry_file.h"
#include "platform/posix/registry/registry_read.h"
#include "platform/posix/registry/wine_prefix.h"
#include "platform/text.h"

namespace platform {
namespace {

using posix::FileStamp;
using posix::ReadAll;
using posix::RegNode;
using posix::RegTree;
using posix::RegValue;
using posix::StampOf;

// The registry as read from one file.
struct Hive {
  std::string path;
  FileStamp state;
  // The file read or written, kept open so that its inode number can't be
  // given to another file while the hive compares states by it.
  int fd = -1;
  RegTree tree;
  bool broken = false;    // unreadable or unparsable: nothing opens, nothing writes
  bool readOnly = false;  // the owner may not write the file: only kRead opens

  Hive() = default;
  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;
  ~Hive() {
    if (fd >= 0) ::close(fd);
  }
};

struct Handle {
  std::shared_ptr<Hive> hive;
  std::shared_ptr<RegNode> node;
  bool writable;
};

bool WriteAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::shared_ptr<Hive> g_hive;

// The hive of the registry file in force, read anew when the file (or the
// file named) changed since it was last read or written. Its state is taken
// from the file opened, so it always describes the bytes read.
std::shared_ptr<Hive> CurrentHive() {
  std::string path = posix::RegistryFilePath();
  FileStamp now = posix::StampOfPath(path);
  if (g_hive != nullptr && g_hive->path == path && g_hive->state == now) return g_hive;
  auto hive = std::make_shared<Hive>();
  hive->path = path;
  // Without blocking: a FIFO in the file's place is no registry file.
  hive->fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (hive->fd >= 0 && ::fstat(hive->fd, &st) == 0) {
    hive->state = StampOf(st);
    std::string bytes;
    hive->readOnly = (st.st_mode & S_IWUSR) == 0;
    // A regular file is read as usual: the no-wait flag goes, so that no
    // file system can turn a read away for it.
    if (S_ISREG(st.st_mode)) ::fcntl(hive->fd, F_SETFL, ::fcntl(hive->fd, F_GETFL) & ~O_NONBLOCK);
    hive->broken = !S_ISREG(st.st_mode) || !ReadAll(hive->fd, &bytes) ||
                   !posix::ParseRegistryFile(bytes, &hive->tree);
  } else {
    hive->broken = hive->fd >= 0 || errno != ENOENT;  // a missing file is an empty registry
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

// An exclusive lock on the file `<registry file>.lock` beside the registry
// file, which writers in every process take in turn. The lock file is only
// ever opened for reading (all flock needs), and it is made readable by
// everyone, so a lock file that one user made serves every other user who
// may write the registry file. It is never removed: a lock file removed
// while held would let two writers in at once. It is opened without
// blocking and without following a link, and only a regular file serves:
// a FIFO, a device or a link planted in its place makes the write fail
// rather than hang or lock something else.
class WriterLock {
 public:
  ~WriterLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }

  bool Acquire(const std::string& path) {
    const int flags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
    for (int tries = 0; fd_ < 0 && tries < 8; ++tries) {
      fd_ = ::open(path.c_str(), flags);
      if (fd_ >= 0 || errno != ENOENT) break;
      fd_ = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0444);
      if (fd_ >= 0) {
        ::fchmod(fd_, 0444);  // whatever the umask took away
      } else if (errno != EEXIST) {
        break;
      }
    }
    if (fd_ < 0) return false;
    struct stat st;
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) return false;
    }
    return true;
  }

 private:
  int fd_ = -1;
};

// Gives the new file the owner and mode the old one had (a new registry file
// gets the umask's mode). False when that is not possible: a rewrite never
// hands the file to another owner.
bool KeepOwnerAndMode(int fd, const FileStamp& old) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  if (!old.exists) {
    mode_t mask = ::umask(0);
    ::umask(mask);
    return ::fchmod(fd, 0666 & ~mask) == 0;
  }
  if ((st.st_uid != old.uid || st.st_gid != old.gid) && ::fchown(fd, old.uid, old.gid) != 0) {
    return false;
  }
  return ::fchmod(fd, old.mode & 07777) == 0;  // after fchown, which clears set-id bits
}

// Writes the hive back whole: a temporary file beside the file, renamed
// over it. Writers take turns through the lock beside the file, held from
// the check that the file is still the one the hive was read from until
// the rename is done; a file changed since, or made read-only, is not
// written over, so nobody's change is lost. The hive's new state is that of
// the file written.
bool Save(Hive* hive) {
  if (hive->broken || hive->readOnly) return false;
  std::string bytes;
  if (!posix::FormatRegistryFile(hive->tree, &bytes)) return false;

  std::string target = hive->path;
  if (hive->state.exists) {
    char* real = ::realpath(hive->path.c_str(), nullptr);  // keep a symbolic link a link
    if (real == nullptr) return false;
    target = real;
    std::free(real);
  } else if (!MakeParentFolders(target)) {
    return false;
  }
  WriterLock lock;
  if (!lock.Acquire(target + ".lock")) return false;
  FileStamp now = posix::StampOfPath(hive->path);
  if (!(now == hive->state)) return false;

  std::string temp = target + ".XXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = KeepOwnerAndMode(fd, now) && WriteAll(fd, bytes) && ::fsync(fd) == 0 &&
            ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    ::close(fd);
    return false;
  }
  if (hive->fd >= 0) ::close(hive->fd);
  hive->fd = fd;
  struct stat st;
  if (::fstat(fd, &st) == 0) {
    hive->state = StampOf(st);
  } else {
    hive->state = FileStamp();  // matches no file: the next write reads the file first
    hive->state.exists = true;
  }
  return true;
}

class FileRegistry : public Registry {
 public:
  bool OpenKey(RegKey parent, const char* path, RegAccess access, RegKey* key) override {
    Handle at;
    std::vector<std::string> names;
    if (!Resolve(parent, &at) || !posix::SplitKeyPath(path, &names)) return false;
    for (const std::string& name : names) {
      at.node = at.node->FindChild(name);
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
    if (!Resolve(parent, &at) || !posix::SplitKeyPath(path, &names) || at.hive->readOnly)
      return false;
    std::shared_ptr<RegNode> createdIn;  // the key below which new keys begin
    const RegNode* firstNew = nullptr;
    bool ok = true;
    for (const std::string& name : names) {
      std::shared_ptr<RegNode> next = at.node->FindChild(name);
      if (next == nullptr) {
        if (at.node->depth() >= posix::kRegMaxDepth || (createdIn == nullptr && !at.writable)) {
          ok = false;
          break;
        }
        const RegNode* made = at.node->AddChild(name);
        if (createdIn == nullptr) {
          createdIn = at.node;
          firstNew = made;
        }
        next = at.node->FindChild(name);
      }
      at.node = next;
    }
    if (createdIn != nullptr && (!ok || !Save(at.hive.get()))) {
      createdIn->RemoveChild(firstNew->name());  // undo: every new key hangs below the first
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
    return Resolve(key, &at) && posix::QueryNodeValue(*at.node, name, type, data, size);
  }

  bool SetValue(RegKey key, const char* name, uint32_t type, const void* data,
                uint32_t size) override {
    Handle at;
    if (!Resolve(key, &at) || !at.writable || at.hive->readOnly) return false;
    if (data == nullptr && size != 0) return false;
    std::string n = name != nullptr ? name : "";
    const RegValue* v = at.node->FindValue(n);
    std::optional<RegValue> old;
    if (v != nullptr) old = *v;
    at.node->SetValue(n, type, std::string(static_cast<const char*>(data), size));
    if (Save(at.hive.get())) return true;
    if (old.has_value()) {
      at.node->SetValue(n, old->type, std::move(old->data));
    } else {
      at.node->RemoveValue(n);
    }
    return false;
  }

  bool EnumSubKey(RegKey key, uint32_t index, char* name, uint32_t size) override {
    Handle at;
    return Resolve(key, &at) && posix::SubKeyName(*at.node, index, name, size);
  }

  bool SubKeyCount(RegKey key, uint32_t* count) override {
    Handle at;
    if (!Resolve(key, &at)) return false;
    *count = static_cast<uint32_t>(at.node->ChildCount());
    return true;
  }

  bool DeleteKey(RegKey parent, const char* name) override {
    Handle at;
    std::vector<std::string> names;
    if (!Resolve(parent, &at) || name == nullptr || !posix::SplitKeyPath(name, &names) ||
        names.empty() || at.hive->readOnly) {
      return false;
    }
    std::shared_ptr<RegNode> up = at.node;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
      up = up->FindChild(names[i]);
      if (up == nullptr) return false;
    }
    std::shared_ptr<RegNode> gone = up->FindChild(names.back());
    if (gone == nullptr || gone->ChildCount() != 0) return false;
    up->RemoveChild(names.back());
    if (!Save(at.hive.get())) {
      up->RestoreChild(gone);
      return false;
    }
    gone->deleted = true;
    return true;
  }

  void CloseKey(RegKey key) override {
    if (key == nullptr || posix::IsPredefinedKey(key)) return;
    delete static_cast<Handle*>(key);
  }

 private:
  // The hive and key a handle stands for; a root reads the file afresh when
  // it changed.
  static bool Resolve(RegKey key, Handle* at) {
    if (key == nullptr) return false;
    if (posix::IsPredefinedKey(key)) {
      int root = posix::PredefinedRoot(key);
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

namespace posix {
bool RegistryFileBroken() { return CurrentHive()->broken; }
}  // namespace posix

Registry* DefaultRegistry() {
  // Prefix mode reads the Wine prefix's registry instead of the file. The
  // environment is read at every call; a process does not change it while
  // a key is open.
  if (Registry* prefix = posix::WinePrefixRegistry()) return prefix;
  static FileRegistry registry;
  return &registry;
}

}  // namespace platform
