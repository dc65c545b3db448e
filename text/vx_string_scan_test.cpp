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

TEST(VxStringScanTest, LinesEndAtLineFeedsAndDropOneCarriageReturn) {
  EXPECT_EQ(Lines(""), Strings({""}));
  EXPECT_EQ(Lines("abc\n"), Strings({"abc"}));
  EXPECT_EQ(Lines("a\r\nb\r\n"), Strings({"a", "b"}));
  EXPECT_EQ(Lines("\n\nx"), Strings({"", "", "x"}));
  EXPECT_EQ(Lines("\r\n"), Strings({""}));
  EXPECT_EQ(Lines("a\r\r\nb\rc"), Strings({"a\r", "b\rc"}));
}

TEST(VxStringScanTest, DoubleByteCharactersAreNeverSplit) {
  EXPECT_STREQ("表", "\x95\x5C");  // literals are code page 932
  // A lead byte before a line feed joins two lines; one before the end stays.
  EXPECT_EQ(Lines("表\r\na\x82\nb\nc\x82"), Strings({"表", "a\x82\nb", "c\x82"}));
  EXPECT_EQ(CVxString("key=a=b").Find('=', 4), 5);
  EXPECT_EQ(CVxString().Find('=', 0), -1);
  EXPECT_EQ(CVxString("表\\").Find('\\', 0), 2);
  EXPECT_EQ(CVxString("a\x82=").Find('=', 0), -1);  // the lead byte takes the '='
  EXPECT_EQ(Tokens("表\\x", "\\", 3), Strings({"表", "x", ""}));
  EXPECT_EQ(Tokens("a表表b", "表", 2), Strings({"a", "b"}));
  EXPECT_EQ(Trimmed("表", "\\"), "表");
  EXPECT_EQ(Trimmed("表a表", "表"), "a");
}

TEST(VxStringScanTest, TokensSkipRunsOfDelimiters) {
  EXPECT_EQ(Tokens("a\tb", "\t", 4), Strings({"a", "b", "", ""}));
  EXPECT_EQ(Tokens("\t\ta\t\tb", "\t", 3), Strings({"a", "b", ""}));
  EXPECT_EQ(Tokens("a\t", "\t", 3), Strings({"a", "", ""}));
  EXPECT_EQ(Tokens("\t\t", "\t", 2), Strings({"", ""}));
  EXPECT_EQ(Tokens("ab", "", 1), Strings({""}));
}

TEST(VxStringScanTest, TrimRemovesTheSetAtBothEndsOnly) {
  const char* blanks = " \t\n";
  EXPECT_EQ(Trimmed("  abc  ", blanks), "abc");
  EXPECT_EQ(Trimmed(" \t \t", blanks), "");
  EXPECT_EQ(Trimmed(" a b ", blanks), "a b");
  EXPECT_EQ(Trimmed("abc\r", blanks), "abc\r");
  CVxString s(" a "), copy(s);
  s.Trim(blanks);
  EXPECT_EQ(Text(copy), " a ");
}

TEST(VxStringScanTest, OrderIsUnsignedBytewise) {
  auto less = [](const char* a, const char* b) { return CVxString(a) < CVxString(b); };
  EXPECT_TRUE(less("", "a") && less("abc", "abd") && less("ab", "abc") && less("A", "a"));
  EXPECT_TRUE(less("z", "\x82"));
  EXPECT_FALSE(less("a", "") || less("", "") || less("abc", "abc"));
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
