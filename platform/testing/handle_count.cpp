#include "platform/testing/handle_count.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#endif

namespace platform {

int OpenHandleCount() {
#ifdef _WIN32
  DWORD count = 0;
  return GetProcessHandleCount(GetCurrentProcess(), &count) ? static_cast<int>(count) : -1;
#else
  // The listing's own descriptor is counted on every call alike.
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
#endif
}

}  // namespace platform
