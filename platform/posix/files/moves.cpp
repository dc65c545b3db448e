#include "platform/posix/files/moves.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
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

struct Held {
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
  bool Hold(int folder, const struct stat& folderStat, const std::string& temp,
            const struct stat& made, int slot, const std::string& name, const struct stat& expected,
            const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_held.empty() && !RoomForDescriptors()) return false;
    int fd = FolderFd(folder, folderStat);
    if (fd < 0 && !m_held.empty()) {
      CompleteLocked();  // room for this folder's descriptor
      fd = FolderFd(folder, folderStat);
    }
    if (fd < 0) return false;
    // Guarded from now on through the batch's own descriptor.
    UnguardTemporary(slot);
    m_held.push_back(
        Held{fd, temp, made.st_ino, GuardTemporary(fd, temp, made.st_ino), name, expected, path});
    m_paths.insert(path);
    m_bytes += made.st_size;
    if (m_held.size() >= kBatchFiles || m_bytes >= kBatchBytes) CompleteLocked();
    return true;
  }

  bool IsHeld(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_paths.empty() && m_paths.count(path) != 0;
  }

  bool Complete() {
    std::lock_guard<std::mutex> lock(m_mutex);
    CompleteLocked();
    bool ok = !m_failed;
    m_failed = false;
    return ok;
  }

 private:
  static bool RoomForDescriptors() {
    rlimit limit{};
    return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= 64;
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
    for (const struct Held& held : m_held) {
      struct stat now;
      bool current = ::fstatat(held.folder, held.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                     SameFile(now, held.expected);
      bool moved = flushed && current &&
                   ::renameat(held.folder, held.temp.c_str(), held.folder, held.name.c_str()) == 0;
      if (flushed && current && !moved) m_failed = true;
      if (!moved) {
        struct stat temp;
        if (::fstatat(held.folder, held.temp.c_str(), &temp, AT_SYMLINK_NOFOLLOW) == 0 &&
            temp.st_ino == held.tempInode) {
          ::unlinkat(held.folder, held.temp.c_str(), 0);
        }
      }
      UnguardTemporary(held.slot);
      if (moved) {
        NoteEntryReplaced(held.path);
        NoteVolumeWritten(held.folder, now.st_dev);
      }
    }
    m_held.clear();
    m_paths.clear();
    m_folders.clear();
    m_bytes = 0;
  }

  std::mutex m_mutex;
  std::vector<struct Held> m_held;
  std::unordered_set<std::string> m_paths;
  std::vector<HeldFolder> m_folders;
  off_t m_bytes = 0;
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
  return TheMoves().Hold(folder, folderStat, temp, made, slot, name, expected, path);
}

bool MoveHeld(const std::string& path) { return TheMoves().IsHeld(path); }

bool CompleteMoves() { return TheMoves().Complete(); }

}  // namespace platform::posix
