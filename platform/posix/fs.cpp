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

#include "platform/posix/cp932.h"
#include "platform/posix/path_case.h"
#include "platform/posix/wildcard.h"

namespace platform {
namespace {

int Fd(FileHandle file) { return static_cast<int>(reinterpret_cast<intptr_t>(file)) - 1; }

// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDelta = 11644473600LL;

struct Search {
  std::vector<FoundEntry> entries;
  size_t next = 0;
};

// The attributes of a folder's entry as a search reports them (a link as
// what it points to, a dangling one as a file); false for what a Windows
// folder never holds: a FIFO, a socket or a device, or a link to one.
bool ListedAttributes(const std::string& path, unsigned char type, uint32_t* attributes) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 && ::lstat(path.c_str(), &st) != 0) {
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

uint32_t WorkingDirectory(char* buffer, uint32_t size) {
  if (size > 0) buffer[0] = '\0';
  std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
  std::string text;
  if (!cwd || !posix::Utf8ToCp932(cwd.get(), &text) || text.empty()) return 0;
  if (text.size() + 1 > size) return static_cast<uint32_t>(text.size() + 1);
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<uint32_t>(text.size());
}

SearchHandle StartSearch(const char* pattern, FoundEntry* entry) {
  std::string folder, wanted;
  if (!posix::ToNativePattern(pattern, &folder, &wanted) || wanted.empty()) return nullptr;

  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return nullptr;
  std::vector<std::pair<std::string, FoundEntry>> found;
  while (dirent* d = ::readdir(dir)) {
    std::string name = d->d_name;
    std::string text;
    if (!posix::WildcardMatch(wanted, name)) continue;
    if (!posix::Utf8ToCp932(name, &text) || text.size() >= kPathAreaSize) continue;
    FoundEntry e;
    if (!ListedAttributes(folder + name, d->d_type, &e.m_attributes)) continue;
    std::memcpy(e.m_name, text.c_str(), text.size() + 1);
    found.emplace_back(std::move(name), e);
  }
  ::closedir(dir);
  if (found.empty()) return nullptr;
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return posix::NameBefore(a.first, b.first); });
  auto* search = new Search;
  for (auto& f : found) search->entries.push_back(f.second);
  *entry = search->entries[0];
  search->next = 1;
  return search;
}

bool ContinueSearch(SearchHandle handle, FoundEntry* entry) {
  auto* search = static_cast<Search*>(handle);
  if (search == nullptr || search->next >= search->entries.size()) return false;
  *entry = search->entries[search->next++];
  return true;
}

void EndSearch(SearchHandle handle) { delete static_cast<Search*>(handle); }

bool LastWriteTime(FileHandle file, uint64_t* time) {
  struct stat st;
  if (file == nullptr || ::fstat(Fd(file), &st) != 0) return false;
  int64_t ticks = (static_cast<int64_t>(st.st_mtim.tv_sec) + kEpochDelta) * 10000000LL +
                  st.st_mtim.tv_nsec / 100;
  *time = ticks < 0 ? 0 : static_cast<uint64_t>(ticks);
  return true;
}

bool IsDirectory(const char* path) {
  std::string native;
  struct stat st;
  return posix::ToNativePath(path, &native) && !native.empty() &&
         ::stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateFoldersOf(const char* path) {
  std::string native;
  if (!posix::ToNativePath(path, &native)) return false;
  for (size_t i = native.find('/', 1); i != std::string::npos; i = native.find('/', i + 1)) {
    if (native[i - 1] == '/') continue;
    std::string folder = native.substr(0, i);
    if (::mkdir(folder.c_str(), 0777) == 0) continue;
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  }
  return true;
}

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

bool SetNormalAttributes(const char* path) {
  std::string native;
  struct stat st;
  if (!posix::ToNativePath(path, &native) || ::stat(native.c_str(), &st) != 0) return false;
  return ::chmod(native.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

void FailNextCopyAfter(uint64_t bytes) { g_failAfter = static_cast<int64_t>(bytes); }

}  // namespace platform
