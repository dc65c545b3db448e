#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>
#include <string>

#include "platform/posix/files/moves.h"
#include "platform/posix/files/path_case.h"
#include "platform/posix/files/reading.h"
#include "platform/posix/text/cp932.h"

namespace platform {
namespace {

// A handle is the descriptor plus one, so that descriptor 0 is not nullptr.
int Fd(FileHandle file) { return static_cast<int>(reinterpret_cast<intptr_t>(file)) - 1; }

// Opening a FIFO for reading waits for a writer, and reading a device may
// wait for ever: the open does not wait, and the caller keeps only a regular
// file. The no-wait flag stays on it: a regular file's reads ignore it on
// Linux, and a read that a file system of its own turns away for it clears
// it then (see ClearNoWait).
int OpenReading(const std::string& path) {
  int fd;
  bool released = false;
  for (;;) {
    fd = posix::OpenInFolder(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0);
    if (fd >= 0 || errno == EINTR) {
      if (fd >= 0) return fd;
      continue;
    }
    // Descriptors kept for speed never make an open fail.
    if ((errno != EMFILE && errno != ENFILE) || released) return fd;
    posix::ReleaseKeptDescriptors();
    released = true;
  }
}

// Opens path for reading as written, else in another letter case; -1 when
// it can't be opened. *probe records what was found where. Allocations may
// throw; no descriptor is open then.
int OpenAnyCase(const char* path, posix::Probe* probe) {
  std::string& native = probe->written;
  if (!posix::ToWrittenPath(path, &native) || native.empty()) {
    native.clear();
    return -1;
  }
  probe->found = native;
  // A move onto the file held back for its batch is made first.
  if (posix::MoveHeld(native)) posix::CompleteMoves();
  // The name as written is always asked of the file system itself, never
  // of a kept listing: a file that is there is never taken for missing.
  int fd = OpenReading(native);
  if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) {
    // Not there as written: perhaps in another letter case.
    posix::ResolvePathCaseInPlace(&probe->found, &probe->folder);
    if (probe->found != native) {
      if (posix::MoveHeld(probe->found)) posix::CompleteMoves();
      fd = OpenReading(probe->found);
    }
  }
  return fd;
}

}  // namespace

FileHandle OpenExisting(const char* path, Share /*share*/) {
  // Linux has no mandatory sharing: an exclusive open is an ordinary one.
  // Without memory for the path's lookup the file does not open; nothing throws.
  int fd;
  posix::Probe* probe = posix::NextProbe();
  try {
    fd = OpenAnyCase(path, probe);
  } catch (const std::bad_alloc&) {
    probe->written.clear();
    return nullptr;
  }
  if (fd < 0) {
    // Only a name that is not there is known absent; one that can't be
    // opened for another reason is not known either way.
    if (errno != ENOENT && errno != ENOTDIR) probe->written.clear();
    return nullptr;
  }
  struct stat& st = probe->st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  probe->exists = true;
  posix::NoteOpenedStat(fd, st);
  return reinterpret_cast<FileHandle>(static_cast<intptr_t>(fd) + 1);
}

bool ReadBytes(FileHandle file, void* dest, uint32_t count, uint32_t* done) {
  *done = 0;
  if (file == nullptr) return false;
  char* p = static_cast<char*>(dest);
  uint32_t total = 0;
  // ReadFile on a disk file returns everything asked for up to the end.
  while (total < count) {
    ssize_t n = ::read(Fd(file), p + total, count - total);
    if (n < 0) {
      if (errno == EINTR || (errno == EAGAIN && posix::ClearNoWait(Fd(file)))) continue;
      return false;
    }
    if (n == 0) break;
    total += static_cast<uint32_t>(n);
  }
  *done = total;
  return true;
}

bool FileSize(FileHandle file, uint64_t* size) {
  struct stat st;
  if (file == nullptr || !posix::OpenedStat(Fd(file), &st)) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool Seek(FileHandle file, int64_t distance, SeekFrom from) {
  if (file == nullptr) return false;
  off_t base = 0;
  if (from == SeekFrom::kEnd) {
    struct stat st;
    if (::fstat(Fd(file), &st) != 0) return false;
    base = st.st_size;
  }
  int64_t target = static_cast<int64_t>(base) + distance;
  if (target < 0) return false;
  return ::lseek(Fd(file), static_cast<off_t>(target), SEEK_SET) == static_cast<off_t>(target);
}

void CloseFileHandle(FileHandle file) {
  if (file == nullptr) return;
  posix::ForgetOpenedStat(Fd(file));
  ::close(Fd(file));
}

}  // namespace platform
