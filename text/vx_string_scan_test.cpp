// The line cursor, the tokenizer, Find, Trim and the order of CVxString on
// the texts that decide what the update list reader sees, code page 932
// double-byte characters included.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/vx_string.h"

namespace {

using Strings = std::vector<std::string>;

std::string Text(CVxString s) { return s.GetBuffer(); }

// Every line, walked the way the update list reader walks a text.
Strings Lines(const char* text) {
  CVxString s(text);
  Strings lines;
  for (CVxString line = s.GetFirstLine(); !s.IsLineEnd(); line = s.GetNextLine()) {
    lines.push_back(Text(line));
  }
  return lines;
}

// The first n tokens of text.
Strings Tokens(const char* text, const char* delims, int n) {
  CVxString s(text);
  Strings tokens{Text(s.GetFirstToken(delims))};
  while (static_cast<int>(tokens.size()) < n) tokens.push_back(Text(s.GetNextToken(delims)));
  return tokens;
}

std::string Trimmed(const char* text, const char* set) {
  CVxString s(text);
  return Text(s.Trim(set));
}

TEST(VxStringScanTest, LiteralsAreCodePage932) { EXPECT_STREQ("表", "\x95\x5C"); }

TEST(VxStringScanTest, LinesEndAtLineFeedsAndDropOneCarriageReturn) {
  EXPECT_EQ(Lines(""), Strings({""}));
  EXPECT_EQ(Lines("abc"), Strings({"abc"}));
  EXPECT_EQ(Lines("abc\n"), Strings({"abc"}));
  EXPECT_EQ(Lines("a\r\nb\r\n"), Strings({"a", "b"}));
  EXPECT_EQ(Lines("\n\nx"), Strings({"", "", "x"}));
  EXPECT_EQ(Lines("\r\n"), Strings({""}));
  EXPECT_EQ(Lines("a\r\r\nb\rc"), Strings({"a\r", "b\rc"}));
  EXPECT_EQ(Lines("表\r\n表"), Strings({"表", "表"}));
}

TEST(VxStringScanTest, ALeadByteBeforeALineFeedJoinsTwoLines) {
  EXPECT_EQ(Lines("a\x82\nb\nc"), Strings({"a\x82\nb", "c"}));
  EXPECT_EQ(Lines("a\nb\x82"), Strings({"a", "b\x82"}));
}

TEST(VxStringScanTest, FindStepsOverDoubleByteCharacters) {
  CVxString s("key=a=b");
  EXPECT_EQ(s.Find('=', 0), 3);
  EXPECT_EQ(s.Find('=', 4), 5);
  EXPECT_EQ(CVxString().Find('=', 0), -1);
  EXPECT_EQ(CVxString("表\\").Find('\\', 0), 2);
  EXPECT_EQ(CVxString("表").Find('\\', 0), -1);
  EXPECT_EQ(CVxString("a\x82=").Find('=', 0), -1);  // the lead byte takes the '='
}

TEST(VxStringScanTest, TokensSkipRunsOfDelimiters) {
  EXPECT_EQ(Tokens("a\tb", "\t", 4), Strings({"a", "b", "", ""}));
  EXPECT_EQ(Tokens("\t\ta\t\tb", "\t", 3), Strings({"a", "b", ""}));
  EXPECT_EQ(Tokens("a\t", "\t", 3), Strings({"a", "", ""}));
  EXPECT_EQ(Tokens("\t\t", "\t", 2), Strings({"", ""}));
  EXPECT_EQ(Tokens("", "\t", 1), Strings({""}));
  EXPECT_EQ(Tokens("ab", "", 1), Strings({""}));
  // The trail byte 0x5C of 表 is no backslash; a double-byte delimiter splits.
  EXPECT_EQ(Tokens("表\\x", "\\", 3), Strings({"表", "x", ""}));
  EXPECT_EQ(Tokens("a表表b", "表", 2), Strings({"a", "b"}));
}

TEST(VxStringScanTest, TrimRemovesOnlyWholeCharactersOfTheSet) {
  const char* blanks = " \t\n";
  EXPECT_EQ(Trimmed("  abc  ", blanks), "abc");
  EXPECT_EQ(Trimmed(" \t \t", blanks), "");
  EXPECT_EQ(Trimmed(" a b ", blanks), "a b");
  EXPECT_EQ(Trimmed("abc\r", blanks), "abc\r");
  EXPECT_EQ(Trimmed("", blanks), "");
  EXPECT_EQ(Trimmed("表", "\\"), "表");
  EXPECT_EQ(Trimmed("表a表", "表"), "a");

  CVxString s("a b"), copy(s);
  s.Trim(blanks);
  EXPECT_EQ(Text(copy), "a b");
}

TEST(VxStringScanTest, OrderIsUnsignedBytewise) {
  auto less = [](const char* a, const char* b) { return CVxString(a) < CVxString(b); };
  EXPECT_TRUE(less("", "a"));
  EXPECT_FALSE(less("a", ""));
  EXPECT_FALSE(less("", ""));
  EXPECT_TRUE(less("abc", "abd"));
  EXPECT_TRUE(less("ab", "abc"));
  EXPECT_TRUE(less("A", "a"));
  EXPECT_TRUE(less("z", "\x82"));
  EXPECT_FALSE(less("abc", "abc"));
}

TEST(VxStringScanTest, CursorsAreIndependentAndNotCopied) {
  CVxString s("a\tb\nc\td");
  EXPECT_EQ(Text(s.GetFirstLine()), "a\tb");
  EXPECT_EQ(Text(s.GetFirstToken("\t")), "a");
  EXPECT_EQ(Text(s.GetNextLine()), "c\td");
  EXPECT_EQ(Text(s.GetNextToken("\t")), "b\nc");
  CVxString copy(s);
  EXPECT_EQ(Text(copy.GetNextLine()), "a\tb");
}

}  // namespace
