// The copy of one file over another. A new destination gets its name only
// once complete and on disk; an existing one is replaced by
// a temporary file moved over it in one step, or written in place when its
// folder takes no new file. The copy acts on the file (or the absence) that
// the caller's probe examined, in the folder it examined, and fails as a
// change met when another program replaced either meanwhile.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/fs.h"
#include "platform/posix/files/descriptor.h"
#include "platform/posix/files/moves.h"
#include "platform/posix/files/native_path.h"
#include "platform/posix/files/path_case.h"
#include "platform/posix/files/reading.h"
#include "platform/posix/files/temporary.h"
#include "platform/posix/files/volumes.h"
#include "platform/posix/files/written_examiner.h"
#include "platform/posix/text/cp932.h"

namespace platform {
namespace {

int Fd(FileHandle file) { return static_cast<int>(reinterpret_cast<intptr_t>(file)) - 1; }

// Next copy to fail after this many bytes; negative when none is to fail.
std::atomic<int64_t> g_failAfter{-1};
// Replacing moves may be held back for a batch (see BatchReplacingMoves).
std::atomic<bool> g_batching{false};
// The last copy failed because what the probe examined changed meanwhile.
thread_local bool t_metChange = false;
// For tests: what runs once the next copy has written its new file.
void (*g_writtenHook)(void*) = nullptr;
void* g_writtenContext = nullptr;

// Files smaller than this get no read-ahead advice: the kernel reads them
// whole at once anyway, and the advice would be one more call per file.
constexpr off_t kAdviseFrom = off_t{1} << 20;

// The file that the last copy wrote under the name it was given (the path
// as the caller wrote it and as found), and the permission bits it gave it:
// setting the normal attributes right after the copy then needs neither a
// lookup of the name nor a stat to know them.
struct Written {
  std::string text;
  std::string path;
  mode_t mode = 0;

  // Reuses the room of the last copy's texts.
  void Set(const char* written, const std::string& found, mode_t bits) {
    text.assign(written);
    path.assign(found);
    mode = bits;
  }
};
Written g_lastWritten;

// Links followed at most, as the kernel does.
constexpr int kMaxLinks = 40;

using posix::Descriptor;

// openat, tried again when interrupted, and once more after the folder
// descriptors kept for speed are let go when the process has none left.
int OpenAt(int folder, const char* name, int flags, mode_t mode = 0) {
  bool released = false;
  for (;;) {
    int fd = ::openat(folder, name, flags | O_CLOEXEC, mode);
    if (fd >= 0) return fd;
    if (errno == EINTR) continue;
    if ((errno != EMFILE && errno != ENFILE) || released) return fd;
    posix::ReleaseKeptDescriptors();
    released = true;
  }
}

// The folder part of path, with its trailing slash; "" for a bare name.
std::string_view FolderView(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
}

// Where a reflink was refused: source volumes whose file system shares no
// blocks between files, and destination folders on another volume than the
// source. A reflink is tried once for each rather than once per file. Both
// lists are bounded; once full they stop growing and the copy merely tries
// again.
class CloneRefusals {
 public:
  bool Known(dev_t source, std::string_view folder) const {
    if (std::find(m_volumes.begin(), m_volumes.end(), source) != m_volumes.end()) return true;
    for (const auto& [volume, crossing] : m_crossings) {
      if (volume == source && crossing == folder) return true;
    }
    return false;
  }
  void Remember(dev_t source, std::string_view folder, int error) {
    if (error == EXDEV) {
      if (m_crossings.size() < kMax) m_crossings.emplace_back(source, std::string(folder));
    } else if (m_volumes.size() < kMax) {
      m_volumes.push_back(source);
    }
  }

 private:
  static constexpr size_t kMax = 16;
  std::vector<dev_t> m_volumes;
  std::vector<std::pair<dev_t, std::string>> m_crossings;
};

CloneRefusals& Refusals() {
  static CloneRefusals refusals;
  return refusals;
}

// For tests: runs the hook a test set, once.
void RunWrittenHook() {
  void (*hook)(void*) = g_writtenHook;
  g_writtenHook = nullptr;
  if (hook != nullptr) hook(g_writtenContext);
}

bool WriteAll(int fd, const char* data, size_t count) {
  while (count > 0) {
    ssize_t n = ::write(fd, data, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

// Takes what a CopyContents produces into a descriptor.
class DescriptorSink : public CopySink {
 public:
  explicit DescriptorSink(int fd) : m_fd(fd) {}
  bool Write(const void* data, uint32_t count) override {
    m_written += count;
    return WriteAll(m_fd, static_cast<const char*>(data), count);
  }
  uint64_t written() const { return m_written; }

 private:
  int m_fd;
  uint64_t m_written = 0;
};

// One copy: the open source, what its stat said, the failure a test asked
// for, and where the contents come from when not from the source as it is.
struct Copy {
  int in;
  struct stat source;
  int64_t failAfter;
  CopyContents* contents = nullptr;
  mutable uint64_t produced = 0;  // the bytes contents made for the last new file

  bool Made() const { return contents != nullptr && !contents->Unchanged(); }
  // The new file's size.
  off_t Size() const { return Made() ? static_cast<off_t>(produced) : source.st_size; }

  // The bits a new file gets: the source's permissions, never its set-id
  // bits (and the umask applies when the file is made).
  mode_t Mode() const { return source.st_mode & 0777; }
  bool Failing() const { return failAfter >= 0; }

  // Copies the source's contents into out at out's position; *copied gets
  // the bytes written. The kernel copies without a round trip through user
  // space where it can. The size the stat gave is copied, or less if the
  // file shrank meanwhile. With an examiner, it hears of every piece as
  // soon as it is written (pieces of 16 MiB), and a failed examination ends
  // the copy.
  bool Contents(int out, uint64_t* copied, posix::WrittenExaminer* examiner = nullptr) const {
    *copied = 0;
    uint64_t size = static_cast<uint64_t>(source.st_size);
    uint64_t limit = Failing() ? std::min(size, static_cast<uint64_t>(failAfter)) : size;
    bool kernelCopy = true;
    std::unique_ptr<char[]> buffer;
    constexpr size_t kChunk = 1 << 20;
    const size_t kernelChunk = examiner != nullptr ? size_t{16} << 20 : size_t{1} << 30;
    while (*copied < limit) {
      size_t want = static_cast<size_t>(
          std::min<uint64_t>(kernelCopy ? kernelChunk : kChunk, limit - *copied));
      ssize_t n;
      if (kernelCopy) {
        n = ::copy_file_range(in, nullptr, out, nullptr, want, 0);
        if (n < 0 && *copied == 0 &&
            (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
             errno == EBADF)) {
          kernelCopy = false;
          continue;
        }
      } else {
        if (!buffer) buffer.reset(new char[kChunk]);
        n = ::read(in, buffer.get(), want);
        if (n > 0 && !WriteAll(out, buffer.get(), static_cast<size_t>(n))) return false;
      }
      if (n < 0 && (errno == EINTR || (errno == EAGAIN && posix::ClearNoWait(in)))) continue;
      if (n < 0) return false;
      if (n == 0) break;  // the file shrank
      *copied += static_cast<uint64_t>(n);
      if (examiner != nullptr && !examiner->Written(*copied)) return false;
    }
    if (!Failing()) return true;
    RunWrittenHook();  // where a test acts on the failing copy
    return false;      // the failure that a test asked for
  }

  // Fills out, a new empty file in folder, with the source's contents and
  // times.
  bool Fill(int out, std::string_view folder) const {
    if (Made()) {
      if (source.st_size >= kAdviseFrom) ::posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
      DescriptorSink sink(out);
      bool made =
          contents->Produce(reinterpret_cast<FileHandle>(static_cast<intptr_t>(in) + 1), &sink);
      produced = sink.written();
      const timespec times[2] = {source.st_atim, source.st_mtim};
      return made && ::futimens(out, times) == 0;
    }
    uint64_t copied = 0;
    bool cloned = false;
    if (!Failing() && source.st_size > 0 && !Refusals().Known(source.st_dev, folder)) {
      cloned = ::ioctl(out, FICLONE, in) == 0;
      if (!cloned) Refusals().Remember(source.st_dev, folder, errno);
    }
    // A checked copy is read back and examined as it is written (a clone,
    // written at once, all at the end), before the file is put in place.
    std::optional<posix::WrittenExaminer> examiner;
    if (contents != nullptr) examiner.emplace(out, contents, static_cast<uint64_t>(source.st_size));
    if (!cloned) {
      if (source.st_size >= kAdviseFrom) ::posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
      if (!Contents(out, &copied, examiner ? &*examiner : nullptr)) return false;
    }
    const timespec times[2] = {source.st_atim, source.st_mtim};
    return ::futimens(out, times) == 0 && (!examiner || examiner->Finish());
  }
};

// The permission mask of the process, read once: asking for it means
// setting it for a moment.
mode_t CreationMask() {
  static const mode_t mask = [] {
    mode_t m = ::umask(022);
    ::umask(m);
    return m;
  }();
  return mask;
}

// A folder path and the last component, as the letter-case lookup splits
// them: the folder of a bare name is "" (the current directory), of "/name"
// it is "/".
void SplitPath(const std::string& path, std::string* folder, std::string* name) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    folder->clear();
    *name = path;
    return;
  }
  folder->assign(path, 0, slash == 0 ? 1 : slash);
  name->assign(path, slash + 1, std::string::npos);
}

// The copy fails because what the probe examined is no longer there.
bool MetChange() {
  t_metChange = true;
  errno = ESTALE;
  return false;
}

// The same file, unchanged as far as its stat tells.
bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Running as root, a new file or folder takes the owner and group of the
// folder it is made in, as if that folder's user had made it.
void TakeFolderOwner(int fd, const struct stat& folder) {
  static const bool root = ::geteuid() == 0;  // the installer never changes its user
  if (root && (folder.st_uid != 0 || folder.st_gid != 0)) {
    // Where the owner can't be given, the file stays root's, as made.
    if (::fchown(fd, folder.st_uid, folder.st_gid) != 0) return;
  }
}

// Removes the temporary file name of folder when it is still the file open
// as fd, keeping errno.
void RemoveOwn(int folder, const std::string& name, int fd) {
  int error = errno;
  struct stat own, there;
  if (::fstat(fd, &own) == 0 && ::fstatat(folder, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
      own.st_dev == there.st_dev && own.st_ino == there.st_ino) {
    ::unlinkat(folder, name.c_str(), 0);
  }
  errno = error;
}

// Writes a destination that does not exist, so that a failure, a kill or a
// power cut leaves nothing under its name, or the whole file: it is written
// as a file without a name (or, where the file system has none, under a
// temporary name) and given its name only once complete and, on a volume
// that outlives a power cut, on disk: during a run that batches, after one
// flush of the volume serves the batch (the file kept open meanwhile, up to
// a bound); otherwise after a flush of its own. Where the volume logs a
// name after the contents it names, the wait for the file's own writeback
// takes the place of the flush. A name taken meanwhile by
// another program is never replaced: the copy then fails as a change met.
bool WriteNew(const Copy& copy, const posix::WriteFolder& dir, const std::string& name,
              const std::string& path) {
  const bool flush = posix::FlushBeforeNaming(dir.fd(), dir.st().st_dev);
  Descriptor out;
  std::string temp;
  int slot = -1;
  out.reset(OpenAt(dir.fd(), ".", O_TMPFILE | O_WRONLY, copy.Mode()));
  if (out.get() < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
  struct stat made {};
  if (out.get() < 0) {
    out.reset(posix::CreateTemporary(dir.fd(), copy.Mode(), &temp));
    if (out.get() < 0 || ::fstat(out.get(), &made) != 0) return false;
    slot = posix::GuardTemporary(dir.fd(), temp, made.st_ino);
  }
  TakeFolderOwner(out.get(), dir.st());
  bool ok = copy.Fill(out.get(), FolderView(path));
  if (ok) RunWrittenHook();
  if (ok && flush) {
    posix::NoteVolumeWritten(dir.fd(), dir.st().st_dev);
    made.st_size = copy.source.st_size;
    const bool ordered = posix::WritebackOrdersNaming(dir.fd(), dir.st().st_dev);
    if (g_batching &&
        posix::HoldNew(dir.fd(), dir.st(), &out, ordered, temp, made, slot, name, path)) {
      return true;  // named after its batch's flush
    }
    ok = ordered ? posix::WrittenBack(out.get()) : ::fdatasync(out.get()) == 0;
  }
  bool taken = false;
  if (ok && temp.empty()) {
    ok = posix::LinkNoReplace(out.get(), dir.fd(), name.c_str());
    taken = !ok && errno == EEXIST;
  } else if (ok) {
    ok = posix::MoveNoReplace(dir.fd(), temp, name);
    taken = !ok && errno == EEXIST;
  }
  if (!ok && !temp.empty()) RemoveOwn(dir.fd(), temp, out.get());
  posix::UnguardTemporary(slot);
  out.Close();
  if (taken) return MetChange();  // another program made the name meanwhile
  if (!ok) return false;
  posix::NoteNewEntry(path);
  posix::NoteVolumeWritten(dir.fd(), dir.st().st_dev);
  return true;
}

// Reserves the blocks of the first size bytes of out, an existing file whose
// stat was old, so that writing them can't run out of room half-way when
// another process fills the volume meanwhile or the owner's quota is used
// up. False only for lack of room, the file's contents and size untouched;
// a file system that can't reserve leaves it to the room check alone.
bool Reserve(int out, off_t size, const struct stat& old) {
  if (size == 0) return true;
  int result;
  do result = ::fallocate(out, FALLOC_FL_KEEP_SIZE, 0, size);
  while (result != 0 && errno == EINTR);
  if (result == 0 || (errno != ENOSPC && errno != EDQUOT)) return true;
  int error = errno;
  // Some file systems keep what they reserved before giving up, past the
  // file's end, and stamp the file with the time of the attempt: both are
  // put back where the process may (another user may own the file).
  struct stat now = old;
  if (::fstat(out, &now) == 0 && now.st_blocks > old.st_blocks &&
      ::ftruncate(out, old.st_size) == 0) {
    ::fstat(out, &now);
  }
  if (now.st_mtim.tv_sec != old.st_mtim.tv_sec || now.st_mtim.tv_nsec != old.st_mtim.tv_nsec) {
    const timespec times[2] = {{0, UTIME_OMIT}, old.st_mtim};
    ::futimens(out, times);
  }
  errno = error;
  return false;
}

// Writes the copy onto the existing file `name` itself (old is its stat), as
// a plain copy does, once the volume has room for the whole new file. Used
// where the folder takes no new file, or where the replaced file's owner
// could not be given back; a failure here can spoil the old contents, so it
// starts only when the room is there. The room asked for does not count the
// blocks the old file holds: a copy-on-write file system writes new blocks
// before it lets the old ones go, and they may be shared with other files.
// The file keeps its owner and mode; its time stamp is set where the process
// may set it (another user may own the file).
bool WriteInPlace(const Copy& copy, const posix::WriteFolder& dir, const std::string& name,
                  const struct stat& expected) {
  // Made contents need the old file whole until they are complete and
  // checked (a delta reads it): never written in place.
  if (copy.contents != nullptr) {
    errno = EACCES;
    return false;
  }
  Descriptor out(OpenAt(dir.fd(), name.c_str(), O_WRONLY | O_NOFOLLOW));
  struct statvfs volume;
  struct stat old;
  if (out.get() < 0 || ::fstatvfs(out.get(), &volume) != 0 || ::fstat(out.get(), &old) != 0) {
    return false;
  }
  if (!SameFile(old, expected)) return MetChange();
  if (static_cast<uint64_t>(volume.f_bavail) * volume.f_frsize <
      static_cast<uint64_t>(copy.source.st_size)) {
    errno = ENOSPC;
    return false;
  }
  if (!Reserve(out.get(), copy.source.st_size, old)) return false;
  uint64_t copied = 0;
  if (copy.source.st_size >= kAdviseFrom) ::posix_fadvise(copy.in, 0, 0, POSIX_FADV_SEQUENTIAL);
  if (!copy.Contents(out.get(), &copied) ||
      ::ftruncate(out.get(), static_cast<off_t>(copied)) != 0) {
    return false;
  }
  const timespec times[2] = {copy.source.st_atim, copy.source.st_mtim};
  ::futimens(out.get(), times);
  if (!out.Close()) return false;
  posix::NoteVolumeWritten(dir.fd(), dir.st().st_dev);
  return true;
}

// Replaces the existing file `name` of dir (old is its stat) by a copy
// written under a temporary name in the folder and moved over it in one
// step. The new file gets the old one's owner, group and mode bits, and its
// contents are on disk before the move where the file system does not see
// to that itself. The move happens only while name is still the file old
// describes. *exactMode turns false when the file was written in place and
// may have kept permission bits of its own.
bool Replace(const Copy& copy, const posix::WriteFolder& dir, const std::string& name,
             const struct stat& old, const std::string& path, bool* exactMode) {
  // The temporary file is made with the old file's permission bits (and
  // always readable and writable by its owner, for the copy's own reads):
  // where the umask leaves them whole and the owner is the old file's, no
  // change of mode is needed afterwards.
  const mode_t mode = old.st_mode & 07777;
  std::string temp;
  Descriptor out(posix::CreateTemporary(dir.fd(), (mode & 0777) | 0600, &temp));
  if (out.get() < 0) {
    // The folder takes no new file, but the file itself may be written.
    if (errno == EACCES || errno == EPERM) {
      *exactMode = false;
      return WriteInPlace(copy, dir, name, old);
    }
    return false;
  }
  struct stat made;
  if (::fstat(out.get(), &made) != 0) {
    RemoveOwn(dir.fd(), temp, out.get());
    return false;
  }
  int slot = posix::GuardTemporary(dir.fd(), temp, made.st_ino);
  bool ok = copy.Fill(out.get(), FolderView(path));
  const bool sameOwner = made.st_uid == old.st_uid && made.st_gid == old.st_gid;
  bool ownerKept = !ok || sameOwner || ::fchown(out.get(), old.st_uid, old.st_gid) == 0;
  // The mode after the owner: a change of owner clears set-id bits.
  const bool modeKept = sameOwner && (made.st_mode & 07777) == mode;
  ok = ok && ownerKept && (modeKept || ::fchmod(out.get(), mode) == 0);
  if (ok) RunWrittenHook();
  const bool mustFlush = ok && posix::FlushBeforeReplacing(dir.fd(), dir.st().st_dev);
  const bool writtenBack = ok && posix::WritebackOrdersNaming(dir.fd(), dir.st().st_dev);
  // Where the volume orders the move after the contents by itself, a batch
  // still takes the file's writes off this thread: the flush thread waits
  // for them, and the move then finds nothing left to write.
  if (mustFlush || (g_batching && writtenBack)) {
    // On disk with a batch of others before their moves, where the run
    // allows that; else on its own.
    posix::NoteVolumeWritten(dir.fd(), dir.st().st_dev);
    made.st_size = copy.Size();
    if (g_batching &&
        posix::HoldMove(dir.fd(), dir.st(), &out, writtenBack, temp, made, slot, name, old, path)) {
      return true;  // a descriptor not kept closes; a local file system reports nothing there
    }
    if (mustFlush) ok = writtenBack ? posix::WrittenBack(out.get()) : ::fdatasync(out.get()) == 0;
  }
  bool changed = false;
  if (ok) {
    struct stat now;
    changed =
        ::fstatat(dir.fd(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(now, old);
    ok = !changed && ::renameat(dir.fd(), temp.c_str(), dir.fd(), name.c_str()) == 0;
  }
  if (!ok) RemoveOwn(dir.fd(), temp, out.get());
  posix::UnguardTemporary(slot);
  ok = out.Close() && ok;
  if (changed) return MetChange();
  if (!ownerKept) {
    // Not allowed to give the file its owner back: the old file is written
    // in place, which keeps it.
    *exactMode = false;
    return WriteInPlace(copy, dir, name, old);
  }
  if (!ok) return false;
  posix::NoteEntryReplaced(path);
  posix::NoteVolumeWritten(dir.fd(), dir.st().st_dev);
  return true;
}

// Writes the copy to path: a new file where nothing is, the file a symbolic
// link finally names where one is (the link stays), else a replacement of
// the file there. probe, when given, is what the caller's probe found under
// the destination's name: the copy holds to it and fails as a change met
// when the folder or the file is no longer the one examined.
bool Write(const Copy& copy, std::string path, const posix::Probe* probe, const char* destination) {
  std::string folder, name;
  for (int hop = 0; hop <= kMaxLinks; ++hop) {
    // A move onto this path held back for its batch is made first.
    if (posix::MoveHeld(path) && !posix::CompleteMoves()) return false;
    SplitPath(path, &folder, &name);
    posix::WriteFolder dir;
    if (!posix::OpenWriteFolder(folder, &dir)) {
      bool examined = probe != nullptr && hop == 0 && (probe->exists || probe->folder.Known());
      return examined ? MetChange() : false;
    }
    if (hop == 0 && probe != nullptr && probe->folder.Known() &&
        (probe->folder.device != dir.st().st_dev || probe->folder.inode != dir.st().st_ino)) {
      return MetChange();  // the folder examined is no longer at its path
    }
    posix::SweepLeftovers(dir.fd(), folder, dir.st().st_dev, dir.st().st_ino);
    // Probed missing a moment ago: written as new at once; a name taken
    // meanwhile (or a link to nothing, which the probe can't open) is
    // looked at below.
    if (hop == 0 && probe != nullptr && !probe->exists) {
      if (WriteNew(copy, dir, name, path)) {
        g_lastWritten.Set(destination, path, copy.Mode() & ~CreationMask());
        return true;
      }
      if (!t_metChange || ::lseek(copy.in, 0, SEEK_SET) != 0) return false;
      t_metChange = false;
    }
    struct stat st;
    if (::fstatat(dir.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) return false;
      if (probe != nullptr && probe->exists) return MetChange();  // the file examined is gone
      if (!WriteNew(copy, dir, name, path)) return false;
      g_lastWritten.Set(destination, path, copy.Mode() & ~CreationMask());
      return true;
    }
    if (S_ISLNK(st.st_mode)) {
      // The file the link names is written; the link stays.
      std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
      ssize_t n = ::readlinkat(dir.fd(), name.c_str(), link.data(), link.size());
      if (n <= 0 || static_cast<size_t>(n) >= link.size()) return false;
      link.resize(static_cast<size_t>(n));
      path = link[0] == '/' ? link : (folder.empty() ? link : folder + "/" + link);
      continue;
    }
    if (!S_ISREG(st.st_mode)) {
      errno = EISDIR;
      return false;
    }
    if (probe != nullptr && (!probe->exists || !SameFile(st, probe->st))) return MetChange();
    // A read-only destination is refused, decided from the mode bits: the
    // move would replace it, and root could write it anyway.
    if (!(st.st_mode & S_IWUSR)) {
      errno = EACCES;
      return false;
    }
    bool exactMode = true;
    if (!Replace(copy, dir, name, st, path, &exactMode)) return false;
    if (exactMode) g_lastWritten.Set(destination, path, st.st_mode & 07777);
    return true;
  }
  errno = ELOOP;
  return false;
}

}  // namespace

bool CopyOver(const char* source, const char* destination, FileHandle openSource) {
  return CopyOver(source, destination, openSource, nullptr);
}

bool CopyOver(const char* source, const char* destination, FileHandle openSource,
              CopyContents* contents) {
  Descriptor in(openSource != nullptr ? Fd(openSource) : -1);
  t_metChange = false;
  g_lastWritten.path.clear();
  Copy copy;
  copy.failAfter = g_failAfter.exchange(-1);
  copy.contents = contents;
  thread_local std::string to;  // kept for the thread: its room serves the next copy
  if (!posix::ToWrittenPath(destination, &to) || to.empty()) return false;
  if (in.get() < 0) {
    std::string from;
    if (!posix::ToNativePath(source, &from) || from.empty()) return false;
    in.reset(OpenAt(AT_FDCWD, from.c_str(), O_RDONLY | O_NONBLOCK));
  }
  copy.in = in.get();
  // The probe's open took the source's stat a moment ago.
  bool sourceKnown = copy.in >= 0 && posix::OpenedStat(copy.in, &copy.source);
  posix::ForgetOpenedStat(copy.in);
  if (!sourceKnown || !S_ISREG(copy.source.st_mode)) return false;

  // The file or absence that the probe of this destination found is the one
  // the copy acts on; without a probe, whatever is there now.
  thread_local posix::Probe probe;
  bool probed = posix::TakeProbe(to, &probe);
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt > 0 && ::lseek(copy.in, 0, SEEK_SET) != 0) return false;
    const std::string path = probed ? probe.found : posix::ResolvePathCase(to);
    if (Write(copy, path, probed ? &probe : nullptr, destination)) return true;
    if (!t_metChange) return false;
    // What was kept of the folder led the probe astray: the next look goes
    // by the path.
    std::string folder, name;
    SplitPath(path, &folder, &name);
    posix::ForgetFolder(folder);
    if (probed) return false;  // the caller decides again
    t_metChange = false;
  }
  return false;
}

bool SetNormalAttributes(const char* path) {
  std::string native;
  mode_t mode;
  if (path != nullptr && !g_lastWritten.path.empty() && g_lastWritten.text == path) {
    mode = g_lastWritten.mode;
    if (mode & S_IWUSR) {  // the usual case: nothing to change
      g_lastWritten.path.clear();
      return true;
    }
    native = g_lastWritten.path;
  } else {
    if (!posix::ToNativePath(path, &native)) return false;
    struct stat st;
    if (::stat(native.c_str(), &st) != 0) return false;
    mode = st.st_mode & 07777;
  }
  g_lastWritten.path.clear();
  if (mode & S_IWUSR) return true;  // nothing to change
  // A new file still waiting for its name is put in place first.
  if (posix::MoveHeld(native) && !posix::CompleteMoves()) return false;
  return ::chmod(native.c_str(), mode | S_IWUSR) == 0;
}

void FailNextCopyAfter(uint64_t bytes) { g_failAfter = static_cast<int64_t>(bytes); }

void OnNextNewFile(NewFileHook /*hook*/, void* /*context*/) {}

void OnNextCopyWritten(void (*hook)(void*), void* context) {
  g_writtenContext = context;
  g_writtenHook = hook;
}

bool CopyMetAChange() { return t_metChange; }

void BatchReplacingMoves(bool on) { g_batching = on; }

bool FlushCopies() {
  g_batching = false;
  bool moved = posix::CompleteMoves();
  return posix::FlushVolumes() && moved;
}

}  // namespace platform
