// This folder: the Linux build's text. Code page 932 against UTF-8, the
// lead-byte and case rules, and the ASCII fast paths they share.
//
// Conversion between the system's code page 932 text and the UTF-8 that
// Linux file names, the terminal and the registry file use.
#ifndef VX_PLATFORM_POSIX_TEXT_CP932_H_
#define VX_PLATFORM_POSIX_TEXT_CP932_H_

#include <string>
#include <string_view>

namespace platform::posix {

// Converts code page 932 bytes to UTF-8. False when a byte sequence does not
// convert; *out is then unspecified.
bool Cp932ToUtf8(std::string_view in, std::string* out);

// Converts UTF-8 to code page 932. False when a character has no code page
// 932 form or the input is not UTF-8. A conversion counts only when the
// result converts back to the same UTF-8: iconv takes some look-alikes to
// the code of another character (U+301C WAVE DASH to 0x8160, which is
// U+FF5E), and such text would name another file, so it has no form here.
bool Utf8ToCp932(std::string_view in, std::string* out);

// As Cp932ToUtf8, but every byte sequence that does not convert becomes `?`:
// for showing text, never for names.
std::string Cp932ToUtf8Lossy(std::string_view in);

}  // namespace platform::posix

#endif  // VX_PLATFORM_POSIX_TEXT_CP932_H_
