// The copy run against real scratch folders, answered by a scripted dialogue:
// a patch folder (the current directory) and an installation.
#include "app/copy_run.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "app/update_list.h"
#include "platform/dialog.h"
#include "platform/fs.h"
#include "platform/testing/scripted_dialogue.h"

namespace {

namespace fs = std::filesystem;
using platform::kButtonCancel;
using platform::kButtonNo;
using platform::kButtonOk;
using platform::kButtonYes;

const char kM9[] = "更新先のフォルダがありません。作成してもいいですか？\n%s";
const char kM11[] = "更新先のファイルはアップデートファイルと同じか新しいです\n上書きしますか？";
const char kM13[] = "ファイルコピー中にエラーが発生しました\n中断しますか？";

std::string Fill(const char* format, const std::string& value) {
  std::string text = format;
  size_t at = text.find("%s");
  return text.substr(0, at) + value + text.substr(at + 2);
}

TEST(CopyRunPaths, JoinPathDropsOnlyWholeBackslashes) {
  char out[kCopyPathAreaSize];
  EXPECT_STREQ(JoinPath(out, "a\\", "\\b"), "a\\b");
  EXPECT_STREQ(JoinPath(out, "", "\\b"), "b");
  EXPECT_STREQ(JoinPath(out, nullptr, "b"), "b");
  EXPECT_STREQ(JoinPath(out, "表", "x"), "表\\x");  // 表 ends in 0x5C
  EXPECT_STREQ(JoinPath(out, "a\\\\", "b"), "a\\\\b");
  EXPECT_EQ(JoinPath(nullptr, "a", "b"), nullptr);
  std::string longFolder(250, 'f');
  EXPECT_EQ(JoinPath(out, longFolder.c_str(), "123456789"), nullptr);
  EXPECT_STREQ(out, "");
  EXPECT_STREQ(JoinPath(out, longFolder.c_str(), "12345678"), (longFolder + "\\12345678").c_str());
}

TEST(CopyRunPaths, PatternFolderIsMultibyteAwareAndDriveless) {
  char out[kCopyPathAreaSize];
  auto folder = [&](const char* pattern) {
    EXPECT_TRUE(GetPatternFolder(pattern, out)) << pattern;
    return std::string(out);
  };
  EXPECT_EQ(folder("data\\表\\*.dat"), "data\\表\\");
  EXPECT_EQ(folder("表*.dat"), "");
  EXPECT_EQ(folder("data/表/*.dat"), "data\\表\\");
  EXPECT_EQ(folder("C:\\x\\*.dat"), "\\x\\");
  EXPECT_EQ(folder("C:*.dat"), "");
  std::string deep(300, 'd');
  EXPECT_FALSE(GetPatternFolder((deep + "\\*.dat").c_str(), out));
  EXPECT_STREQ(out, "");
}

class CopyRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("vx-copy-run-" + std::to_string(std::random_device()()));
    fs::create_directories(root_ / "patch");
    fs::create_directories(root_ / "inst");
    old_ = fs::current_path();
    fs::current_path(root_ / "patch");
    patch_ = root_.string() + "\\patch";
    char area[kCopyPathAreaSize];
    ASSERT_GT(platform::WorkingDirectory(area, sizeof(area)), 0u);
    cwd_ = area;
    SetInstallDir(root_.string() + "\\inst");
    UpdateList.clear();
  }
  void TearDown() override {
    fs::current_path(old_);
    for (auto& e : fs::recursive_directory_iterator(root_)) {
      fs::permissions(e.path(), fs::perms::owner_write, fs::perm_options::add);
    }
    std::error_code ignored;
    fs::remove_all(root_, ignored);
    UpdateList.clear();
  }
  static void SetInstallDir(const std::string& dir) {
    std::memset(UpdateSettings.m_installDir, 0, sizeof(UpdateSettings.m_installDir));
    std::memcpy(UpdateSettings.m_installDir, dir.c_str(), dir.size());
  }
  static void Rule(const char* source, const char* destination) {
    UpdateList.push_back({source, destination});
  }
  static void Put(const fs::path& path, const std::string& bytes, int ageHours = 0) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    fs::last_write_time(path, kStamp - std::chrono::hours(ageHours));
  }
  static std::string Get(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static bool Writable(const fs::path& path) {
    return (fs::status(path).permissions() & fs::perms::owner_write) != fs::perms::none;
  }
  static void MakeReadOnly(const fs::path& path) {
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
  }
  // The texts of the boxes shown, with the confirmation box first.
  std::vector<std::string> Texts(const platform::ScriptedDialogue& d) const {
    std::vector<std::string> texts;
    for (const platform::ShownBox& box : d.boxes()) texts.push_back(box.m_text);
    return texts;
  }
  std::string Confirmation(const std::string& install) const {
    return "パッチ元ディレクトリ  : " + cwd_ + "\nインストール先ディレクトリ: " + install +
           "\nこの情報は正しいですか？";
  }

  // Whole seconds: the C runtime of Windows sets file times in seconds.
  static inline const fs::file_time_type kStamp =
      std::chrono::floor<std::chrono::seconds>(fs::file_time_type::clock::now()) -
      std::chrono::hours(1000);
  fs::path root_, old_;
  std::string patch_, cwd_;
};

TEST_F(CopyRunTest, ConfirmsFoldersAndCopiesFolderPartsWhole) {
  Put(root_ / "patch" / u8"表" / "a.dat", "A");
  Put(root_ / "patch" / "data" / "b.dat", "B");
  Put(root_ / "patch" / "data" / "c.txt", "C");
  fs::create_directories(root_ / "patch" / "data" / "d.dat");  // folders are passed over
  fs::create_directories(root_ / "inst" / u8"表");
  fs::create_directories(root_ / "inst" / "data");
  Rule("表\\*.dat", "");
  Rule("data/*.dat", "");
  Rule("none*.dat", "");
  platform::ScriptedDialogue dialogue({kButtonYes});
  EXPECT_TRUE(RunUpdate());
  ASSERT_EQ(dialogue.boxes().size(), 1u) << dialogue.boxes().back().m_text;
  EXPECT_EQ(dialogue.boxes()[0].m_text, Confirmation(root_.string() + "\\inst"));
  EXPECT_EQ(dialogue.boxes()[0].m_caption, "確認");
  EXPECT_EQ(dialogue.boxes()[0].m_style, platform::kStyleYesNo);
  EXPECT_EQ(Get(root_ / "inst" / u8"表" / "a.dat"), "A");
  EXPECT_EQ(Get(root_ / "inst" / "data" / "b.dat"), "B");
  EXPECT_FALSE(fs::exists(root_ / "inst" / "data" / "c.txt"));
  EXPECT_FALSE(fs::exists(root_ / "inst" / "data" / "d.dat"));
}

TEST_F(CopyRunTest, SubPathIsAppendedAsWritten) {
  Put(root_ / "patch" / "x.exe", "X");
  fs::create_directories(root_ / "inst" / "bin");
  fs::create_directories(root_ / "instbin");
  Rule("x.exe", "\\bin");
  Rule("x.exe", "bin");
  platform::ScriptedDialogue dialogue({kButtonYes});
  EXPECT_TRUE(RunUpdate());
  EXPECT_EQ(dialogue.boxes().size(), 1u);
  EXPECT_EQ(Get(root_ / "inst" / "bin" / "x.exe"), "X");
  EXPECT_EQ(Get(root_ / "instbin" / "x.exe"), "X");
}

TEST_F(CopyRunTest, InstallDirEndingInBackslashOrInHyo) {
  Put(root_ / "patch" / u8"表.dat", "H");
  fs::create_directories(root_ / "inst" / "sub");
  SetInstallDir(root_.string() + "\\inst\\");
  Rule("表.dat", "");
  Rule("表.dat", "\\sub");
  {
    platform::ScriptedDialogue dialogue({kButtonYes});
    EXPECT_TRUE(RunUpdate());
    EXPECT_EQ(dialogue.boxes().size(), 1u) << dialogue.boxes().back().m_text;
  }
  EXPECT_EQ(Get(root_ / "inst" / u8"表.dat"), "H");
  EXPECT_EQ(Get(root_ / "inst" / "sub" / u8"表.dat"), "H");

  // A file named 表.dat asks no folder question, and an install directory
  // ending in 表 keeps its last character.
  fs::create_directories(root_ / u8"inst表");
  SetInstallDir(root_.string() + "\\inst表");
  UpdateList.clear();
  Rule("表.dat", "");
  platform::ScriptedDialogue dialogue({kButtonYes});
  EXPECT_TRUE(RunUpdate());
  EXPECT_EQ(dialogue.boxes().size(), 1u) << dialogue.boxes().back().m_text;
  EXPECT_EQ(Get(root_ / u8"inst表" / u8"表.dat"), "H");
}

TEST_F(CopyRunTest, AsksBeforeOverwritingAsNewAndDeclineGoesOn) {
  Put(root_ / "patch" / "same.dat", "new same");
  Put(root_ / "patch" / "older.dat", "new older");
  Put(root_ / "patch" / "newer.dat", "new newer", 2);
  Put(root_ / "inst" / "same.dat", "old same");
  Put(root_ / "inst" / "older.dat", "old older", 1);
  Put(root_ / "inst" / "newer.dat", "old newer");
  Rule("same.dat", "");
  Rule("older.dat", "");
  Rule("newer.dat", "");
  // Decline the first overwrite and go on; accept the second.
  platform::ScriptedDialogue dialogue({kButtonYes, kButtonCancel, kButtonNo, kButtonOk});
  EXPECT_TRUE(RunUpdate());
  EXPECT_EQ(Texts(dialogue),
            (std::vector<std::string>{Confirmation(root_.string() + "\\inst"), kM11, kM13, kM11}));
  EXPECT_EQ(dialogue.boxes()[1].m_caption, "上書き確認");
  EXPECT_EQ(dialogue.boxes()[1].m_style, platform::kStyleQuestion);
  EXPECT_EQ(dialogue.boxes()[2].m_caption, "中断確認");
  EXPECT_EQ(dialogue.boxes()[2].m_style, platform::kStyleYesNo);
  EXPECT_EQ(Get(root_ / "inst" / "same.dat"), "old same");
  EXPECT_EQ(Get(root_ / "inst" / "older.dat"), "new older");
  EXPECT_EQ(Get(root_ / "inst" / "newer.dat"), "new newer");
  EXPECT_EQ(fs::last_write_time(root_ / "inst" / "newer.dat"), kStamp - std::chrono::hours(2));
}

TEST_F(CopyRunTest, YesAtAbortStopsAndKeepsWhatWasCopied) {
  Put(root_ / "patch" / "a.dat", "A");
  Put(root_ / "patch" / "c.dat", "C");
  Rule("a.dat", "");
  Rule("b.dat", "");  // matches nothing: no message
  Rule("c.dat", "\\missing");
  Rule("a.dat", "\\again");
  platform::ScriptedDialogue dialogue({kButtonYes, kButtonCancel, kButtonYes});
  EXPECT_FALSE(RunUpdate());
  std::string folder = root_.string() + "\\inst\\missing";
  EXPECT_EQ(Texts(dialogue), (std::vector<std::string>{Confirmation(root_.string() + "\\inst"),
                                                       Fill(kM9, folder), kM13}));
  EXPECT_EQ(dialogue.boxes()[1].m_caption, "フォルダの作成");
  EXPECT_EQ(Get(root_ / "inst" / "a.dat"), "A");
  EXPECT_FALSE(fs::exists(root_ / "inst" / "missing"));
  EXPECT_FALSE(fs::exists(root_ / "inst" / "again"));
}

TEST_F(CopyRunTest, MissingFolderIsCreatedAfterConsent) {
  Put(root_ / "patch" / u8"表" / "x.dat", "X");
  Rule("表\\*.dat", "\\new");
  platform::ScriptedDialogue dialogue({kButtonYes, kButtonOk});
  EXPECT_TRUE(RunUpdate());
  ASSERT_EQ(dialogue.boxes().size(), 2u);
  EXPECT_EQ(dialogue.boxes()[1].m_text, Fill(kM9, root_.string() + "\\inst\\new\\表"));
  EXPECT_EQ(Get(root_ / "inst" / "new" / u8"表" / "x.dat"), "X");
}

TEST_F(CopyRunTest, ReadOnlyDestinationFailsAndStaysUnchanged) {
  // Refused from the attributes, not left to the system: Wine run as root
  // would let the copy through.
  Put(root_ / "patch" / "a.dat", "new");
  Put(root_ / "inst" / "a.dat", "old", 1);
  MakeReadOnly(root_ / "inst" / "a.dat");
  Rule("a.dat", "");
  platform::ScriptedDialogue dialogue({kButtonYes, kButtonOk, kButtonNo});
  EXPECT_TRUE(RunUpdate());
  ASSERT_EQ(dialogue.boxes().size(), 3u);
  EXPECT_EQ(dialogue.boxes()[1].m_text, "a.datのコピーが失敗しました");
  EXPECT_EQ(dialogue.boxes()[1].m_caption, "失敗");
  EXPECT_EQ(dialogue.boxes()[1].m_style, platform::kStyleError);
  EXPECT_EQ(Get(root_ / "inst" / "a.dat"), "old");
  EXPECT_FALSE(Writable(root_ / "inst" / "a.dat"));
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "inst"), {}), 1);
}

TEST_F(CopyRunTest, ReadOnlySourceGivesNormalCopyWithItsTime) {
  Put(root_ / "patch" / "a.dat", "new", 3);
  MakeReadOnly(root_ / "patch" / "a.dat");
  Rule("a.dat", "");
  platform::ScriptedDialogue dialogue({kButtonYes});
  EXPECT_TRUE(RunUpdate());
  EXPECT_EQ(dialogue.boxes().size(), 1u);
  EXPECT_EQ(Get(root_ / "inst" / "a.dat"), "new");
  EXPECT_TRUE(Writable(root_ / "inst" / "a.dat"));
  EXPECT_EQ(fs::last_write_time(root_ / "inst" / "a.dat"), kStamp - std::chrono::hours(3));
}

TEST_F(CopyRunTest, FailedCopyKeepsOldDestinationByteForByte) {
  std::string fresh(3 << 20, 'n');
  Put(root_ / "patch" / "a.dat", fresh);
  Put(root_ / "inst" / "a.dat", "old", 1);
  Rule("a.dat", "");
  platform::ScriptedDialogue dialogue({kButtonYes, kButtonOk, kButtonNo});
  platform::FailNextCopyAfter(1 << 20);
  EXPECT_TRUE(RunUpdate());
  ASSERT_EQ(dialogue.boxes().size(), 3u);
  EXPECT_EQ(dialogue.boxes()[1].m_text, "a.datのコピーが失敗しました");
  EXPECT_EQ(Get(root_ / "inst" / "a.dat"), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "inst"), {}), 1);
}

TEST_F(CopyRunTest, PathTooLongForItsAreaIsNotCopied) {
  Put(root_ / "patch" / "a.dat", "A");
  std::string install = root_.string() + "\\" + std::string(250 - root_.string().size(), 'i');
  SetInstallDir(install);
  Rule("a.dat", "\\subfolder");
  platform::ScriptedDialogue dialogue({kButtonYes, kButtonOk, kButtonNo});
  EXPECT_TRUE(RunUpdate());
  ASSERT_EQ(dialogue.boxes().size(), 3u);
  EXPECT_EQ(dialogue.boxes()[1].m_text, "a.datのコピーが失敗しました");
  EXPECT_EQ(dialogue.boxes()[2].m_text, kM13);
  EXPECT_EQ(std::distance(fs::directory_iterator(root_), {}), 2);
}

TEST_F(CopyRunTest, DecisionProbesWithoutAskingOrWriting) {
  Put(root_ / "patch" / "a.dat", "A", 1);
  Put(root_ / "patch" / "sub" / "b.dat", "B");
  Put(root_ / "inst" / "a.dat", "old a", 2);
  platform::ScriptedDialogue dialogue;
  CVxString source(patch_.c_str());
  CVxString install((root_.string() + "\\inst\\").c_str());
  {
    CopyDecision older;
    DecideCopy("a.dat", install, source, &older);
    EXPECT_EQ(older.m_failure, CopyFailure::kNone);
    EXPECT_TRUE(older.m_destinationExists);
    EXPECT_FALSE(older.m_asNewOrNewer);
    EXPECT_FALSE(older.m_folderMissing);
    EXPECT_EQ(std::string(older.m_destinationPath.GetBuffer()), root_.string() + "\\inst\\a.dat");
  }
  Put(root_ / "inst" / "a.dat", "old a", 1);  // as new: the question would come
  CopyDecision asNew, missingFolder, missingSource;
  DecideCopy("a.dat", install, source, &asNew);
  EXPECT_TRUE(asNew.m_asNewOrNewer);
  DecideCopy("sub\\b.dat", install, source, &missingFolder);
  EXPECT_TRUE(missingFolder.m_folderMissing);
  EXPECT_FALSE(missingFolder.m_destinationExists);
  EXPECT_EQ(std::string(missingFolder.m_folder), root_.string() + "\\inst\\sub");
  DecideCopy("none.dat", install, source, &missingSource);
  EXPECT_EQ(missingSource.m_failure, CopyFailure::kSourceUnreadable);
  EXPECT_TRUE(dialogue.boxes().empty());
  // Sized, not read: on Windows the probe holds the file without sharing.
  EXPECT_EQ(fs::file_size(root_ / "inst" / "a.dat"), 5u);
  EXPECT_FALSE(fs::exists(root_ / "inst" / "sub"));

  // Carried out, the decisions ask in the run's order and copy.
  platform::ScriptedDialogue answers({kButtonOk, kButtonOk, kButtonOk});
  EXPECT_TRUE(CarryOutCopy(&asNew));
  EXPECT_TRUE(CarryOutCopy(&missingFolder));
  EXPECT_FALSE(CarryOutCopy(&missingSource));
  EXPECT_EQ(Texts(answers),
            (std::vector<std::string>{kM11, Fill(kM9, root_.string() + "\\inst\\sub"),
                                      "none.datが存在しないか使用中です\n中断します"}));
  EXPECT_EQ(Get(root_ / "inst" / "a.dat"), "A");
  EXPECT_EQ(Get(root_ / "inst" / "sub" / "b.dat"), "B");
}

#ifndef _WIN32
// Another program at work in the installation between a file's probes and
// its copy: the run acts on what it examined, or examines again and asks
// what the new state calls for; it never writes a file no question covered.
TEST_F(CopyRunTest, AnotherProgramBetweenProbeAndCopyIsNeverOverruled) {
  Put(root_ / "patch" / "a.dat", "new a");
  Put(root_ / "patch" / "foo.dat", "new foo");
  Put(root_ / "patch" / "x.dat", "new x");
  Put(root_ / "inst" / "data" / "x.dat", "old x", 1);
  const fs::path inst = root_ / "inst";
  // While a.dat is written, a case variant of foo.dat appears, as new as
  // the patch's: the probe of foo.dat sees it, asks, and, declined, makes
  // no second foo.dat beside it.
  Rule("a.dat", "");
  Rule("foo.dat", "");
  auto variant = [](void* folder) { Put(*static_cast<fs::path*>(folder) / "FOO.DAT", "player's"); };
  fs::path where = inst;
  platform::OnNextCopyWritten(variant, &where);
  platform::ScriptedDialogue dialogue({kButtonYes, kButtonCancel, kButtonNo});
  EXPECT_TRUE(RunUpdate());
  EXPECT_EQ(Texts(dialogue).size(), 3u);
  EXPECT_EQ(Texts(dialogue).back(), kM13);
  EXPECT_EQ(Get(inst / "FOO.DAT"), "player's");
  EXPECT_FALSE(fs::exists(inst / "foo.dat"));

  // x.dat is probed in data, older: no question. Then data is moved away
  // and a new data holds the player's newer x.dat: the copy writes nothing
  // there, and the file is examined again, with the question that calls for.
  CVxString install((root_.string() + "\\inst\\data").c_str());
  CVxString source(patch_.c_str());
  CopyDecision decision;
  DecideCopy("x.dat", install, source, &decision);
  EXPECT_FALSE(decision.m_asNewOrNewer);
  fs::rename(inst / "data", inst / "moved");
  Put(inst / "data" / "x.dat", "player's x");
  platform::ScriptedDialogue again({kButtonCancel});
  EXPECT_FALSE(CarryOutCopy(&decision));
  EXPECT_EQ(Texts(again), std::vector<std::string>{kM11});
  EXPECT_EQ(Get(inst / "data" / "x.dat"), "player's x");
  EXPECT_EQ(Get(inst / "moved" / "x.dat"), "old x");
  // Moved while its new file is written, after the probes: the file examined
  // is the one replaced, where it is now (as if the move came a moment
  // later); nothing else is touched.
  Put(inst / "data" / "x.dat", "old x", 1);
  fs::remove_all(inst / "moved");
  auto swap = [](void* folder) {
    const fs::path& inst = *static_cast<fs::path*>(folder);
    fs::rename(inst / "data", inst / "moved");
    Put(inst / "data" / "x.dat", "player's x");
  };
  platform::OnNextCopyWritten(swap, &where);
  platform::ScriptedDialogue quiet(std::vector<int>{});
  EXPECT_TRUE(CopyUpdateFile("x.dat", install, source));
  EXPECT_TRUE(quiet.boxes().empty());
  EXPECT_EQ(Get(inst / "data" / "x.dat"), "player's x");
  EXPECT_EQ(Get(inst / "moved" / "x.dat"), "new x");
  for (const fs::path& folder : {inst, inst / "data", inst / "moved"}) {
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), folder == inst ? 4 : 1);
  }
}
#endif

}  // namespace
