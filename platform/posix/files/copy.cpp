// The copy of one file over another. A new destination is written under its
// own name; an existing one is replaced by a temporary file moved over it in
// one step, or written in place when its folder takes no new file.
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
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/fs.h"
#include "platform/posix/files/descriptor.h"
#include "platform/posix/files/path_case.h"
#include "platform/posix/files/reading.h"
#include "platform/posix/text/cp932.h"

namespace platform {
namespace {

int Fd(FileHandle file) { return static_cast<int>(reinterpret_cast<intptr_t>(file)) - 1; }

// Next copy to fail after this many bytes; negative when none is to fail.
std::atomic<int64_t> g_failAfter{-1};

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

int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do fd = ::open(path, flags | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

// The folder part of path, with its trailing slash; "" for a bare name.
std::string_view FolderView(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
}

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

// One copy: the open source, what its stat said, and the failure a test
// asked for.
struct Copy {
  int in;
  struct stat source;
  int64_t failAfter;

  mode_t Mode() const { return source.st_mode & 07777; }
  bool Failing() const { return failAfter >= 0; }

  // Copies the source's contents into out at out's position; *copied gets
  // the bytes written. The kernel copies without a round trip through user
  // space where it can. The size the stat gave is copied, or less if the
  // file shrank meanwhile.
  bool Contents(int out, uint64_t* copied) const {
    *copied = 0;
    uint64_t size = static_cast<uint64_t>(source.st_size);
    uint64_t limit = Failing() ? std::min(size, static_cast<uint64_t>(failAfter)) : size;
    bool kernelCopy = true;
    std::unique_ptr<char[]> buffer;
    constexpr size_t kChunk = 1 << 20;
    constexpr size_t kKernelChunk = size_t{1} << 30;
    while (*copied < limit) {
      size_t want = static_cast<size_t>(
          std::min<uint64_t>(kernelCopy ? kKernelChunk : kChunk, limit - *copied));
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
    }
    return !Failing();  // the failure that a test asked for
  }

  // Fills out, a new empty file in folder, with the source's contents,
  // permission bits and times.
  bool Fill(int out, std::string_view folder) const {
    uint64_t copied = 0;
    bool cloned = false;
    if (!Failing() && source.st_size > 0 && !Refusals().Known(source.st_dev, folder)) {
      cloned = ::ioctl(out, FICLONE, in) == 0;
      if (!cloned) Refusals().Remember(source.st_dev, folder, errno);
    }
    if (!cloned) {
      if (source.st_size >= kAdviseFrom) ::posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
      if (!Contents(out, &copied)) return false;
    }
    // The file was made with the source's bits; the process's mask may
    // have taken some away.
    if ((Mode() & ~CreationMask()) != Mode() && ::fchmod(out, Mode()) != 0) return false;
    const timespec times[2] = {source.st_atim, source.st_mtim};
    return ::futimens(out, times) == 0;
  }
};

// Writes a destination that did not exist and was just made (fd): on any
// failure it is removed again, so nothing is left behind.
bool WriteNew(const Copy& copy, int fd, const std::string& path) {
  Descriptor out(fd);
  posix::NoteNewEntry(path);
  bool ok = copy.Fill(out.get(), FolderView(path));
  ok = out.Close() && ok;
  if (!ok) {
    ::unlink(path.c_str());
    posix::NoteEntryRemoved(path);
  }
  return ok;
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

// Writes the copy onto the existing file at path itself, as a plain copy
// does, once the volume has room for the whole new file. Used where the
// folder takes no new file; a failure here can spoil the old contents, so
// it starts only when the room is there. The room asked for does not count
// the blocks the old file holds: a copy-on-write file system writes new
// blocks before it lets the old ones go, and they may be shared with other
// files. The time stamp and permission bits are set where the process may
// set them (another user may own the file).
bool WriteInPlace(const Copy& copy, const std::string& path) {
  Descriptor out(OpenRetrying(path.c_str(), O_WRONLY));
  struct statvfs volume;
  struct stat old;
  if (out.get() < 0 || ::fstatvfs(out.get(), &volume) != 0 || ::fstat(out.get(), &old) != 0) {
    return false;
  }
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
  ::fchmod(out.get(), copy.Mode());
  const timespec times[2] = {copy.source.st_atim, copy.source.st_mtim};
  ::futimens(out.get(), times);
  return out.Close();
}

// Replaces the existing file at path by a copy written under a temporary
// name in its folder and moved over it in one step.
// *exactMode turns false when the file was written in place and may have
// kept permission bits of its own.
bool Replace(const Copy& copy, const std::string& path, bool* exactMode) {
  static std::atomic<unsigned> counter{0};
  static const std::string pid = std::to_string(::getpid());
  const std::string folder(FolderView(path));
  std::string temp;
  Descriptor out;
  for (int attempt = 0; attempt < 100 && out.get() < 0; ++attempt) {
    temp = folder + ".~vx" + pid + "." + std::to_string(counter.fetch_add(1)) + ".tmp";
    out.reset(OpenRetrying(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, copy.Mode()));
    if (out.get() < 0 && errno != EEXIST) {
      // The folder takes no new file, but the file itself may be written.
      if (errno == EACCES || errno == EPERM) {
        *exactMode = false;
        return WriteInPlace(copy, path);
      }
      return false;
    }
  }
  if (out.get() < 0) return false;  // every name taken: none of them is ours
  bool ok = copy.Fill(out.get(), folder);
  ok = out.Close() && ok;
  ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
  if (ok) {
    posix::NoteEntryReplaced(path);
  } else {
    ::unlink(temp.c_str());
    posix::NoteEntryRemoved(temp);
  }
  return ok;
}

// Follows path through symbolic links to the file they finally name, which
// need not exist; *st gets its stat, or st_mode 0 when there is none. seen,
// when not null, is path's own lstat taken a moment ago.
bool FollowLinks(std::string path, std::string* target, struct stat* st, const struct stat* seen) {
  for (int hop = 0; hop <= kMaxLinks; ++hop) {
    if (hop == 0 && seen != nullptr) {
      *st = *seen;
    } else if (::lstat(path.c_str(), st) != 0) {
      if (errno != ENOENT) return false;
      st->st_mode = 0;
      *target = std::move(path);
      return true;
    }
    if (!S_ISLNK(st->st_mode)) {
      *target = std::move(path);
      return true;
    }
    std::string link(static_cast<size_t>(st->st_size > 0 ? st->st_size : 255) + 1, '\0');
    ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
    if (n < 0 || static_cast<size_t>(n) >= link.size()) return false;
    link.resize(static_cast<size_t>(n));
    path = link[0] == '/' ? link : std::string(FolderView(path)) + link;
  }
  errno = ELOOP;
  return false;
}

}  // namespace

bool CopyOver(const char* source, const char* destination, FileHandle openSource) {
  Descriptor in(openSource != nullptr ? Fd(openSource) : -1);
  g_lastWritten.path.clear();
  Copy copy;
  copy.failAfter = g_failAfter.exchange(-1);
  thread_local std::string to;  // kept for the thread: its room serves the next copy
  if (!posix::ToNativePath(destination, &to) || to.empty()) return false;
  if (in.get() < 0) {
    std::string from;
    if (!posix::ToNativePath(source, &from) || from.empty()) return false;
    in.reset(OpenRetrying(from.c_str(), O_RDONLY | O_NONBLOCK));
  }
  copy.in = in.get();
  // The probe's open took the source's stat a moment ago.
  bool sourceKnown = copy.in >= 0 && posix::OpenedStat(copy.in, &copy.source);
  posix::ForgetOpenedStat(copy.in);
  if (!sourceKnown || !S_ISREG(copy.source.st_mode)) return false;

  // A destination that does not exist yet: nothing can be lost. One that
  // the letter-case lookup found a moment ago is not tried as a new one.
  struct stat seen;
  bool known = posix::RecentlySeen(to, &seen);
  int fd;
  if (!known) {
    do fd = posix::OpenInFolder(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, copy.Mode());
    while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      if (!WriteNew(copy, fd, to)) return false;
      g_lastWritten.Set(destination, to, copy.Mode());
      return true;
    }
    if (errno != EEXIST) return false;
  }

  // It exists, perhaps as a link: the file it finally names is replaced.
  std::string target;
  struct stat st;
  if (!FollowLinks(to, &target, &st, known ? &seen : nullptr)) return false;
  if (st.st_mode == 0) {  // a link to nothing yet
    fd = OpenRetrying(target.c_str(), O_WRONLY | O_CREAT | O_EXCL, copy.Mode());
    return fd >= 0 && WriteNew(copy, fd, target);
  }
  // A read-only destination is refused, decided from the mode bits: the
  // move would replace it, and root could write it anyway.
  if (!S_ISREG(st.st_mode) || !(st.st_mode & S_IWUSR)) {
    errno = EACCES;
    return false;
  }
  bool exactMode = true;
  if (!Replace(copy, target, &exactMode)) return false;
  if (exactMode) g_lastWritten.Set(destination, to, copy.Mode());
  return true;
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
  return ::chmod(native.c_str(), mode | S_IWUSR) == 0;
}

void FailNextCopyAfter(uint64_t bytes) { g_failAfter = static_cast<int64_t>(bytes); }

void OnNextNewFile(NewFileHook /*hook*/, void* /*context*/) {}

}  // namespace platform
