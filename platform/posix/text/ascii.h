// Whether text is plain ASCII, the same bytes in UTF-8 and code page 932.
#ifndef VX_PLATFORM_POSIX_TEXT_ASCII_H_
#define VX_PLATFORM_POSIX_TEXT_ASCII_H_

#include <cstdint>
#include <cstring>
#include <string_view>

namespace platform::posix {

// True when no byte of text has its high bit set; eight bytes at a time.
inline bool IsAscii(std::string_view text) {
  uint64_t high = 0;
  size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof(word));
    high |= word;
  }
  for (; i < text.size(); ++i) high |= static_cast<unsigned char>(text[i]);
  return (high & 0x8080808080808080ULL) == 0;
}

}  // namespace platform::posix

#endif  // VX_PLATFORM_POSIX_TEXT_ASCII_H_
