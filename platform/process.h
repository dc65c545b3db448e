// Start-up hardening of the installer's process.
#ifndef VX_PLATFORM_PROCESS_H_
#define VX_PLATFORM_PROCESS_H_

namespace platform {

// Restricts where the process loads libraries from to the system folder, so
// that a library planted beside the installer (a patch is often started from a
// downloads folder) is never loaded. Windows only; a no-op elsewhere and on
// old Windows versions that lack the call.
void RestrictLibrarySearch();

}  // namespace platform

#endif  // VX_PLATFORM_PROCESS_H_
