// The pieces of text reading that the two registry file formats on Linux
// share: the registry editor's export format (registry_file.h) and Wine's
// own (wine_registry.h). Their quoted strings and hex lists differ, so
// those stay with each reader.
#ifndef VX_PLATFORM_POSIX_REGISTRY_REGISTRY_TEXT_H_
#define VX_PLATFORM_POSIX_REGISTRY_REGISTRY_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform::posix {

// The value of a hex digit, or -1 for any other character.
int HexDigit(char c);

// Parses 1 to max hex digits, the whole of s.
bool ParseHex(std::string_view s, size_t max, uint32_t* out);

// Whether the ANSI calls convert a value of this type to and from code page
// 932: REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ.
bool IsRegTextType(uint32_t type);

// Appends one UTF-16 code unit as two little-endian bytes.
void AppendUtf16Unit(uint32_t unit, std::string* utf16);

// Appends the well-formed UTF-8 sequence at the start of *s (which is not
// empty) as UTF-16LE and removes it from *s; false, with *s as it was, when
// the sequence is malformed or cut short.
bool TakeUtf8(std::string_view* s, std::string* utf16);

// The line of text that starts at *pos, without its line end (a line feed,
// or a carriage return and a line feed); moves *pos past it. False when
// *pos is at the end of text.
bool NextTextLine(std::string_view text, size_t* pos, std::string_view* line);

// `dword:` data: 1 to 8 hex digits, the whole of digits, as 4 little-endian
// bytes.
bool ParseDword(std::string_view digits, std::string* data);

// The start of hex data, `hex:` or `hex(t):` with t 1 to 8 hex digits, at
// the start of *s: *type gets t (REG_BINARY for `hex:`) and *s the rest
// after the colon.
bool TakeHexPrefix(std::string_view* s, uint32_t* type);

}  // namespace platform::posix

#endif  // VX_PLATFORM_POSIX_REGISTRY_REGISTRY_TEXT_H_
