// Text services of the platform: the code page's lead bytes, printf-style
// formatting into the fixed work area, and case-blind name comparison.
// All text is code page 932 bytes.
#ifndef VX_PLATFORM_TEXT_H_
#define VX_PLATFORM_TEXT_H_

#include <cstdarg>
#include <cstddef>

namespace platform {

namespace internal {
// One byte per byte value: non-zero for the lead bytes of the code page in
// force. Filled before main runs (Windows: from the process's ANSI code page).
extern unsigned char g_leadBytes[256];
}  // namespace internal

// Fixes the lead-byte table from the process's ANSI code page. It runs once
// before main on its own; calling it again re-reads the code page.
void InitCodePage();

// True when c starts a double-byte character in the process's code page.
inline bool IsLeadByte(unsigned char c) { return internal::g_leadBytes[c] != 0; }

// Size of the formatting work area, the terminating zero included.
constexpr int kFormatAreaSize = 1024;

// Formats fmt with args into out, which holds kFormatAreaSize bytes: at most
// 1023 characters and a terminator; longer output is cut there. Returns the
// number of characters written.
int FormatV(char* out, const char* fmt, va_list args);

// Compares two zero-terminated names without regard to case (<0, 0, >0).
// ASCII letters fold; a double-byte character compares whole.
int CompareNoCase(const char* a, const char* b);

}  // namespace platform

#endif  // VX_PLATFORM_TEXT_H_
