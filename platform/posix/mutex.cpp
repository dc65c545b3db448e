// The named mutex on Linux: a lock file <dir>/<name>.lock, where <dir> is
// $XDG_RUNTIME_DIR (else /tmp), held with an exclusive flock. A game, or a
// test playing one, holds the lock for as long as it runs. Anything but a
// regular file at the lock path means no mutex.
#include "platform/mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/posix/text/cp932.h"

namespace platform {
namespace {

bool LockFilePath(const char* name, std::string* path) {
  std::string utf8;
  if (name == nullptr || !posix::Cp932ToUtf8(name, &utf8)) return false;
  std::replace(utf8.begin(), utf8.end(), '/', '_');
  const char* dir = std::getenv("XDG_RUNTIME_DIR");
  *path = (dir != nullptr && dir[0] != '\0') ? dir : "/tmp";
  *path += '/';
  *path += utf8;
  *path += ".lock";
  return true;
}

}  // namespace

MutexHandle CreateNamedMutex(const char* name, uint32_t* lastError) {
  *lastError = 0;
  std::string path;
  if (!LockFilePath(name, &path)) return nullptr;
  // Opened for reading: flock needs no more, so a lock file that another
  // user made (and may not let others write) serves every user alike. The
  // folder may be /tmp, where anyone can plant something in its place: the
  // open neither blocks (a FIFO) nor follows a link, and only a regular
  // file serves.
  int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    if (errno != EWOULDBLOCK) {
      ::close(fd);
      return nullptr;
    }
    // Another process holds the lock: the handle still comes back, as on
    // Windows, and says that the mutex existed.
    *lastError = kErrorAlreadyExists;
  }
  return reinterpret_cast<MutexHandle>(static_cast<intptr_t>(fd) + 1);
}

void CloseMutex(MutexHandle mutex) {
  if (mutex != nullptr) ::close(static_cast<int>(reinterpret_cast<intptr_t>(mutex)) - 1);
}

}  // namespace platform
