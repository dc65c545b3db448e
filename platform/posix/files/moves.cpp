#include "platform/posix/files/moves.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "platform/posix/files/descriptor.h"
#include "platform/posix/files/path_case.h"
#include "platform/posix/files/temporary.h"
#include "platform/posix/files/volumes.h"

namespace platform::posix {
namespace {

// A batch: at most this many files, this many bytes, this many folders.
constexpr size_t kBatchFiles = 4096;
constexpr off_t kBatchBytes = off_t{256} << 20;
constexpr size_t kBatchFolders = 8;
static_assert(kBatchFiles < kMaxGuarded, "every held file is guarded, and one being written");

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// path with ASCII letters folded to lower case: the key under which a held
// move is found by any path that the letter-case lookup could lead to it.
std::string Folded(const std::string& path) {
  std::string folded(path);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

struct Held {
  bool fresh;       // a new file: moved onto a free name only
  Descriptor file;  // a new file without a name, linked in; else temp is moved
  int folder;
  std::string temp;
  ino_t tempInode;
  int slot;
  std::string name;
  struct stat expected;
  std::string path;
};

struct HeldFolder {
  dev_t device;
  ino_t inode;
  Descriptor fd;
};

class Moves {
 public:
  bool Hold(bool fresh, Descriptor* file, int folder, const struct stat& folderStat,
            const std::string& temp, const struct stat& made, int slot, const std::string& name,
            const struct stat& expected, const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_held.empty()) {
      m_maxOpen = OpenFilesAllowed();
      if (m_maxOpen < 0) return false;
    }
    if (file != nullptr && m_open >= m_maxOpen) {
      if (m_maxOpen == 0) return false;
      CompleteLocked();  // room for this file's descriptor
    }
    int fd = FolderFd(folder, folderStat);
    if (fd < 0 && !m_held.empty()) {
      CompleteLocked();  // room for this folder's descriptor
      fd = FolderFd(folder, folderStat);
    }
    if (fd < 0) return false;
    Held& held = m_held.emplace_back();
    held.fresh = fresh;
    held.folder = fd;
    held.name = name;
    held.expected = expected;
    held.path = path;
    if (file != nullptr) {
      held.file = std::move(*file);
      held.slot = -1;
      ++m_open;
    } else {
      // Guarded from now on through the batch's own descriptor.
      UnguardTemporary(slot);
      held.temp = temp;
      held.tempInode = made.st_ino;
      held.slot = GuardTemporary(fd, temp, made.st_ino);
    }
    m_paths.insert(Folded(path));
    m_bytes += made.st_size;
    if (m_held.size() >= kBatchFiles || m_bytes >= kBatchBytes) CompleteLocked();
    return true;
  }

  bool IsHeld(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_paths.empty() && m_paths.count(Folded(path)) != 0;
  }

  bool Complete() {
    std::lock_guard<std::mutex> lock(m_mutex);
    CompleteLocked();
    bool ok = !m_failed;
    m_failed = false;
    return ok;
  }

 private:
  // How many new files without a name a batch may keep open: half of what
  // the process may open, leaving the rest to the copy and to folders kept
  // for speed (which are let go when the process runs out); -1 when the
  // process may keep nothing for a batch.
  static int OpenFilesAllowed() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur < 64) return -1;
    return static_cast<int>(std::min<rlim_t>(limit.rlim_cur / 2, kBatchFiles));
  }

  // The batch's descriptor of the folder, made once per batch; -1 when the
  // batch has its folders or no descriptor can be had.
  int FolderFd(int folder, const struct stat& st) {
    for (const HeldFolder& held : m_folders) {
      if (held.device == st.st_dev && held.inode == st.st_ino) return held.fd.get();
    }
    if (m_folders.size() >= kBatchFolders) return -1;
    int fd = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return -1;
    m_folders.push_back(HeldFolder{st.st_dev, st.st_ino, Descriptor(fd)});
    return fd;
  }

  void CompleteLocked() {
    if (m_held.empty()) return;
    // Every temporary file's contents on disk first, by one flush of each
    // volume written, then the moves.
    bool flushed = FlushVolumes();
    if (!flushed) m_failed = true;
    for (struct Held& held : m_held) {
      bool moved = false;
      if (held.fresh) {
        // Another program's file made under the name meanwhile stays.
        moved = flushed && (held.file.get() >= 0
                                ? LinkNoReplace(held.file.get(), held.folder, held.name.c_str())
                                : MoveNoReplace(held.folder, held.temp, held.name));
        if (flushed && !moved && errno != EEXIST) m_failed = true;
      } else {
        struct stat now;
        bool current = ::fstatat(held.folder, held.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                       SameFile(now, held.expected);
        moved = flushed && current &&
                ::renameat(held.folder, held.temp.c_str(), held.folder, held.name.c_str()) == 0;
        if (flushed && current && !moved) m_failed = true;
      }
      held.file.Close();
      if (!moved && !held.temp.empty()) {
        struct stat temp;
        if (::fstatat(held.folder, held.temp.c_str(), &temp, AT_SYMLINK_NOFOLLOW) == 0 &&
            temp.st_ino == held.tempInode) {
          ::unlinkat(held.folder, held.temp.c_str(), 0);
        }
      }
      UnguardTemporary(held.slot);
      if (moved) {
        if (held.fresh) {
          NoteNewEntry(held.path);
        } else {
          NoteEntryReplaced(held.path);
        }
        NoteVolumeWritten(held.folder, held.expected.st_dev);
      }
    }
    m_held.clear();
    m_paths.clear();
    m_folders.clear();
    m_bytes = 0;
    m_open = 0;
  }

  std::mutex m_mutex;
  std::vector<struct Held> m_held;
  std::unordered_set<std::string> m_paths;
  std::vector<HeldFolder> m_folders;
  off_t m_bytes = 0;
  int m_open = 0;     // new files without a name held open
  int m_maxOpen = 0;  // and how many may be, decided for each batch
  bool m_failed = false;
};

Moves& TheMoves() {
  static Moves* moves = new Moves;  // used until the process ends
  return *moves;
}

}  // namespace

bool HoldMove(int folder, const struct stat& folderStat, const std::string& temp,
              const struct stat& made, int slot, const std::string& name,
              const struct stat& expected, const std::string& path) {
  return TheMoves().Hold(false, nullptr, folder, folderStat, temp, made, slot, name, expected,
                         path);
}

bool HoldNew(int folder, const struct stat& folderStat, Descriptor* file, const std::string& temp,
             const struct stat& made, int slot, const std::string& name, const std::string& path) {
  struct stat where {};
  where.st_dev = folderStat.st_dev;  // the volume flushed after the naming
  return TheMoves().Hold(true, temp.empty() ? file : nullptr, folder, folderStat, temp, made, slot,
                         name, where, path);
}

bool LinkNoReplace(int file, int folder, const char* name) {
  if (::linkat(file, "", folder, name, AT_EMPTY_PATH) == 0) return true;
  // Kernels before 6.10 allow that only to a process that may look up any
  // file; the link of the descriptor's name in /proc serves every process.
  if (errno != ENOENT && errno != EPERM) return false;
  char link[40];
  std::snprintf(link, sizeof(link), "/proc/self/fd/%d", file);
  return ::linkat(AT_FDCWD, link, folder, name, AT_SYMLINK_FOLLOW) == 0;
}

bool MoveNoReplace(int folder, const std::string& temp, const std::string& name) {
  if (::renameat2(folder, temp.c_str(), folder, name.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system that can't rename so: a second name, taken only while
  // free, then the temporary one let go.
  if (::linkat(folder, temp.c_str(), folder, name.c_str(), 0) != 0) return false;
  ::unlinkat(folder, temp.c_str(), 0);
  return true;
}

bool MoveHeld(const std::string& path) { return TheMoves().IsHeld(path); }

bool CompleteMoves() { return TheMoves().Complete(); }

}  // namespace platform::posix
