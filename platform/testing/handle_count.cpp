#include "platform/testing/handle_count.h"

#ifdef _WIN32
#include <windows.h>

#include <cstdint>
#else
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#endif

namespace platform {

int OpenHandleCount() {
#ifdef _WIN32
  DWORD count = 0;
  if (!GetProcessHandleCount(GetCurrentProcess(), &count)) return -1;
  if (count > 0) return static_cast<int>(count);
  // Wine answers 0 whatever is open: count the handle values (multiples of
  // 4, given out lowest first) that name an open handle instead.
  int open = 0;
  for (uintptr_t value = 4; value < 4 * 4096; value += 4) {
    DWORD flags;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++open;
  }
  return open;
#else
  // The listing's own descriptor is counted on every call alike. Folders
  // are not counted, nor the inotify instance: the platform keeps the
  // folders it reads and writes many files in open, and watches the folders
  // whose names it keeps, by design and within bounds.
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    struct stat st;
    if (entry->d_name[0] == '.') continue;
    if (::fstatat(::dirfd(dir), entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode) &&
        ::atoi(entry->d_name) != ::dirfd(dir)) {
      continue;
    }
    char target[32] = {};
    if (::readlinkat(::dirfd(dir), entry->d_name, target, sizeof(target) - 1) > 0 &&
        std::strcmp(target, "anon_inode:inotify") == 0) {
      continue;
    }
    ++count;
  }
  ::closedir(dir);
  return count;
#endif
}

}  // namespace platform
