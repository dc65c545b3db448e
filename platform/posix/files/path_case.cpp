#include "platform/posix/files/path_case.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
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

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
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

// How long a listing whose folder's path was checked by a stat is taken as
// current without another stat. A copy run asks about one folder several
// times for each file it writes there (is the file there, is the folder
// there, under which name is it written); one stat answers them all. What
// another process changes within that moment is seen a moment late, as if
// it had come a moment later.
constexpr int64_t kTrustedFor = kMoment;

// The folder descriptors the process may keep open for speed: none while its
// limit is low, so that they never take the room a copy needs.
size_t KeptDescriptorRoom() {
  static const size_t room = [] {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
      return size_t{64};
    if (limit.rlim_cur < 64) return size_t{0};
    return std::min<size_t>(64, static_cast<size_t>((limit.rlim_cur - 32) / 4));
  }();
  return room;
}

// A folder's names as read, and the folder's identity. The listing follows
// the folder through an inotify watch on the folder read: every name that
// another program (or this one) adds, removes or renames there is taken
// into it before its next use, so it never goes stale. Where no watch can be
// had, one stat of the folder before use compares its time stamps, and the
// folder is read again when they moved (our own changes included).
//
// A listing is kept under the folder's path; a stat of the path at most
// once in kTrustedFor shows that the path still leads to the folder read
// (an ancestor renamed would lead it elsewhere without an event).
struct Listing {
  dev_t device = 0;
  ino_t inode = 0;
  timespec modified{};
  timespec changed{};
  int64_t checkedAt = 0;  // Now() of the last stat that showed the path leads here
  int watch = -1;         // the inotify watch that keeps the names current, or -1
  // The folder itself, open once a file is made there: our own changes
  // are then made and looked at through it, without a walk of its path.
  Descriptor folder;
  struct stat folderStat {};  // its stat when it was opened
  // For each name without regard to case, the first of its variants in a
  // search's order.
  std::unordered_set<std::string, NoCaseHash, NoCaseEqual> first;
  // The names that are not the first of their variants (few: names that
  // differ only in case are rare in a folder).
  std::unordered_set<std::string, ExactHash, ExactEqual> others;
  // Two bits of each name's hash without regard to case: a name whose bits
  // are not both set is surely missing, and is answered without the table
  // (most names asked for in a folder being written are new ones). Bits
  // are never cleared: a removed name's only send a later look-up on to
  // the table.
  static constexpr size_t kFilterBits = size_t{1} << 16;
  std::vector<uint64_t> filter = std::vector<uint64_t>(kFilterBits / 64);

  void Mark(size_t hash) {
    for (size_t bit : {hash % kFilterBits, (hash >> 32) % kFilterBits}) {
      filter[bit / 64] |= uint64_t{1} << (bit % 64);
    }
  }
  bool MayHold(size_t hash) const {
    for (size_t bit : {hash % kFilterBits, (hash >> 32) % kFilterBits}) {
      if ((filter[bit / 64] & (uint64_t{1} << (bit % 64))) == 0) return false;
    }
    return true;
  }

  bool Same(const struct stat& st) const { return device == st.st_dev && inode == st.st_ino; }
  // True when the folder's names are as read: the watch keeps them so, or
  // the stamps did not move.
  bool Current(const struct stat& st) const {
    return Same(st) &&
           (watch >= 0 || (SameTime(modified, st.st_mtim) && SameTime(changed, st.st_ctim)));
  }
  void Stamp(const struct stat& st, int64_t now) {
    device = st.st_dev;
    inode = st.st_ino;
    modified = st.st_mtim;
    changed = st.st_ctim;
    checkedAt = now;
  }
  bool Trusted(int64_t now) const { return now - checkedAt < kTrustedFor; }
  void Add(std::string_view name) {
    Mark(NoCaseHash()(name));
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
  void Remove(std::string_view name) {
    auto other = others.find(name);
    if (other != others.end()) {
      others.erase(other);
      return;
    }
    auto it = first.find(name);
    if (it == first.end() || *it != name) return;
    first.erase(it);
    // The next of its variants in a search's order takes its place.
    auto next = others.end();
    for (auto o = others.begin(); o != others.end(); ++o) {
      if (SameNameNoCase(*o, name) && (next == others.end() || NameBefore(*o, *next))) next = o;
    }
    if (next == others.end()) return;
    first.emplace(*next);
    others.erase(next);
  }
  // One look-up answers for a name that is missing, or there as the first
  // of its variants.
  Found Find(std::string_view name, std::string* variant) const {
    if (!MayHold(NoCaseHash()(name))) return Found::kNone;
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

  // True when folder has a listing whose path was checked within
  // kTrustedFor: it was a folder a moment ago, and no stat is needed to say
  // so.
  bool Trusted(std::string_view folder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    int64_t now = Now();
    if (Listing* kept = Locate(folder)) return kept->Trusted(now);
    for (const ReadingFolder& reading : m_reading) {
      if (reading.Is(folder) && reading.Current(now)) return true;
    }
    return false;
  }

  // Looks name up in folder: from the listing kept when it is current, else
  // from a fresh one. kNoFolder when folder is no folder (or can't be looked
  // at). *id gets the identity of the folder whose names answered.
  Found Find(std::string_view folder, std::string_view name, std::string* variant,
             FolderId* id = nullptr) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return FindLocked(folder, name, variant, Locate(folder), id);
  }

  // As Find, only where folder's listing is kept: false, and nothing
  // looked at, where it is not.
  bool FindKept(std::string_view folder, std::string_view name, std::string* variant, Found* found,
                FolderId* id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Listing* kept = Locate(folder);
    if (kept == nullptr) return false;
    *found = FindLocked(folder, name, variant, kept, id);
    return true;
  }

  // Our own change to folder: name (when not empty) now exists there, so
  // that the next lookup finds it at once. Without a watch the listing must
  // be read again: the folder's stamps moved.
  void Changed(std::string_view folder, std::string_view name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Listing* kept = Locate(folder);
    if (kept == nullptr) return;
    if (!name.empty()) kept->Add(name);
    if (kept->watch < 0) kept->modified = timespec{-1, 0};
  }

  // Changed for each of paths (its name only when added), under one lock.
  void ChangedAll(const std::vector<const std::string*>& paths, bool added) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const std::string* path : paths) {
      std::string_view folder, name;
      Split(*path, &folder, &name);
      Listing* kept = Locate(folder);
      if (kept == nullptr) continue;
      // A watched listing takes the name from the watch's event, queued
      // by the change itself and read before the next lookup answers.
      if (kept->watch >= 0) continue;
      if (added && !name.empty()) kept->Add(name);
      kept->modified = timespec{-1, 0};
    }
  }

  // Opens name in folder as ::open would open the joined path: through the
  // folder's descriptor when its listing is trusted, else by the path.
  int Open(std::string_view folder, const char* name, const std::string& path, int flags,
           mode_t mode) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Listing* kept = Locate(folder);
    if (kept != nullptr && kept->Trusted(Now())) {
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

  // The folder to write into: the kept listing's descriptor when the path
  // was checked a moment ago (opened now if need be, and kept while the
  // budget allows), else a fresh one.
  bool OpenForWriting(const std::string& folder, WriteFolder* out) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lent = -1;
    out->m_owned.reset(-1);
    out->m_fd = -1;
    Listing* kept = Locate(folder);
    int64_t now = Now();
    if (kept != nullptr && !kept->Trusted(now)) {
      struct stat st;
      if (!StatFolder(folder, &st) || !kept->Same(st)) {
        Erase(folder);
        kept = nullptr;
      } else {
        kept->checkedAt = now;
      }
    }
    if (kept != nullptr && kept->folder.get() < 0 && m_keptDescriptors < KeptDescriptorRoom()) {
      Descriptor open(::open(FolderPath(folder).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
      struct stat st;
      if (open.get() >= 0 && ::fstat(open.get(), &st) == 0 && kept->Same(st)) {
        kept->folder = std::move(open);
        kept->folderStat = st;
        ++m_keptDescriptors;
      }
    }
    if (kept != nullptr && kept->folder.get() >= 0) {
      out->m_fd = m_lent = kept->folder.get();
      out->m_st = kept->folderStat;
      return true;
    }
    // A folder many files are read from (the install folder whose files
    // are compared before they are replaced) is kept open already.
    if (kept == nullptr) {
      for (ReadingFolder& reading : m_reading) {
        if (!reading.Is(folder)) continue;
        int fd = reading.Usable(&out->m_st);
        if (fd >= 0) {
          out->m_fd = m_lent = fd;
          return true;
        }
      }
    }
    out->m_owned.reset(::open(FolderPath(folder).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (out->m_owned.get() < 0 || ::fstat(out->m_owned.get(), &out->m_st) != 0) return false;
    out->m_fd = out->m_owned.get();
    return true;
  }

  void Forget(std::string_view folder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Erase(folder);
    for (ReadingFolder& reading : m_reading) {
      if (reading.Is(folder)) reading.Start(std::string_view());
    }
  }

  // Closes the kept descriptors, but the one the copy under way writes
  // through.
  void ReleaseDescriptors() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_keptDescriptors = 0;
    for (auto& [path, listing] : m_folders) {
      if (listing.folder.get() < 0) continue;
      if (listing.folder.get() == m_lent) {
        ++m_keptDescriptors;
      } else {
        listing.folder.reset(-1);
      }
    }
    for (ReadingFolder& reading : m_reading) {
      if (!reading.Holds(m_lent)) reading.Start(std::string_view());
    }
  }

 private:
  static constexpr size_t kMaxFolders = 64;

  // Find's work, with the lock held; kept is folder's listing or nullptr.
  Found FindLocked(std::string_view folder, std::string_view name, std::string* variant,
                   Listing* kept, FolderId* id) {
    int64_t now = Now();
    if (kept != nullptr && kept->Trusted(now)) {
      Drain();
      kept = Locate(folder);  // a watch's event may have let it go
    }
    if (kept != nullptr && kept->Trusted(now)) return Answer(*kept, name, variant, id);
    struct stat st;
    if (!StatFolder(folder, &st)) {
      if (kept != nullptr) Erase(folder);
      return Found::kNoFolder;
    }
    if (kept != nullptr) {
      Drain();
      kept = Locate(folder);
    }
    if (kept != nullptr && kept->Current(st)) {
      kept->checkedAt = now;
      return Answer(*kept, name, variant, id);
    }
    Listing listing;
    if (!Read(folder, st, now, &listing)) {
      if (kept != nullptr) Erase(folder);
      return Found::kNone;
    }
    if (kept != nullptr) Erase(folder);
    if (m_folders.size() >= kMaxFolders) Clear();
    auto it = m_folders.emplace(std::string(folder), std::move(listing)).first;
    if (it->second.watch >= 0) m_watched[it->second.watch] = it->first;
    m_lastFolder = &it->first;
    kept = m_lastListing = &it->second;
    return Answer(*kept, name, variant, id);
  }

  static Found Answer(const Listing& kept, std::string_view name, std::string* variant,
                      FolderId* id) {
    if (id != nullptr) *id = FolderId{kept.device, kept.inode};
    return kept.Find(name, variant);
  }

  // Reads folder's names into *listing. The folder is opened first and the
  // watch set on what was opened, so that names and watch are of one
  // folder; st, a stat of the path taken before, must be of it too.
  bool Read(std::string_view folder, const struct stat& st, int64_t now, Listing* listing) {
    Descriptor open(::open(FolderPath(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat opened;
    if (open.get() < 0 || ::fstat(open.get(), &opened) != 0 || opened.st_dev != st.st_dev ||
        opened.st_ino != st.st_ino) {
      return false;
    }
    listing->Stamp(st, now);
    listing->watch = Watch(open.get());
    DIR* dir = ::fdopendir(open.get());
    if (dir == nullptr) {
      Unwatch(listing->watch);
      return false;
    }
    static_cast<void>(open.Release());  // the listing's reader owns it now
    while (dirent* d = ::readdir(dir)) listing->Add(d->d_name);
    ::closedir(dir);
    return true;
  }

  // Sets a watch on the folder open as fd; -1 when none can be had (no
  // inotify, or the user's watches are used up), or when the folder is
  // watched for another listing already (a path of another spelling).
  int Watch(int fd) {
    if (m_inotify.get() < 0 && !m_inotifyFailed) {
      m_inotify.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
      m_inotifyFailed = m_inotify.get() < 0;
    }
    if (m_inotify.get() < 0) return -1;
    char link[40];
    ::snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    int watch = ::inotify_add_watch(m_inotify.get(), link,
                                    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                        IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
    if (watch >= 0 && m_watched.count(watch) != 0) return -1;
    return watch;
  }
  void Unwatch(int watch) {
    if (watch >= 0 && m_inotify.get() >= 0) ::inotify_rm_watch(m_inotify.get(), watch);
  }

  // Takes every event the watches have queued into the listings.
  void Drain() {
    if (m_inotify.get() < 0 || m_watched.empty()) return;
    alignas(inotify_event) char buffer[16384];
    for (;;) {
      ssize_t n = ::read(m_inotify.get(), buffer, sizeof(buffer));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        Apply(*event);
      }
      // A read that left room for another event took all there were.
      if (static_cast<size_t>(n) + sizeof(inotify_event) + NAME_MAX + 1 <= sizeof(buffer)) return;
    }
  }
  void Apply(const inotify_event& event) {
    if (event.mask & IN_Q_OVERFLOW) {  // events were lost: nothing kept is known current
      Clear();
      return;
    }
    auto watched = m_watched.find(event.wd);
    if (watched == m_watched.end()) return;
    if (event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
      Erase(watched->second);
      return;
    }
    Listing* kept = Locate(watched->second);
    if (kept == nullptr || event.len == 0) return;
    std::string_view name(event.name);
    if (event.mask & (IN_CREATE | IN_MOVED_TO)) kept->Add(name);
    if (event.mask & (IN_DELETE | IN_MOVED_FROM)) kept->Remove(name);
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
    if (it == m_folders.end()) return;
    Drop(it->second);
    m_folders.erase(it);
  }
  void Clear() {
    m_lastFolder = nullptr;
    for (auto& [path, listing] : m_folders) Drop(listing);
    m_folders.clear();
  }
  void Drop(Listing& listing) {
    if (listing.folder.get() >= 0 && m_keptDescriptors > 0) --m_keptDescriptors;
    if (listing.watch >= 0) {
      m_watched.erase(listing.watch);
      Unwatch(listing.watch);
    }
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
    bool Holds(int fd) const { return fd >= 0 && m_folder.get() == fd; }
    // The kept folder, when its path still leads to it, and its stat when
    // kept; -1 when none.
    int Usable(struct stat* st) {
      if (m_folder.get() < 0 || !StillThere()) return -1;
      *st = m_stat;
      return m_folder.get();
    }

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
      if (m_folder.get() < 0 && ++m_run >= kRun && (KeptDescriptorRoom() == 0 || !Keep())) {
        m_run = 0;
      }
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
      m_stat = st;
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
    struct stat m_stat {};
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
  size_t m_keptDescriptors = 0;  // listings' folders kept open
  int m_lent = -1;               // the one last handed out to write through
  Descriptor m_inotify;
  bool m_inotifyFailed = false;
  std::unordered_map<int, std::string> m_watched;  // watch -> the folder's key
};

ListingCache& Cache() {
  static ListingCache* cache = new ListingCache;  // used until the process ends
  return *cache;
}

// The entry name of folder (a resolved folder): as written, else its first
// case variant, else as written. *exists tells whether there is such an
// entry. False when folder turns out to be no folder.
bool FindIn(std::string_view folder, std::string_view name, std::string* path, bool* exists,
            FolderId* id = nullptr) {
  std::string variant;
  switch (Cache().Find(folder, name, &variant, id)) {
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

namespace {

// ResolvePathCase's work; *id gets the identity of the folder whose listing
// answered for the last component, when one did.
std::string ResolveWithFolder(const std::string& path, FolderId* id) {
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
  if (FindIn(folder, name, &resolved, &exists, id)) return resolved;
  // The folder is missing as written (usually it is there and only the
  // name is missing): perhaps in another letter case.
  if (kept && Exists(path)) return path;
  std::string resolvedFolder = ResolvePathCase(std::string(folder));
  if (resolvedFolder == folder || !FindIn(resolvedFolder, name, &resolved, &exists, id)) {
    return Join(resolvedFolder, name);
  }
  return resolved;
}

}  // namespace

std::string ResolvePathCase(const std::string& path) { return ResolveWithFolder(path, nullptr); }

void ResolvePathCaseInPlace(std::string* path, FolderId* id) {
  std::string_view folder, name;
  Split(*path, &folder, &name);
  Found found;
  std::string variant;
  if (!name.empty() && name != "." && name != ".." &&
      Cache().FindKept(folder, name, &variant, &found, id)) {
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
  *path = ResolveWithFolder(*path, id);
}

bool IsTrustedFolder(const std::string& folder) { return Cache().Trusted(folder); }

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

void NoteEntries(const std::vector<const std::string*>& paths, bool added) {
  Cache().ChangedAll(paths, added);
}

void NoteEntryRemoved(const std::string& path) {
  std::string_view folder, name;
  Split(path, &folder, &name);
  Cache().Forget(folder);
}

bool OpenWriteFolder(const std::string& folder, WriteFolder* out) {
  return Cache().OpenForWriting(folder, out);
}

void ForgetFolder(const std::string& folder) { Cache().Forget(folder); }

void ReleaseKeptDescriptors() { Cache().ReleaseDescriptors(); }

}  // namespace platform::posix
