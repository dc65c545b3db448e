// The terminal dialogue of the Linux build: box layout, answers, end of input.
#include "platform/posix/dialog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/dialog.h"
#include "platform/testing/scripted_dialogue.h"

namespace {

struct Exchange {
  int button;
  std::string shown;  // UTF-8, as the terminal shows it
};

Exchange Ask(const std::string& input, const char* text, const char* caption, uint32_t style) {
  std::FILE* in = fmemopen(const_cast<char*>(input.data()), input.size(), "r");
  if (input.empty()) in = std::fopen("/dev/null", "r");
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  int button = platform::posix::TerminalDialogue(in, out, text, caption, style);
  std::fclose(out);
  std::fclose(in);
  std::string shown(buffer, size);
  std::free(buffer);
  return {button, shown};
}

TEST(TerminalDialogue, WritesTheBoxAndReadsTheAnswer) {
  // Literals are code page 932; the terminal gets UTF-8.
  Exchange e = Ask("  YES \n", "上書きしますか？\n2行目", "確認", platform::kStyleYesNo);
  EXPECT_EQ(e.button, platform::kButtonYes);
  EXPECT_EQ(e.shown,
            "== \xE7\xA2\xBA\xE8\xAA\x8D ==\n"
            "\xE4\xB8\x8A\xE6\x9B\xB8\xE3\x81\x8D\xE3\x81\x97\xE3\x81\xBE\xE3\x81\x99"
            "\xE3\x81\x8B\xEF\xBC\x9F\n2\xE8\xA1\x8C\xE7\x9B\xAE\n[Yes/No]");
  EXPECT_EQ(Ask("c\n", "t", "c", platform::kStyleQuestion).button, platform::kButtonCancel);
  EXPECT_EQ(Ask("O\n", "t", "c", platform::kStyleQuestion).button, platform::kButtonOk);
  EXPECT_EQ(Ask("n", "t", "c", platform::kStyleYesNo).button, platform::kButtonNo);
}

TEST(TerminalDialogue, AnswerThatIsNoButtonRepeatsThePrompt) {
  Exchange e = Ask("ok\nmaybe\n\nno\n", "t", "c", platform::kStyleYesNo);
  EXPECT_EQ(e.button, platform::kButtonNo);
  EXPECT_EQ(e.shown, "== c ==\nt\n[Yes/No][Yes/No][Yes/No][Yes/No]");
  EXPECT_EQ(Ask("yes\nok\n", "t", "c", platform::kStyleError).shown, "== c ==\nt\n[OK][OK]");
}

TEST(TerminalDialogue, EndOfInputNeverConsents) {
  EXPECT_EQ(Ask("", "t", "c", platform::kStyleQuestion).button, platform::kButtonCancel);
  EXPECT_EQ(Ask("maybe\n", "t", "c", platform::kStyleYesNo).button, platform::kButtonNo);
  EXPECT_EQ(Ask("", "t", "c", platform::kStyleError).button, platform::kButtonOk);
  EXPECT_EQ(Ask("", "t", "c", platform::kStyleInformation).shown, "== c ==\nt\n[OK]");
  // Asked whether to stop after a failed file, it stops.
  EXPECT_EQ(Ask("", "t", "中断確認", platform::kStyleYesNo).button, platform::kButtonYes);
  EXPECT_EQ(Ask("yes\n", "t", "確認", platform::kStyleYesNo).button, platform::kButtonYes);
  EXPECT_EQ(Ask("", "t", "確認", platform::kStyleYesNo).button, platform::kButtonNo);
}

TEST(TerminalDialogue, BytesThatDoNotConvertShowAsQuestionMarks) {
  // 0x85 0x40 is no code page 932 character.
  Exchange e = Ask("", "a\x85\x40z", "c", platform::kStyleError);
  EXPECT_NE(e.shown.find("== c ==\na?"), std::string::npos) << e.shown;
  EXPECT_NE(e.shown.find("z\n[OK]"), std::string::npos) << e.shown;
}

// The status line never wraps: the file name gives way first, from its
// start, then the counts; a wide character takes two columns.
TEST(StatusLine, FitsTheTerminal) {
  using platform::posix::FitStatusLine;
  EXPECT_EQ(FitStatusLine("3/9 files, ", "data/map01.dat", 80), "3/9 files, data/map01.dat");
  EXPECT_EQ(FitStatusLine("3/9 files, ", "data/map01.dat", 24), "3/9 files, ...map01.dat");
  // "データ" is six columns wide: two of its characters can't stay.
  EXPECT_EQ(FitStatusLine("ab", "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF", 8), "ab...\xE3\x82\xBF");
  EXPECT_EQ(FitStatusLine("3/9 files, ", "x", 6), "3/9 f");
  EXPECT_EQ(FitStatusLine("abc", "d", 1), "");
}

TEST(ScriptedDialogue, RecordsBoxesAndStandsInWhileAlive) {
  {
    platform::ScriptedDialogue dialogue({platform::kButtonYes});
    EXPECT_EQ(platform::ShowMessage("a", "b", platform::kStyleYesNo), platform::kButtonYes);
    // Answers used up: as a terminal at the end of input.
    EXPECT_EQ(platform::ShowMessage("c", "d", platform::kStyleQuestion), platform::kButtonCancel);
    ASSERT_EQ(dialogue.boxes().size(), 2u);
    EXPECT_EQ(dialogue.boxes()[1].m_text, "c");
    EXPECT_EQ(dialogue.boxes()[1].m_caption, "d");
    EXPECT_EQ(dialogue.boxes()[1].m_style, platform::kStyleQuestion);
  }
  EXPECT_EQ(platform::SetDialogueBackend(nullptr), nullptr);
}

}  // namespace
