// Conversion between the system's code page 932 text and the UTF-8 that
// Linux file names, the terminal and the registry file use.
#ifndef VX_PLATFORM_POSIX_CP932_H_
#define VX_PLATFORM_POSIX_CP932_H_

#include <string>
#include <string_view>

namespace platform::posix {

// Converts code page 932 bytes to UTF-8. False when a byte sequence does not
// convert; *out is then unspecified.
bool Cp932ToUtf8(std::string_view in, std::string* out);

// Converts UTF-8 to code page 932. False when a character has no code page
// 932 form or the input is not UTF-8.
bool Utf8ToCp932(std::string_view in, std::string* out);

// As Cp932ToUtf8, but every byte sequence that does not convert becomes `?`:
// for showing text, never for names.
std::string Cp932ToUtf8Lossy(std::string_view in);

// Turns a code page 932 path into a Linux path: converted to UTF-8 first,
// then every backslash becomes `/` (so the second byte of a double-byte
// character is never taken for a separator). In Wine prefix mode a drive
// path (`C:\...`) then starts at the drive's folder of the prefix and goes
// down with letter case as Windows has it (see wine_prefix.h). False when it
// does not convert, or names a drive that the prefix does not map.
bool ToNativePath(const char* path, std::string* out);

}  // namespace platform::posix

#endif  // VX_PLATFORM_POSIX_CP932_H_
