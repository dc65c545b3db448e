#include "platform/posix/files/moves.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/posix/files/descriptor.h"
#include "platform/posix/files/path_case.h"
#include "platform/posix/files/temporary.h"
#include "platform/posix/files/volumes.h"

namespace platform::posix {
namespace {

// The held files: at most this many in all, this many bytes waiting for a
// flush, this many folders in a batch.
constexpr size_t kBatchFiles = 4096;
constexpr off_t kBatchBytes = off_t{256} << 20;
constexpr size_t kBatchFolders = 8;
static_assert(kBatchFiles < kMaxGuarded, "every held file is guarded, and one being written");

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// An 8-byte piece of a path with its ASCII capitals made small: a byte
// whose low seven bits lie from 'A' to 'Z' and whose top bit is clear gets
// the bit 0x20. No sum carries into the next byte (each is at most 0x7f +
// 0x3f).
uint64_t FoldedPiece(uint64_t piece) {
  constexpr uint64_t kLow7 = 0x7f7f7f7f7f7f7f7fu;
  constexpr uint64_t kTop = 0x8080808080808080u;
  const uint64_t low = piece & kLow7;
  const uint64_t atLeastA = low + 0x3f3f3f3f3f3f3f3fu;  // top bit set from 'A' (0x41)
  const uint64_t pastZ = low + 0x2525252525252525u;     // top bit set from '[' (0x5b)
  const uint64_t capital = atLeastA & ~pastZ & ~piece & kTop;
  return piece | (capital >> 2);
}

// A key of path with ASCII letters folded to lower case, under which a held
// move is found by any path that the letter-case lookup could lead to it.
// Two paths may share a key: a lookup then only completes the moves early.
// Eight bytes are taken at a time: every file copied asks this several
// times of its whole path.
uint64_t FoldedKey(const std::string& path) {
  uint64_t key = 14695981039346656037u ^ path.size();
  const char* at = path.data();
  size_t left = path.size();
  while (left > 0) {
    uint64_t piece = 0;
    const size_t n = left < sizeof(piece) ? left : sizeof(piece);
    std::memcpy(&piece, at, n);
    key = (key ^ FoldedPiece(piece)) * 0x9e3779b97f4a7c15u;
    key ^= key >> 29;
    at += n;
    left -= n;
  }
  key ^= key >> 32;  // the slot table uses the low bits
  return key * 0xff51afd7ed558ccdu ^ (key >> 31);
}

struct Held {
  bool fresh;        // a new file: moved onto a free name only
  bool writtenBack;  // its own writeback, waited for, puts it on disk before its name
  Descriptor file;   // a new file without a name, linked in; else temp is moved
  Descriptor kept;   // temp, kept open for the wait for its writeback
  int folder;
  std::string temp;
  ino_t tempInode;
  int slot;
  std::string name;
  struct stat expected;
  std::string path;
  uint64_t key;  // FoldedKey(path)
};

struct HeldFolder {
  dev_t device;
  ino_t inode;
  Descriptor fd;
};

// Files held together: one flush of their volumes puts them all on disk.
struct Batch {
  std::vector<struct Held> files;
  std::vector<HeldFolder> folders;
  off_t bytes = 0;
  int open = 0;               // files held open among them (see Held::file and Held::kept)
  bool flushVolumes = false;  // some file needs its volume flushed

  bool empty() const { return files.empty(); }
  void clear() {
    files.clear();
    folders.clear();
    bytes = 0;
    open = 0;
    flushVolumes = false;
  }
};

// Puts every file of batch on disk before its move: the files whose volume
// orders their names after their writeback by waiting for that writeback,
// the others by a flush of the volumes written. False when a write failed.
// The writes of all the batch's files are started before the first wait,
// so that the disk gets them together and most waits find them ended: a
// wait for each file before the next one starts sleeps once per file.
bool FlushBatch(const Batch& batch) {
  bool ok = true;
  const auto written = [](const struct Held& held) {
    return held.file.get() >= 0 ? held.file.get() : held.kept.get();
  };
  for (const struct Held& held : batch.files) {
    if (held.writtenBack && !StartWriteback(written(held))) ok = false;
  }
  for (const struct Held& held : batch.files) {
    if (held.writtenBack && !WaitWriteback(written(held))) ok = false;
  }
  if (batch.flushVolumes && !FlushVolumes()) ok = false;
  return ok;
}

// Held files go through two batches: the one being filled, and the one
// whose volumes a flush thread puts on disk meanwhile, so that the disk
// writes while the copy goes on. The copy's thread makes the moves of a
// flushed batch (in the folders it works in, where the flush thread's
// moves would only wait for its look-ups and hold them up) at its next
// hold, and hands the batch being filled over as soon as that has enough
// to be worth a flush. Both batches together stay within the bounds of one
// (files, descriptors).
class Moves {
 public:
  // The process's one instance, used until the process ends.
  static Moves& The() {
    static Moves* moves = [] {
      auto* made = new Moves;
      ::pthread_atfork(nullptr, nullptr, &Moves::AfterFork);
      return made;
    }();
    return *moves;
  }

  bool Hold(bool fresh, Descriptor* file, Descriptor* written, bool ordered, int folder,
            const struct stat& folderStat, const std::string& temp, const struct stat& made,
            int slot, const std::string& name, const struct stat& expected,
            const std::string& path) {
    // A file whose writeback is waited for is held open: a new one without
    // a name always, a temporary one only then.
    const bool writtenBack = ordered && (file != nullptr || written != nullptr);
    if (file == nullptr && !writtenBack) written = nullptr;
    const bool open = file != nullptr || written != nullptr;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_state == kFlushed) FinishFlushed();
    if (m_filling.empty() && m_state == kIdle) {
      m_maxOpen = OpenFilesAllowed();
      if (m_maxOpen < 0) return false;
    }
    if (open && m_maxOpen == 0) return false;
    // Room for this file (and its descriptor): finish the flushed batch,
    // or hand this one over, or wait for the flush under way, until there
    // is.
    while ((m_state != kIdle || !m_filling.empty()) &&
           (m_filling.files.size() + m_flushing.files.size() >= kBatchFiles ||
            m_filling.bytes >= kBatchBytes ||
            (open && m_filling.open + m_flushing.open >= m_maxOpen))) {
      Step(&lock);
    }
    int fd = FolderFd(folder, folderStat);
    while (fd < 0 && !m_filling.empty()) {
      Step(&lock);  // room for this folder's descriptor in a new batch
      fd = FolderFd(folder, folderStat);
    }
    if (fd < 0) return false;
    Held& held = m_filling.files.emplace_back();
    held.fresh = fresh;
    held.writtenBack = writtenBack;
    if (!writtenBack) m_filling.flushVolumes = true;
    held.folder = fd;
    held.name = name;
    held.expected = expected;
    held.path = path;
    if (file != nullptr) {
      held.file = std::move(*file);
      held.slot = -1;
      ++m_filling.open;
    } else {
      // Guarded from now on through the batch's own descriptor.
      UnguardTemporary(slot);
      held.temp = temp;
      held.tempInode = made.st_ino;
      held.slot = GuardTemporary(fd, temp, made.st_ino);
      if (written != nullptr) {
        held.kept = std::move(*written);
        ++m_filling.open;
      }
    }
    held.key = FoldedKey(path);
    m_keyCounts[held.key % kKeySlots].fetch_add(1, std::memory_order_release);
    m_filling.bytes += made.st_size;
    if (m_state == kIdle &&
        (m_filling.files.size() >= kFlushFiles || m_filling.bytes >= kFlushBytes)) {
      HandOver(&lock);
    }
    return true;
  }

  bool IsHeld(const std::string& path) {
    const uint64_t key = FoldedKey(path);
    // Most paths looked up share no slot with a held one: no lock for them.
    if (m_keyCounts[key % kKeySlots].load(std::memory_order_acquire) == 0) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Batch* batch : {&m_filling, &m_flushing}) {
      for (const struct Held& held : batch->files) {
        if (held.key == key) return true;
      }
    }
    return false;
  }

  bool Complete() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_state != kIdle || !m_filling.empty()) Step(&lock);
    bool ok = !m_failed;
    m_failed = false;
    return ok;
  }

 private:
  // A batch this big is flushed on its own: more would only add to the
  // wait at the end of the run.
  static constexpr size_t kFlushFiles = 256;
  static constexpr off_t kFlushBytes = off_t{8} << 20;

  enum State {
    kIdle,      // no batch handed over
    kFlushing,  // the flush thread puts m_flushing's volumes on disk
    kFlushed,   // it is done (m_flushOk says how it went); the moves wait
  };

  // One step towards room or the end, with the lock held: the flushed
  // batch's moves made, else the batch being filled handed over, else a
  // wait for the flush under way.
  void Step(std::unique_lock<std::mutex>* lock) {
    if (m_state == kFlushed) {
      FinishFlushed();
    } else if (m_state == kIdle && !m_filling.empty()) {
      HandOver(lock);
    } else if (m_state == kFlushing) {
      if (m_threaded) {
        m_flushedCv.wait(*lock);
      } else {
        FlushHere(lock);
      }
    }
  }

  // Hands the batch being filled over for its flush, while no batch is.
  // Without a flush thread, flushes it here.
  void HandOver(std::unique_lock<std::mutex>* lock) {
    std::swap(m_filling, m_flushing);
    m_state = kFlushing;
    if (!m_threadTried) {
      m_threadTried = true;
      try {
        std::thread(&Moves::FlushThread, this).detach();
        m_threaded = true;
      } catch (const std::system_error&) {
        m_threaded = false;  // no thread to be had: each batch is flushed here
      }
    }
    if (m_threaded) {
      m_handedCv.notify_one();
    } else {
      FlushHere(lock);
    }
  }

  void FlushHere(std::unique_lock<std::mutex>* lock) {
    lock->unlock();
    bool ok = FlushBatch(m_flushing);
    lock->lock();
    m_flushOk = ok;
    m_state = kFlushed;
  }

  // A child of fork has none of the parent's threads, and the parent's
  // locks as they were: it starts afresh, flushing what it holds itself
  // until it starts a thread of its own.
  static void AfterFork() {
    Moves& moves = The();
    new (&moves.m_mutex) std::mutex;
    new (&moves.m_handedCv) std::condition_variable;
    new (&moves.m_flushedCv) std::condition_variable;
    moves.m_threadTried = false;
    moves.m_threaded = false;
  }

  [[noreturn]] void FlushThread() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
      m_handedCv.wait(lock, [this] { return m_state == kFlushing; });
      lock.unlock();
      // Every held file's contents on disk: by its own writeback, or by
      // one flush of each volume written (those of the batch being filled
      // in part, which is no harm).
      bool ok = FlushBatch(m_flushing);
      lock.lock();
      m_flushOk = ok;
      m_state = kFlushed;
      m_flushedCv.notify_all();
    }
  }

  // Makes the moves of the flushed batch, with the lock held (nobody else
  // touches the batch: the flush thread waits for the next).
  void FinishFlushed() {
    if (!Move(&m_flushing, m_flushOk)) m_failed = true;
    for (const struct Held& held : m_flushing.files) {
      m_keyCounts[held.key % kKeySlots].fetch_sub(1, std::memory_order_release);
    }
    m_flushing.clear();
    m_state = kIdle;
  }

  // How many new files without a name the batches may keep open: half of
  // what the process may open, leaving the rest to the copy and to folders
  // kept for speed (which are let go when the process runs out); -1 when
  // the process may keep nothing for a batch.
  static int OpenFilesAllowed() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur < 64) return -1;
    return static_cast<int>(std::min<rlim_t>(limit.rlim_cur / 2, kBatchFiles));
  }

  // The filling batch's descriptor of the folder, made once per batch; -1
  // when the batch has its folders or no descriptor can be had.
  int FolderFd(int folder, const struct stat& st) {
    for (const HeldFolder& held : m_filling.folders) {
      if (held.device == st.st_dev && held.inode == st.st_ino) return held.fd.get();
    }
    if (m_filling.folders.size() >= kBatchFolders) return -1;
    int fd = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return -1;
    m_filling.folders.push_back(HeldFolder{st.st_dev, st.st_ino, Descriptor(fd)});
    return fd;
  }

  // Makes the moves of a batch whose volumes were flushed (successfully
  // when flushed); a file that is not moved is let go. False when the
  // flush or a move failed.
  static bool Move(Batch* batch, bool flushed) {
    bool ok = flushed;
    std::vector<const std::string*> added;
    std::vector<const std::string*> replaced;
    int lastFolder = -1;
    for (struct Held& held : batch->files) {
      bool moved = false;
      if (held.fresh) {
        // Another program's file made under the name meanwhile stays.
        moved = flushed && (held.file.get() >= 0
                                ? LinkNoReplace(held.file.get(), held.folder, held.name.c_str())
                                : MoveNoReplace(held.folder, held.temp, held.name));
        if (flushed && !moved && errno != EEXIST) ok = false;
      } else {
        struct stat now;
        bool current = ::fstatat(held.folder, held.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                       SameFile(now, held.expected);
        moved = flushed && current &&
                ::renameat(held.folder, held.temp.c_str(), held.folder, held.name.c_str()) == 0;
        if (flushed && current && !moved) ok = false;
      }
      held.file.Close();
      held.kept.Close();
      if (!moved && !held.temp.empty()) {
        struct stat temp;
        if (::fstatat(held.folder, held.temp.c_str(), &temp, AT_SYMLINK_NOFOLLOW) == 0 &&
            temp.st_ino == held.tempInode) {
          ::unlinkat(held.folder, held.temp.c_str(), 0);
        }
      }
      UnguardTemporary(held.slot);
      if (!moved) continue;
      (held.fresh ? added : replaced).push_back(&held.path);
      // A batch's files come folder by folder: the volume is noted once
      // for each run of them.
      if (held.folder != lastFolder) NoteVolumeWritten(held.folder, held.expected.st_dev);
      lastFolder = held.folder;
    }
    if (!added.empty()) NoteEntries(added, true);
    if (!replaced.empty()) NoteEntries(replaced, false);
    return ok;
  }

  std::mutex m_mutex;
  std::condition_variable m_handedCv;   // m_state became kFlushing
  std::condition_variable m_flushedCv;  // m_state became kFlushed
  Batch m_filling;
  Batch m_flushing;  // handed over unless m_state is kIdle
  State m_state = kIdle;
  bool m_flushOk = false;
  bool m_threadTried = false;
  bool m_threaded = false;
  // How many of both batches' files have their key in each slot (key %
  // kKeySlots), read without the lock: a path whose slot is empty is not
  // held, and only the few others are looked for in the batches.
  static constexpr size_t kKeySlots = 8192;
  static_assert(kBatchFiles < 65535, "a slot counts every held file at most");
  std::atomic<uint16_t> m_keyCounts[kKeySlots] = {};
  int m_maxOpen = 0;  // decided whenever nothing is held
  bool m_failed = false;
};

Moves& TheMoves() { return Moves::The(); }

}  // namespace

bool HoldMove(int folder, const struct stat& folderStat, Descriptor* file, bool ordered,
              const std::string& temp, const struct stat& made, int slot, const std::string& name,
              const struct stat& expected, const std::string& path) {
  return TheMoves().Hold(false, nullptr, file, ordered, folder, folderStat, temp, made, slot, name,
                         expected, path);
}

bool HoldNew(int folder, const struct stat& folderStat, Descriptor* file, bool ordered,
             const std::string& temp, const struct stat& made, int slot, const std::string& name,
             const std::string& path) {
  struct stat where {};
  where.st_dev = folderStat.st_dev;  // the volume flushed after the naming
  return TheMoves().Hold(true, temp.empty() ? file : nullptr, temp.empty() ? nullptr : file,
                         ordered, folder, folderStat, temp, made, slot, name, where, path);
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
