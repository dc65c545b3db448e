#include "platform/text.h"

#include <windows.h>

#include <cstring>

namespace platform {
namespace internal {

unsigned char g_leadBytes[256] = {};

}  // namespace internal

void InitCodePage() {
  // The lead-byte ranges of the process's ANSI code page, read once.
  CPINFO info;
  std::memset(internal::g_leadBytes, 0, sizeof(internal::g_leadBytes));
  if (!GetCPInfo(CP_ACP, &info)) return;
  for (int i = 0; i + 1 < MAX_LEADBYTES && info.LeadByte[i] != 0; i += 2) {
    for (int c = info.LeadByte[i]; c <= info.LeadByte[i + 1]; ++c) internal::g_leadBytes[c] = 1;
  }
}

namespace {
const bool g_codePageReady = (InitCodePage(), true);
}  // namespace

int FormatV(char* out, const char* fmt, va_list args) {
  // wvsprintfA writes up to 1024 bytes and may leave no terminator when the
  // output is cut; a private area one byte larger always ends in zero.
  char area[kFormatAreaSize + 1] = {};
  wvsprintfA(area, fmt, args);
  int n = lstrlenA(area);
  if (n > kFormatAreaSize - 1) n = kFormatAreaSize - 1;
  std::memcpy(out, area, static_cast<size_t>(n));
  out[n] = '\0';
  return n;
}

int CompareNoCase(const char* a, const char* b) { return lstrcmpiA(a, b); }

}  // namespace platform
