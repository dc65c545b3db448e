#include "platform/process.h"

#include <windows.h>

namespace platform {

void RestrictLibrarySearch() {
  // Looked up at run time: systems before Windows 8 without the update that
  // adds it lack SetDefaultDllDirectories.
  using SetDirs = BOOL(WINAPI*)(DWORD);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return;
  auto set = reinterpret_cast<SetDirs>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (set != nullptr) set(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace platform
