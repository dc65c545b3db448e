// What the last open of an existing file found under its path, for the copy
// that follows it: the file it examined, or that nothing was there.
#ifndef VX_PLATFORM_WIN32_PROBE_H_
#define VX_PLATFORM_WIN32_PROBE_H_

#include <windows.h>

namespace platform::win32 {

// Records that OpenExisting opened path as file (an open disk file), or,
// for INVALID_HANDLE_VALUE, that it failed with error: the copy of the same
// path text that follows then acts on that file or that absence.
void NoteProbe(const char* path, HANDLE file, DWORD error);

}  // namespace platform::win32

#endif  // VX_PLATFORM_WIN32_PROBE_H_
