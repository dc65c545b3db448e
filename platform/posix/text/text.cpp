#include "platform/text.h"

#include <cstdio>

namespace platform {
namespace internal {

// Code page 932: lead bytes 0x81 to 0x9F and 0xE0 to 0xFC.
unsigned char g_leadBytes[256] = {};

}  // namespace internal

void InitCodePage() {
  for (int c = 0; c < 256; ++c) {
    internal::g_leadBytes[c] = (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
  }
}

namespace {
const bool g_codePageReady = (InitCodePage(), true);
}  // namespace

int FormatV(char* out, const char* fmt, va_list args) {
  int n = std::vsnprintf(out, kFormatAreaSize, fmt, args);
  if (n < 0) {
    out[0] = '\0';
    return 0;
  }
  return n < kFormatAreaSize ? n : kFormatAreaSize - 1;
}

int CompareNoCase(const char* a, const char* b) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* q = reinterpret_cast<const unsigned char*>(b);
  auto fold = [](unsigned char c) -> unsigned char {
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 0x20) : c;
  };
  for (;;) {
    if (IsLeadByte(*p) && p[1] != 0 && *p == *q) {
      // A double-byte character compares whole; its second byte never folds.
      if (p[1] != q[1]) return p[1] < q[1] ? -1 : 1;
      p += 2;
      q += 2;
      continue;
    }
    unsigned char x = fold(*p);
    unsigned char y = fold(*q);
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
    ++p;
    ++q;
  }
}

}  // namespace platform
