#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <string>

#include "platform/text.h"

namespace {

int Format(char* out, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int n = platform::FormatV(out, fmt, args);
  va_end(args);
  return n;
}

TEST(PlatformText, CodePage932LeadBytes) {
  // The literal is compiled to code page 932: 表 is 0x95 0x5C.
  const char* hyo = "表";
  ASSERT_EQ(std::strlen(hyo), 2u);
  EXPECT_EQ(static_cast<unsigned char>(hyo[0]), 0x95);
  EXPECT_EQ(static_cast<unsigned char>(hyo[1]), 0x5C);
  EXPECT_TRUE(platform::IsLeadByte(0x81));
  EXPECT_TRUE(platform::IsLeadByte(0x9F));
  EXPECT_TRUE(platform::IsLeadByte(0xE0));
  EXPECT_TRUE(platform::IsLeadByte(0xFC));
  EXPECT_FALSE(platform::IsLeadByte(0x80));
  EXPECT_FALSE(platform::IsLeadByte(0xA0));  // half-width katakana
  EXPECT_FALSE(platform::IsLeadByte(0xDF));
  EXPECT_FALSE(platform::IsLeadByte('\\'));
}

TEST(PlatformText, FormatCutsAt1023Characters) {
  char out[platform::kFormatAreaSize];
  std::string longText(3000, 'x');
  EXPECT_EQ(Format(out, "%s\\%s", "C:\\dir", "file"), 11);
  EXPECT_STREQ(out, "C:\\dir\\file");
  EXPECT_EQ(Format(out, "<%s>", longText.c_str()), 1023);
  EXPECT_EQ(std::strlen(out), 1023u);
  EXPECT_EQ(out[0], '<');
}

TEST(PlatformText, CompareNoCaseFoldsAsciiOnly) {
  EXPECT_EQ(platform::CompareNoCase("Update.LST", "update.lst"), 0);
  EXPECT_NE(platform::CompareNoCase("abc", "abd"), 0);
  // 0x83 0x61 and 0x83 0x41 are two different katakana: never folded alike.
  EXPECT_NE(platform::CompareNoCase("\x83\x61", "\x83\x41"), 0);
}

}  // namespace

#ifdef _WIN32
#include <windows.h>
TEST(PlatformText, WindowsTestsRunWithCodePage932) {
  // Without the Japanese locale Wine falls back to 1252 and every
  // double-byte test would prove nothing.
  EXPECT_EQ(GetACP(), 932u);
}
#endif
