// Wine's registry files, from lines that Wine 8 wrote for `wine reg add` and
// `wine regedit` in a fresh prefix.
#include "platform/posix/registry/wine_registry.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"

namespace platform::posix {
namespace {

RegNode* Key(RegNode* node, std::initializer_list<const char*> path) {
  for (const char* name : path) node = node == nullptr ? nullptr : node->FindChild(name).get();
  return node;
}

std::string Data(RegNode* node, const char* name) {
  RegValue* v = node == nullptr ? nullptr : node->FindValue(name);
  return v == nullptr ? "<missing>" : std::to_string(v->type) + ":" + v->data;
}

// Byte strings with zeros in them.
std::string B(const char* text, size_t size) { return std::string(text, size); }

const char kWritten[] = R"(WINE REGISTRY Version 2
;; All keys relative to REGISTRY\\User\\S-1-5-21-0-0-0-1000

#arch=win32

[Software\\Hoshiumi\\Adventure] 1796657451
#time=1dd865ff1551502
"InstallDir"="C:\\Games\\\x661f\x6d77"

[Software\\Probe] 1796657532
#time=1dd8660210d1d94
@="default"
"b1"=hex:01,02,ff
"d1"=dword:0000002a
"e1"=str(2):"%SystemRoot%\\x"
"empty"=""
"m1"=str(7):"a\0b\0\x661f\0"
"n1"=hex(0):00,00
"q1"=hex(b):2a,00,00,00,00,00,00,00
"s1"="\x661fa1b"
"s2"="tab\tq\"uote back\\slash"
"s3"="line1\nline2\rx"
"\xff4e\xff41\xff4d\xff45\x661f\"[]="="x"

[Software\\Probe\\lower] 1796657532
#time=1dd8660210d2028
@=""

[Software\\Probe\\Sub \x661f\\\[x\]\\y"z] 1796657531
#time=1dd866020d084ba
"v"="deep"

[Software\\Probe2] 1796657552
#time=1dd86602d33f282
"big"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\
  17,18
"dflt"=hex(1):
"embedded"="ab\0cd"
"exp_noterm"=str(2):"%x%"
"oct"="\0017\0005\378\b\v\f x"
"HardwareId"=hex(7):72,00,6f,00,00,00,43,00,3a,00,00,00,00,00
)";

TEST(WineRegistry, ReadsWhatWineWrites) {
  // Control characters, DEL as it is, and characters above 0x7F that have
  // no code page 932 form (so the value is passed over).
  std::string text = kWritten;
  text +=
      "\"ctl\"=\"a\\1b\\ac\\ede\x7F"
      "e\\x0080f\\xe9g\\xffh\\x100i\"\n";
  RegNode root("", 0);
  ASSERT_TRUE(ParseWineRegistry(text, &root));

  // 星海 in code page 932: 0x90 0xAF 0x8A 0x43.
  RegNode* game = Key(&root, {"software", "HOSHIUMI", "Adventure"});
  EXPECT_EQ(Data(game, "installdir"), B("1:C:\\Games\\\x90\xAF\x8A\x43\0", 16));

  RegNode* probe = Key(&root, {"Software", "Probe"});
  EXPECT_EQ(Data(probe, ""), B("1:default\0", 10));
  EXPECT_EQ(Data(probe, "b1"), "3:\x01\x02\xFF");
  EXPECT_EQ(Data(probe, "d1"), B("4:\x2A\0\0\0", 6));
  EXPECT_EQ(Data(probe, "e1"), B("2:%SystemRoot%\\x\0", 17));
  EXPECT_EQ(Data(probe, "empty"), B("1:\0", 3));
  EXPECT_EQ(Data(probe, "m1"), B("7:a\0b\0\x90\xAF\0\0", 10));
  EXPECT_EQ(Data(probe, "n1"), B("0:\0\0", 4));
  EXPECT_EQ(Data(probe, "q1"), B("11:\x2A\0\0\0\0\0\0\0", 11));
  EXPECT_EQ(Data(probe, "s1"), B("1:\x90\xAF"
                                 "a1b\0",
                                 8));  // \x takes four digits at most
  EXPECT_EQ(Data(probe, "s2"), B("1:tab\tq\"uote back\\slash\0", 24));
  EXPECT_EQ(Data(probe, "s3"), B("1:line1\nline2\rx\0", 16));
  // Full-width ｎａｍｅ and 星, then "[]= in the value's name.
  EXPECT_EQ(Data(probe, "\x82\x8E\x82\x81\x82\x8D\x82\x85\x90\xAF\"[]="), B("1:x\0", 4));

  ASSERT_NE(Key(probe, {"LOWER"}), nullptr);
  EXPECT_EQ(Data(Key(probe, {"Sub \x90\xAF", "[x]", "y\"z"}), "v"), B("1:deep\0", 7));
  EXPECT_EQ(probe->ChildCount(), 2u);

  RegNode* probe2 = Key(&root, {"Software", "Probe2"});
  std::string big = "3:";
  for (char c = 0; c <= 0x18; ++c) big.push_back(c);
  EXPECT_EQ(Data(probe2, "big"), big);
  EXPECT_EQ(Data(probe2, "ctl"), "<missing>");
  EXPECT_EQ(Data(probe2, "dflt"), "1:");
  EXPECT_EQ(Data(probe2, "embedded"), B("1:ab\0cd\0", 8));
  EXPECT_EQ(Data(probe2, "exp_noterm"), B("2:%x%\0", 6));
  // Octal escapes take up to three digits, so Wine pads one that a digit follows.
  EXPECT_EQ(Data(probe2, "oct"), B("1:\x01"
                                   "7\0"
                                   "5\x1F"
                                   "8\b\v\f x\0",
                                   14));
  EXPECT_EQ(Data(probe2, "HardwareId"), B("7:ro\0C:\0\0", 9));
}

TEST(WineRegistry, PassesOverWhatItCannotRead) {
  // 😀 has no code page 932 form; neither the key nor the value named with it
  // can be reached by an ANSI call, and the rest of the file stays usable.
  const char* text =
      "WINE REGISTRY Version 2\n"
      "[Software\\\\Bad\\xd83d\\xde00] 1\n"
      "\"v\"=\"lost\"\n"
      "[Software\\\\Good] 1\n"
      "\"emoji\"=\"\\xd83d\\xde00\"\n"
      "\"lone\"=\"a\\xd800b\"\n"
      "\"unclosed\"=\"abc\n"
      "\"badhex\"=hex:01,zz,\\\n"
      "  \"not\"=\"a value\"\n"
      "\"nine\"=dword:123456789\n"
      "\"what\"=something\n"
      "garbage line\n"
      "[Software\\\\Good\\\\\\\\Empty name] 1\n"
      "\"x\"=\"lost too\"\n"
      "[Software\\\\Good] 1\n"
      "\"kept\"=\"yes\"\r\n";
  RegNode root("", 0);
  ASSERT_TRUE(ParseWineRegistry(text, &root));
  RegNode* software = Key(&root, {"Software"});
  ASSERT_NE(software, nullptr);
  EXPECT_EQ(software->ChildCount(), 1u);
  RegNode* good = Key(software, {"Good"});
  ASSERT_NE(good, nullptr);
  ASSERT_EQ(good->values().size(), 1u);
  EXPECT_EQ(Data(good, "kept"), B("1:yes\0", 6));
  EXPECT_TRUE(good->ChildCount() == 0);

  // Not a Wine registry file at all: nothing is added.
  RegNode other("", 0);
  EXPECT_FALSE(
      ParseWineRegistry("Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X]\n", &other));
  EXPECT_FALSE(ParseWineRegistry("", &other));
  EXPECT_TRUE(other.ChildCount() == 0);
}

}  // namespace
}  // namespace platform::posix
