// The copy of one file over another (CopyOver), kept apart from the rest of
// the folder and file operations.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <string>

#include "platform/fs.h"
#include "platform/posix/cp932.h"

namespace platform {
namespace {

// Next copy to fail after this many bytes; negative when none is to fail.
std::atomic<int64_t> g_failAfter{-1};

// Closes a descriptor and removes the temporary file unless it was kept.
class TempFile {
 public:
  ~TempFile() {
    if (m_fd >= 0) ::close(m_fd);
    if (!m_path.empty()) ::unlink(m_path.c_str());
  }
  // Creates a new file next to destination with a name of its own.
  bool Create(const std::string& destination) {
    static std::atomic<unsigned> counter{0};
    static const std::string pid = std::to_string(::getpid());
    size_t slash = destination.rfind('/');
    std::string folder = slash == std::string::npos ? "" : destination.substr(0, slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string path =
          folder + ".~vx" + pid + "." + std::to_string(counter.fetch_add(1)) + ".tmp";
      m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (m_fd >= 0) {
        m_path = path;
        return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }
  int fd() const { return m_fd; }
  const std::string& path() const { return m_path; }
  bool Close() {
    int fd = m_fd;
    m_fd = -1;
    return ::close(fd) == 0;
  }
  // The file now lives under another name: nothing to remove.
  void Keep() { m_path.clear(); }

 private:
  int m_fd = -1;
  std::string m_path;
};

class Descriptor {
 public:
  explicit Descriptor(int fd) : m_fd(fd) {}
  ~Descriptor() {
    if (m_fd >= 0) ::close(m_fd);
  }
  int get() const { return m_fd; }

 private:
  int m_fd;
};

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

// Copies the rest of in to out, at most limit bytes; true at the end of in.
// The kernel copies without a round trip through user space where it can.
bool CopyContents(int in, int out, uint64_t limit, uint64_t* copied) {
  *copied = 0;
  bool kernelCopy = true;
  std::unique_ptr<char[]> buffer;
  constexpr size_t kChunk = 1 << 20;
  constexpr size_t kKernelChunk = size_t{1} << 30;
  for (;;) {
    size_t want = static_cast<size_t>(
        std::min<uint64_t>(kernelCopy ? kKernelChunk : kChunk, limit - *copied));
    if (want == 0) {
      // The limit is reached: at the end of in only if nothing is left.
      char probe;
      ssize_t n;
      do n = ::read(in, &probe, 1);
      while (n < 0 && errno == EINTR);
      return n == 0;
    }
    ssize_t n;
    if (kernelCopy) {
      n = ::copy_file_range(in, nullptr, out, nullptr, want, 0);
      if (n < 0 && *copied == 0 &&
          (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
           errno == EBADF)) {
        kernelCopy = false;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
    } else {
      if (!buffer) buffer.reset(new char[kChunk]);
      n = ::read(in, buffer.get(), std::min(want, kChunk));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      if (n > 0 && !WriteAll(out, buffer.get(), static_cast<size_t>(n))) return false;
    }
    if (n == 0) return true;
    *copied += static_cast<uint64_t>(n);
  }
}

}  // namespace

bool CopyOver(const char* source, const char* destination) {
  int64_t failAfter = g_failAfter.exchange(-1);
  std::string from, to;
  if (!posix::ToNativePath(source, &from) || !posix::ToNativePath(destination, &to) ||
      from.empty() || to.empty()) {
    return false;
  }
  // A read-only destination is refused, decided from the mode bits: the
  // rename below would replace it, and root could write it anyway.
  struct stat st;
  if (::stat(to.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || !(st.st_mode & S_IWUSR))) {
    return false;
  }
  Descriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat src;
  if (in.get() < 0 || ::fstat(in.get(), &src) != 0 || S_ISDIR(src.st_mode)) return false;
  ::posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

  TempFile temp;
  if (!temp.Create(to)) return false;
  uint64_t limit = failAfter < 0 ? UINT64_MAX : static_cast<uint64_t>(failAfter);
  uint64_t copied = 0;
  // A file system that shares blocks between files (reflinks) copies at once.
  bool cloned = failAfter < 0 && ::ioctl(temp.fd(), FICLONE, in.get()) == 0;
  if (!cloned && !CopyContents(in.get(), temp.fd(), limit, &copied)) return false;
  if (failAfter >= 0) return false;  // the failure that a test asked for
  const timespec times[2] = {src.st_atim, src.st_mtim};
  if (::fchmod(temp.fd(), src.st_mode & 07777) != 0 || ::futimens(temp.fd(), times) != 0 ||
      !temp.Close()) {
    return false;
  }
  if (::rename(temp.path().c_str(), to.c_str()) != 0) return false;
  temp.Keep();
  return true;
}

void FailNextCopyAfter(uint64_t bytes) { g_failAfter = static_cast<int64_t>(bytes); }

}  // namespace platform
