// The registry of prefix mode: the prefix's user.reg and userdef.reg, read
// (never written) into one tree, and read again when either file changed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/posix/registry/registry_file.h"
#include "platform/posix/registry/registry_read.h"
#include "platform/posix/registry/registry_tree.h"
#include "platform/posix/registry/wine_prefix.h"
#include "platform/posix/registry/wine_registry.h"
#include "platform/text.h"

namespace platform::posix {
namespace {

// The whole of a regular file; false for anything else. Opened without
// blocking, so that a FIFO in the file's place can't hold the caller.
bool ReadRegularFile(const std::string& path, std::string* out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ReadAll(fd, out);
  ::close(fd);
  return ok;
}

struct Hive {
  std::string prefix;
  FileStamp user;
  FileStamp userdef;
  RegTree tree;
};

std::shared_ptr<Hive> g_hive;

// Reads one of the prefix's files below root. A missing or unreadable file,
// or one that is not in Wine's format, adds nothing.
void Load(const std::string& path, RegNode* root) {
  std::string text;
  if (ReadRegularFile(path, &text)) ParseWineRegistry(text, root);
}

std::shared_ptr<Hive> CurrentHive(const std::string& prefix) {
  std::string user = prefix + "/user.reg";
  std::string userdef = prefix + "/userdef.reg";
  FileStamp userStamp = StampOfPath(user);
  FileStamp userdefStamp = StampOfPath(userdef);
  if (g_hive != nullptr && g_hive->prefix == prefix && g_hive->user == userStamp &&
      g_hive->userdef == userdefStamp) {
    return g_hive;
  }
  auto hive = std::make_shared<Hive>();
  hive->prefix = prefix;
  hive->user = userStamp;
  hive->userdef = userdefStamp;
  Load(user, hive->tree.roots[kRegRootCurrentUser].get());
  Load(userdef, hive->tree.roots[kRegRootUsers]->AddChild(".DEFAULT"));
  g_hive = hive;
  return hive;
}

struct Handle {
  std::shared_ptr<Hive> hive;  // keeps the tree alive while the key is open
  RegNode* node;
};

// How many links one open follows at most: a chain of links that goes on
// longer (a loop, say) opens nothing.
constexpr int kMaxLinks = 16;

RegNode* Walk(Hive& hive, RegNode* node, const std::vector<std::string>& names, size_t from,
              int* links);

// The key a link key stands for: its SymbolicLinkValue names it as a full
// path, \REGISTRY\User\<user>\... (this prefix's user, user.reg) or
// \REGISTRY\User\.Default\... (userdef.reg). Null when the value is
// missing, names a key outside those two (the machine's keys, which this
// store does not read) or a key that does not exist, or the chain of links
// is too long.
RegNode* Follow(Hive& hive, const RegNode& link, int* links) {
  if (++*links > kMaxLinks) return nullptr;
  const RegValue* value = link.FindValue("SymbolicLinkValue");
  if (value == nullptr) return nullptr;
  std::string utf16 = value->data;
  while (utf16.size() >= 2 && utf16[utf16.size() - 1] == '\0' && utf16[utf16.size() - 2] == '\0') {
    utf16.resize(utf16.size() - 2);
  }
  std::string target;
  if (utf16.empty() || !Utf16leToCp932(utf16, &target)) return nullptr;
  size_t start = target.find_first_not_of('\\');
  std::vector<std::string> names;
  if (start == std::string::npos || !SplitKeyPath(target.c_str() + start, &names) ||
      names.size() < 3 || FoldName(names[0]) != "REGISTRY" || FoldName(names[1]) != "USER") {
    return nullptr;
  }
  RegNode* root;
  if (FoldName(names[2]) == ".DEFAULT") {
    root = hive.tree.roots[kRegRootUsers]->FindChild(".DEFAULT").get();
  } else {
    root = hive.tree.roots[kRegRootCurrentUser].get();
  }
  return root != nullptr ? Walk(hive, root, names, 3, links) : nullptr;
}

// The key names[from...] below node, each link on the way followed.
RegNode* Walk(Hive& hive, RegNode* node, const std::vector<std::string>& names, size_t from,
              int* links) {
  for (size_t i = from; i < names.size() && node != nullptr; ++i) {
    RegNode* child = node->FindChild(names[i]).get();
    if (child != nullptr && child->link) child = Follow(hive, *child, links);
    node = child;
  }
  return node;
}

class WinePrefixBackend : public Registry {
 public:
  bool OpenKey(RegKey parent, const char* path, RegAccess /*access*/, RegKey* key) override {
    Handle at;
    std::vector<std::string> names;
    if (!Resolve(parent, &at) || !SplitKeyPath(path, &names)) return false;
    int links = 0;
    at.node = Walk(*at.hive, at.node, names, 0, &links);
    if (at.node == nullptr) return false;
    *key = new Handle(at);
    return true;
  }

  bool CreateKey(RegKey, const char*, RegKey*) override { return false; }

  bool QueryValue(RegKey key, const char* name, uint32_t* type, void* data,
                  uint32_t* size) override {
    Handle at;
    return Resolve(key, &at) && QueryNodeValue(*at.node, name, type, data, size);
  }

  bool SetValue(RegKey, const char*, uint32_t, const void*, uint32_t) override { return false; }

  bool EnumSubKey(RegKey key, uint32_t index, char* name, uint32_t size) override {
    Handle at;
    return Resolve(key, &at) && SubKeyName(*at.node, index, name, size);
  }

  bool SubKeyCount(RegKey key, uint32_t* count) override {
    Handle at;
    if (!Resolve(key, &at)) return false;
    *count = static_cast<uint32_t>(at.node->ChildCount());
    return true;
  }

  bool DeleteKey(RegKey, const char*) override { return false; }

  void CloseKey(RegKey key) override {
    if (key == nullptr || IsPredefinedKey(key)) return;
    delete static_cast<Handle*>(key);
  }

 private:
  // The key a handle stands for; a root reads the prefix's files afresh when
  // they changed.
  static bool Resolve(RegKey key, Handle* at) {
    if (key == nullptr) return false;
    if (!IsPredefinedKey(key)) {
      *at = *static_cast<Handle*>(key);
      return true;
    }
    int root = PredefinedRoot(key);
    std::string prefix;
    if (root < 0 || !InWinePrefix(&prefix) || !CurrentPrefix().usable) return false;
    at->hive = CurrentHive(prefix);
    at->node = at->hive->tree.roots[root].get();
    return true;
  }
};

}  // namespace

Registry* WinePrefixRegistry() {
  static WinePrefixBackend backend;
  std::string prefix;
  return InWinePrefix(&prefix) ? &backend : nullptr;
}

}  // namespace platform::posix
