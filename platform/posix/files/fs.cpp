#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/files/native_path.h"
#include "platform/posix/files/path_case.h"
#include "platform/posix/files/reading.h"
#include "platform/posix/files/wildcard.h"
#include "platform/posix/text/cp932.h"

namespace platform {
namespace {

int Fd(FileHandle file) { return static_cast<int>(reinterpret_cast<intptr_t>(file)) - 1; }

// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDelta = 11644473600LL;

// A search's matches in order, kept compact (a name and its attributes
// rather than a whole FoundEntry each): a folder of many thousand files
// would otherwise take megabytes.
struct Search {
  struct Match {
    std::string name;  // code page 932
    uint32_t attributes;
  };
  std::vector<Match> matches;
  size_t next = 0;

  void Fill(FoundEntry* entry) {
    const Match& match = matches[next++];
    entry->m_attributes = match.attributes;
    std::memcpy(entry->m_name, match.name.c_str(), match.name.size() + 1);
  }
};

// The attributes of a folder's entry as a search reports them (a link as
// what it points to, a dangling one as a file); false for what a Windows
// folder never holds: a FIFO, a socket or a device, or a link to one.
// The entry is looked at through its open folder (folder), which spares the
// walk of the folder's path for every entry.
bool ListedAttributes(int folder, const char* name, unsigned char type, uint32_t* attributes) {
  struct stat st;
  if (::fstatat(folder, name, &st, 0) != 0 &&
      ::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    // Not to be examined (a folder without search permission): the folder's
    // own note of the type decides.
    if (type == DT_FIFO || type == DT_SOCK || type == DT_CHR || type == DT_BLK) return false;
    *attributes = kAttributeNormal;
    return true;
  }
  if (S_ISDIR(st.st_mode)) {
    *attributes = kAttributeDirectory;
    return true;
  }
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return false;
  *attributes = (st.st_mode & S_IWUSR) ? kAttributeNormal : kAttributeReadOnly;
  return true;
}

}  // namespace

uint32_t WorkingDirectory(char* buffer, uint32_t size) {
  if (size > 0) buffer[0] = '\0';
  std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
  std::string text;
  if (!cwd || !posix::Utf8ToCp932(cwd.get(), &text) || text.empty()) return 0;
  if (text.size() + 1 > size) return static_cast<uint32_t>(text.size() + 1);
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<uint32_t>(text.size());
}

SearchHandle StartSearch(const char* pattern, FoundEntry* entry, SearchDetail detail) {
  std::string folder, wanted;
  if (!posix::ToNativePattern(pattern, &folder, &wanted) || wanted.empty()) return nullptr;

  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return nullptr;
  // Each match's UTF-8 name (the order's key) and its entry.
  std::vector<std::string> names;
  std::vector<Search::Match> matches;
  while (dirent* d = ::readdir(dir)) {
    std::string name = d->d_name;
    Search::Match match;
    if (!posix::WildcardMatch(wanted, name)) continue;
    if (!posix::Utf8ToCp932(name, &match.name) || match.name.size() >= kPathAreaSize) continue;
    if (detail == SearchDetail::kKindOnly && (d->d_type == DT_REG || d->d_type == DT_DIR)) {
      // The listing tells a file from a folder; only a link (what it points
      // to decides) or an entry of unknown type is examined.
      match.attributes = d->d_type == DT_DIR ? kAttributeDirectory : kAttributeNormal;
    } else if (!ListedAttributes(::dirfd(dir), d->d_name, d->d_type, &match.attributes)) {
      continue;
    }
    names.push_back(std::move(name));
    matches.push_back(std::move(match));
  }
  ::closedir(dir);
  if (matches.empty()) return nullptr;
  // Sorted by keys made once for each name, through their first eight bytes
  // as one number (enough to tell most names apart), then the whole key,
  // then the name; entries are moved into place once at the end.
  struct Order {
    uint64_t head;
    uint32_t index;
  };
  std::vector<std::string> keys;
  std::vector<Order> order;
  keys.reserve(names.size());
  order.reserve(names.size());
  for (uint32_t i = 0; i < names.size(); ++i) {
    keys.push_back(posix::NameOrderKey(names[i]));
    uint64_t head = 0;
    for (size_t k = 0; k < 8; ++k) {
      unsigned char byte = k < keys[i].size() ? static_cast<unsigned char>(keys[i][k]) : 0;
      head = (head << 8) | byte;
    }
    order.push_back({head, i});
  }
  std::sort(order.begin(), order.end(), [&names, &keys](const Order& a, const Order& b) {
    if (a.head != b.head) return a.head < b.head;
    int byKey = keys[a.index].compare(keys[b.index]);
    return byKey != 0 ? byKey < 0 : names[a.index] < names[b.index];
  });
  auto* search = new Search;
  search->matches.reserve(matches.size());
  for (const Order& o : order) search->matches.push_back(std::move(matches[o.index]));
  search->Fill(entry);
  return search;
}

bool ContinueSearch(SearchHandle handle, FoundEntry* entry) {
  auto* search = static_cast<Search*>(handle);
  if (search == nullptr || search->next >= search->matches.size()) return false;
  search->Fill(entry);
  return true;
}

void EndSearch(SearchHandle handle) { delete static_cast<Search*>(handle); }

bool LastWriteTime(FileHandle file, uint64_t* time) {
  struct stat st;
  if (file == nullptr || !posix::OpenedStat(Fd(file), &st)) return false;
  int64_t ticks = (static_cast<int64_t>(st.st_mtim.tv_sec) + kEpochDelta) * 10000000LL +
                  st.st_mtim.tv_nsec / 100;
  *time = ticks < 0 ? 0 : static_cast<uint64_t>(ticks);
  return true;
}

bool IsDirectory(const char* path) {
  thread_local std::string native;  // kept for the thread: asked once for every file copied
  struct stat st;
  if (!posix::ToWrittenPath(path, &native) || native.empty()) return false;
  if (posix::IsTrustedFolder(native)) return true;  // the folder the copy writes into
  if (::stat(native.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  // Not there as written: perhaps in another letter case.
  std::string resolved = posix::ResolvePathCase(native);
  return resolved != native && ::stat(resolved.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateFoldersOf(const char* path) {
  std::string native;
  if (!posix::ToNativePath(path, &native)) return false;
  // Run as root, a new folder takes the owner and group of the folder it is
  // made in, as if that folder's user had made it.
  const bool root = ::geteuid() == 0;
  size_t parentEnd = native.empty() || native[0] != '/' ? 0 : 1;
  for (size_t i = native.find('/', 1); i != std::string::npos; i = native.find('/', i + 1)) {
    if (native[i - 1] == '/') continue;
    std::string folder = native.substr(0, i);
    if (::mkdir(folder.c_str(), 0777) == 0) {
      struct stat parent;
      std::string above = parentEnd == 0 ? std::string(".") : native.substr(0, parentEnd);
      // Where the owner can't be given, the folder stays root's, as made.
      bool own = root && ::stat(above.c_str(), &parent) == 0 &&
                 (parent.st_uid != 0 || parent.st_gid != 0) &&
                 ::lchown(folder.c_str(), parent.st_uid, parent.st_gid) == 0;
      static_cast<void>(own);
      posix::NoteNewEntry(folder);
      parentEnd = i;
      continue;
    }
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    parentEnd = i;
  }
  return true;
}

}  // namespace platform
