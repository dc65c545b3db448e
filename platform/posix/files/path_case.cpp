#include "platform/posix/files/path_case.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/posix/files/descriptor.h"
#include "platform/posix/files/monotonic.h"

namespace platform::posix {
namespace {

unsigned char Upper(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') ? static_cast<unsigned char>(u - 0x20) : u;
}

// Hash and equality of names without regard to ASCII letter case, so that
// a name is looked up by a view of any of its variants. (The hash is not
// declared noexcept: the standard library then keeps each entry's hash
// rather than computing it again whenever the table grows.)
struct NoCaseHash {
  using is_transparent = void;
  size_t operator()(std::string_view name) const {
    uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a
    for (char c : name) hash = (hash ^ Upper(c)) * 0x100000001b3ULL;
    return static_cast<size_t>(hash);
  }
};
struct NoCaseEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept {
    return SameNameNoCase(a, b);
  }
};
// Exact hash and equality that look a name up by a view as well.
struct ExactHash {
  using is_transparent = void;
  size_t operator()(std::string_view name) const noexcept {
    return std::hash<std::string_view>()(name);
  }
};
struct ExactEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

int64_t Now() { return MonotonicNow(); }

// The last path that an lstat here found, and what it said, for a moment:
// the copy that follows a letter-case lookup asks about the same path.
struct SeenPath {
  std::string path;
  struct stat st {};
  int64_t takenAt = 0;
};
thread_local SeenPath t_seen;

bool Exists(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return false;
  t_seen.path = path;
  t_seen.st = st;
  t_seen.takenAt = Now();
  return true;
}

std::string Join(std::string_view folder, std::string_view name) {
  std::string joined;
  joined.reserve(folder.size() + 1 + name.size());
  joined.append(folder);
  if (!folder.empty() && folder.back() != '/') joined.push_back('/');
  joined.append(name);
  return joined;
}

// The folder part of path and its last component; the folder of a bare name
// is "" (the current directory), of "/name" it is "/". Both are views of
// path; the name runs to its end.
void Split(std::string_view path, std::string_view* folder, std::string_view* name) {
  const void* last = path.empty() ? nullptr : ::memrchr(path.data(), '/', path.size());
  size_t slash = last == nullptr
                     ? std::string_view::npos
                     : static_cast<size_t>(static_cast<const char*>(last) - path.data());
  if (slash == std::string_view::npos) {
    *folder = std::string_view();
    *name = path;
    return;
  }
  *folder = path.substr(0, slash == 0 ? 1 : slash);
  *name = path.substr(slash + 1);
}

// The folder as a path to hand to the system: "" is the current directory.
std::string FolderPath(std::string_view folder) {
  return folder.empty() ? std::string(".") : std::string(folder);
}

bool StatFolder(std::string_view folder, struct stat* st) {
  return ::stat(FolderPath(folder).c_str(), st) == 0 && S_ISDIR(st->st_mode);
}

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// What a lookup found of a name in a folder.
enum class Found { kExact, kVariant, kNone, kNoFolder };

// How long a listing checked by a stat of its folder is taken as current
// without another stat. A copy run asks about one folder several times for
// each file it writes there (is the file there, is the folder there, under
// which name is it written); one stat answers them all. The window is no
// longer than the tick of a coarse file time stamp (1 to 10 ms), within
// which a change by another process could go unseen anyway (see Listing).
constexpr int64_t kTrustedFor = kMoment;

// A folder's names as last read, and the folder's identity and time stamps
// when they were read. The listing is used as long as one stat of the
// folder gives the same identity and times; another process that adds,
// removes or renames an entry changes the folder's times, and the folder is
// read again.
//
// Time stamps come from the kernel's clock, which may advance in ticks of a
// few milliseconds. A change by another process in the same tick as the
// stat that filled or last updated a listing (or between one of our own
// changes and the stat that follows it) leaves the time as it was and goes
// unseen until the folder changes again. The same holds for a change within
// kTrustedFor of the last stat, and, while our own changes are being made,
// within twice that (see unstamped). That is accepted: such a change races
// with the lookup anyway (a moment later, no resolver would have seen it),
// and what goes unseen is only a letter-case variant, so the worst outcome
// is a new file under its name as written, never a lost file.
struct Listing {
  dev_t device = 0;
  ino_t inode = 0;
  timespec modified{};
  timespec changed{};
  int64_t checkedAt = 0;  // Now() of the last stat that showed it current
  // Our own changes were noted since that stat, without a stat of their
  // own: the folder's times have moved for them. The next check within
  // twice kTrustedFor of that stat takes the new times as ours.
  bool unstamped = false;
  // The folder itself, open once a file is made there: our own changes
  // are then made and looked at through it, without a walk of its path.
  Descriptor folder;
  // For each name without regard to case, the first of its variants in a
  // search's order.
  std::unordered_set<std::string, NoCaseHash, NoCaseEqual> first;
  // The names that are not the first of their variants (few: names that
  // differ only in case are rare in a folder).
  std::unordered_set<std::string, ExactHash, ExactEqual> others;

  bool Matches(const struct stat& st) const {
    return device == st.st_dev && inode == st.st_ino && SameTime(modified, st.st_mtim) &&
           SameTime(changed, st.st_ctim);
  }
  void Stamp(const struct stat& st, int64_t now) {
    device = st.st_dev;
    inode = st.st_ino;
    modified = st.st_mtim;
    changed = st.st_ctim;
    checkedAt = now;
    unstamped = false;
  }
  // True when st is of this folder, changed only by our own noted changes
  // as far as can be told.
  bool ChangedByUs(const struct stat& st, int64_t now) const {
    return unstamped && device == st.st_dev && inode == st.st_ino &&
           now - checkedAt < 2 * kTrustedFor;
  }
  bool Trusted(int64_t now) const { return now - checkedAt < kTrustedFor; }
  void Add(std::string_view name) {
    auto [it, added] = first.emplace(name);
    if (added || *it == name || others.find(name) != others.end()) return;
    if (!NameBefore(name, *it)) {
      others.emplace(name);
      return;
    }
    // The new name comes first in a search's order: it takes the place.
    auto node = first.extract(it);
    others.insert(std::move(node.value()));
    node.value() = name;
    first.insert(std::move(node));
  }
  // One look-up answers for a name that is missing, or there as the first
  // of its variants.
  Found Find(std::string_view name, std::string* variant) const {
    auto it = first.find(name);
    if (it == first.end()) return Found::kNone;
    if (*it == name || (!others.empty() && others.find(name) != others.end())) {
      return Found::kExact;
    }
    *variant = *it;
    return Found::kVariant;
  }
};

// The listings of the folders where a name was missing, for the whole
// process. Bounded: past kMaxFolders the oldest are dropped all at once.
class ListingCache {
 public:
  bool Has(std::string_view folder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return Locate(folder) != nullptr;
  }

  // True when folder has a listing checked within kTrustedFor: it was a
  // folder a moment ago, and no stat is needed to say so.
  bool Trusted(std::string_view folder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    int64_t now = Now();
    if (Listing* kept = Locate(folder)) return kept->Trusted(now);
    for (const ReadingFolder& reading : m_reading) {
      if (reading.Is(folder) && reading.Current(now)) return true;
    }
    return false;
  }

  // Looks name up in folder: from the listing kept when it is trusted or a
  // stat of the folder shows it current, else from a fresh one. kNoFolder
  // when folder is no folder (or can't be looked at).
  Found Find(std::string_view folder, std::string_view name, std::string* variant) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return FindLocked(folder, name, variant, Locate(folder));
  }

  // As Find, only where folder's listing is kept: false, and nothing
  // looked at, where it is not.
  bool FindKept(std::string_view folder, std::string_view name, std::string* variant,
                Found* found) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Listing* kept = Locate(folder);
    if (kept == nullptr) return false;
    *found = FindLocked(folder, name, variant, kept);
    return true;
  }

  // Our own change to folder: name (when not empty) now exists there. A
  // kept listing takes the name and the folder's new time stamps instead of
  // being read again.
  void Changed(std::string_view folder, std::string_view name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Listing* kept = Locate(folder);
    if (kept == nullptr) return;
    if (kept->Trusted(Now())) {
      // Checked a moment ago: the change is taken without a stat, and the
      // next check takes the folder's new times.
      kept->unstamped = true;
      if (!name.empty()) kept->Add(name);
      return;
    }
    struct stat st;
    if (!StatKept(folder, *kept, &st) || st.st_dev != kept->device || st.st_ino != kept->inode) {
      Erase(folder);
      return;
    }
    kept->Stamp(st, Now());
    if (!name.empty()) kept->Add(name);
  }

  // Opens name in folder as ::open would open the joined path: through the
  // folder's descriptor when its listing is trusted, else by the path. A
  // file made there opens the folder for what follows.
  int Open(std::string_view folder, const char* name, const std::string& path, int flags,
           mode_t mode) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Listing* kept = Locate(folder);
    if (kept != nullptr && kept->Trusted(Now())) {
      if (flags & O_CREAT) OpenFolder(folder, kept);
      int at = kept->folder.get();
      if (at >= 0) {
        // Most names asked for in a folder being written are new ones: a
        // stat tells a missing name at half the cost of a failed open, which
        // sets up an open file before it looks the name up.
        struct stat st;
        if (!(flags & O_CREAT) && ::fstatat(at, name, &st, 0) != 0) return -1;
        return ::openat(at, name, flags, mode);
      }
    }
    if (kept == nullptr && !(flags & O_CREAT)) return Reading(folder).Open(name, path, flags);
    return ::open(path.c_str(), flags, mode);
  }

  void Forget(std::string_view folder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Erase(folder);
  }

 private:
  static constexpr size_t kMaxFolders = 64;

  // Find's work, with the lock held; kept is folder's listing or nullptr.
  Found FindLocked(std::string_view folder, std::string_view name, std::string* variant,
                   Listing* kept) {
    int64_t now = Now();
    if (kept != nullptr && kept->Trusted(now)) return kept->Find(name, variant);
    struct stat st;
    if (!StatFolder(folder, &st)) {
      if (kept != nullptr) Erase(folder);
      return Found::kNoFolder;
    }
    if (kept != nullptr && kept->Matches(st)) {
      kept->checkedAt = now;
      return kept->Find(name, variant);
    }
    if (kept != nullptr && kept->ChangedByUs(st, now)) {
      kept->Stamp(st, now);
      return kept->Find(name, variant);
    }
    Listing listing;
    if (!Read(folder, st, now, &listing)) {
      if (kept != nullptr) Erase(folder);
      return Found::kNone;
    }
    if (kept != nullptr) {
      *kept = std::move(listing);
    } else {
      if (m_folders.size() >= kMaxFolders) Clear();
      auto it = m_folders.emplace(std::string(folder), std::move(listing)).first;
      m_lastFolder = &it->first;
      kept = m_lastListing = &it->second;
    }
    return kept->Find(name, variant);
  }

  // The stat st was taken before the listing is read: a change while it is
  // read either shows in it or gives the folder a later time.
  static bool Read(std::string_view folder, const struct stat& st, int64_t now, Listing* listing) {
    DIR* dir = ::opendir(FolderPath(folder).c_str());
    if (dir == nullptr) return false;
    listing->Stamp(st, now);
    while (dirent* d = ::readdir(dir)) listing->Add(d->d_name);
    ::closedir(dir);
    return true;
  }

  // Opens the folder of a kept listing, once it is written to, so that what
  // follows there goes through it. Nothing is kept open for a folder that is
  // only read, nor when the path leads to another folder than the listing's.
  static void OpenFolder(std::string_view folder, Listing* kept) {
    if (kept->folder.get() >= 0) return;
    Descriptor open(::open(FolderPath(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (open.get() >= 0 && ::fstat(open.get(), &st) == 0 && st.st_dev == kept->device &&
        st.st_ino == kept->inode) {
      kept->folder = std::move(open);
    }
  }

  // The folder's stat, through its descriptor when it is open.
  static bool StatKept(std::string_view folder, const Listing& kept, struct stat* st) {
    if (kept.folder.get() >= 0) return ::fstat(kept.folder.get(), st) == 0;
    return StatFolder(folder, st);
  }

  // The folder's listing, or nullptr. The last one found is tried first: a
  // copy run asks about one folder many times in a row. (Elements of an
  // unordered map stay where they are until erased.)
  Listing* Locate(std::string_view folder) {
    if (m_lastFolder != nullptr && *m_lastFolder == folder) return m_lastListing;
    auto it = m_folders.find(folder);
    if (it == m_folders.end()) return nullptr;
    m_lastFolder = &it->first;
    return m_lastListing = &it->second;
  }
  void Erase(std::string_view folder) {
    if (m_lastFolder != nullptr && *m_lastFolder == folder) m_lastFolder = nullptr;
    auto it = m_folders.find(folder);
    if (it != m_folders.end()) m_folders.erase(it);
  }
  void Clear() {
    m_lastFolder = nullptr;
    m_folders.clear();
  }

  // A folder that files are being read from one after another (a patch
  // folder, say). Once kRun of them have been opened there, the folder is
  // kept open and the names that follow are opened through it, without a
  // walk of its path; a stat of the path, at most once in kTrustedFor,
  // shows that the path still leads to the folder kept. A folder that only
  // a few files are read from keeps nothing open.
  class ReadingFolder {
   public:
    bool Is(std::string_view folder) const { return folder == m_path; }
    // Kept open, and its path checked in the last kTrustedFor.
    bool Current(int64_t now) const {
      return m_folder.get() >= 0 && now - m_checkedAt < kTrustedFor;
    }
    void Start(std::string_view folder) {
      m_path.assign(folder);
      m_folder.reset(-1);
      m_run = 0;
    }
    int Open(const char* name, const std::string& path, int flags) {
      if (m_folder.get() < 0 && ++m_run >= kRun && !Keep()) m_run = 0;
      if (m_folder.get() >= 0 && StillThere()) return ::openat(m_folder.get(), name, flags);
      return ::open(path.c_str(), flags);
    }

   private:
    static constexpr unsigned kRun = 16;

    // Opens the folder as a place to look names up from (which needs no
    // right to list it); false when it can't be.
    bool Keep() {
      Descriptor open(::open(FolderPath(m_path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
      struct stat st;
      if (open.get() < 0 || ::fstat(open.get(), &st) != 0) return false;
      m_folder = std::move(open);
      m_device = st.st_dev;
      m_inode = st.st_ino;
      m_checkedAt = Now();
      return true;
    }
    // True when the path still led to the kept folder a moment ago; the
    // folder is let go when it does not.
    bool StillThere() {
      int64_t now = Now();
      if (now - m_checkedAt < kTrustedFor) return true;
      struct stat st;
      if (StatFolder(m_path, &st) && st.st_dev == m_device && st.st_ino == m_inode) {
        m_checkedAt = now;
        return true;
      }
      m_folder.reset(-1);
      m_run = 0;
      return false;
    }

    std::string m_path;
    Descriptor m_folder;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    int64_t m_checkedAt = 0;
    unsigned m_run = 0;
  };

  // The last two folders read from: a copy run reads in turn from the
  // patch folder and from the install folder, whose files it compares.
  ReadingFolder& Reading(std::string_view folder) {
    for (ReadingFolder& reading : m_reading) {
      if (reading.Is(folder)) return reading;
    }
    ReadingFolder& oldest = m_reading[m_nextReading];
    m_nextReading ^= 1;
    oldest.Start(folder);
    return oldest;
  }

  std::mutex m_mutex;
  ReadingFolder m_reading[2];
  unsigned m_nextReading = 0;
  std::unordered_map<std::string, Listing, ExactHash, ExactEqual> m_folders;
  const std::string* m_lastFolder = nullptr;
  Listing* m_lastListing = nullptr;
};

ListingCache& Cache() {
  static ListingCache* cache = new ListingCache;  // used until the process ends
  return *cache;
}

// The entry name of folder (a resolved folder): as written, else its first
// case variant, else as written. *exists tells whether there is such an
// entry. False when folder turns out to be no folder.
bool FindIn(std::string_view folder, std::string_view name, std::string* path, bool* exists) {
  std::string variant;
  switch (Cache().Find(folder, name, &variant)) {
    case Found::kExact:
      *exists = true;
      *path = Join(folder, name);
      return true;
    case Found::kVariant:
      *exists = true;
      *path = Join(folder, variant);
      return true;
    case Found::kNone:
      *exists = false;
      *path = Join(folder, name);
      return true;
    case Found::kNoFolder:
      break;
  }
  return false;
}

// One component below folder, which is resolved already. A folder whose
// listing is kept is asked there; otherwise a name that exists as written
// costs one lstat.
std::string Child(const std::string& folder, const std::string& name, bool* exists) {
  std::string written = Join(folder, name);
  if (!Cache().Has(folder) && Exists(written)) {
    *exists = true;
    return written;
  }
  std::string path;
  if (FindIn(folder, name, &path, exists)) return path;
  *exists = Exists(written);
  return written;
}

}  // namespace

bool NameBefore(std::string_view a, std::string_view b) {
  auto rank = [](std::string_view s) { return s == "." ? 0 : s == ".." ? 1 : 2; };
  if (rank(a) != rank(b)) return rank(a) < rank(b);
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = Upper(a[i]);
    unsigned char y = Upper(b[i]);
    if (x != y) return x < y;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

std::string NameOrderKey(std::string_view name) {
  // The rank, then the name with its letters in upper case: byte order is
  // code point order, and a name that is the start of another comes first.
  std::string key(1, name == "." ? '\0' : name == ".." ? '\1' : '\2');
  key.reserve(name.size() + 1);
  for (char c : name) key.push_back(static_cast<char>(Upper(c)));
  return key;
}

bool SameNameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

std::string ResolveCase(std::string root, const std::vector<std::string>& components) {
  std::string path = std::move(root);
  bool resolving = true;
  for (const std::string& name : components) {
    if (name.empty()) {
      path += '/';
      continue;
    }
    if (resolving && name != "." && name != "..") {
      bool exists = false;
      path = Child(path, name, &exists);
      resolving = exists;  // nothing below a missing name exists
      continue;
    }
    path = Join(path, name);
  }
  return path;
}

std::string ResolvePathCase(const std::string& path) {
  if (path.empty()) return path;
  std::string_view folder, name;
  Split(path, &folder, &name);
  if (name.empty() || name == "." || name == "..") {
    if (Exists(path) || folder == path) return path;
    std::string resolved = ResolvePathCase(std::string(folder));
    return name.empty() && !resolved.empty() && resolved.back() == '/' ? resolved
                                                                       : Join(resolved, name);
  }
  // A folder with a kept listing answers from it; otherwise a path that
  // exists as written costs one lstat.
  bool kept = Cache().Has(folder);
  if (!kept && Exists(path)) return path;
  std::string resolved;
  bool exists = false;
  if (FindIn(folder, name, &resolved, &exists)) return resolved;
  // The folder is missing as written (usually it is there and only the
  // name is missing): perhaps in another letter case.
  if (kept && Exists(path)) return path;
  std::string resolvedFolder = ResolvePathCase(std::string(folder));
  if (resolvedFolder == folder || !FindIn(resolvedFolder, name, &resolved, &exists)) {
    return Join(resolvedFolder, name);
  }
  return resolved;
}

void ResolvePathCaseInPlace(std::string* path) {
  std::string_view folder, name;
  Split(*path, &folder, &name);
  Found found;
  std::string variant;
  if (!name.empty() && name != "." && name != ".." &&
      Cache().FindKept(folder, name, &variant, &found)) {
    switch (found) {
      case Found::kExact:
      case Found::kNone:
        return;
      case Found::kVariant:
        path->replace(path->size() - name.size(), name.size(), variant);
        return;
      case Found::kNoFolder:
        break;
    }
  }
  *path = ResolvePathCase(*path);
}

bool IsTrustedFolder(const std::string& folder) { return Cache().Trusted(folder); }

bool RecentlySeen(const std::string& path, struct stat* st) {
  if (t_seen.path != path || Now() - t_seen.takenAt >= kTrustedFor) return false;
  *st = t_seen.st;
  return true;
}

int OpenInFolder(const std::string& path, int flags, mode_t mode) {
  std::string_view folder, name;
  Split(path, &folder, &name);
  if (name.empty() || name == "." || name == "..") return ::open(path.c_str(), flags, mode);
  // The name runs to the end of path: its text ends with path's.
  return Cache().Open(folder, path.c_str() + (path.size() - name.size()), path, flags, mode);
}

void NoteNewEntry(const std::string& path) {
  std::string_view folder, name;
  Split(path, &folder, &name);
  Cache().Changed(folder, name);
}

void NoteEntryReplaced(const std::string& path) {
  std::string_view folder, name;
  Split(path, &folder, &name);
  Cache().Changed(folder, std::string_view());
}

void NoteEntryRemoved(const std::string& path) {
  std::string_view folder, name;
  Split(path, &folder, &name);
  Cache().Forget(folder);
}

}  // namespace platform::posix
