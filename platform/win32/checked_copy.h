// The copy of a file as it stands, checked as it is written: the bytes of
// each piece are passed to CopyContents::Examine, on a thread of their own
// while the next piece is read and written, and the pieces examined are the
// very bytes written.
#ifndef VX_PLATFORM_WIN32_CHECKED_COPY_H_
#define VX_PLATFORM_WIN32_CHECKED_COPY_H_

#include <windows.h>

#include <string>

#include "platform/fs.h"

namespace platform::win32 {

// Copies from into the new file to (a name that must be free: fails with
// ERROR_FILE_EXISTS otherwise), with from's attributes and time stamps as
// the system's copy gives them, and checks it with contents: true only when
// every byte written was examined in order and Passed agrees (contents is
// ready for another file afterwards, whatever the answer). A failed check
// sets ERROR_WRITE_FAULT. What it wrote is left for the caller to remove.
bool CheckedCopy(const std::wstring& from, const std::wstring& to, CopyContents* contents);

}  // namespace platform::win32

#endif  // VX_PLATFORM_WIN32_CHECKED_COPY_H_
