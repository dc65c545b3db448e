// ReadUpdateList against real files in a scratch folder that is the current
// directory, as the patch folder is for the installer.
#include "app/update_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Rules = std::vector<std::pair<std::string, std::string>>;

class UpdateListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_);
    fs::current_path(dir_);
    std::memset(&UpdateSettings, 'x', sizeof(UpdateSettings));  // must be cleared
  }
  void TearDown() override {
    fs::current_path(old_);
    fs::remove_all(dir_);
  }
  static bool Read(const std::string& bytes) {
    std::ofstream("update.lst", std::ios::binary) << bytes;
    return ReadUpdateList("update.lst");
  }
  static Rules ReadRules() {
    Rules rules;
    for (UpdateEntry& e : UpdateList)
      rules.emplace_back(e.m_source.GetBuffer(), e.m_destination.GetBuffer());
    return rules;
  }
  static bool SettingsAreClear() {
    const UpdateSettingsRecord zero{};
    return std::memcmp(&UpdateSettings, &zero, sizeof(zero)) == 0;
  }

  const fs::path old_ = fs::current_path();
  const fs::path dir_ =
      fs::temp_directory_path() / ("vx-list-" + std::to_string(std::random_device()()));
};

TEST_F(UpdateListTest, AMissingListFailsAndAnEmptyOneReadsAsNothing) {
  EXPECT_FALSE(ReadUpdateList("update.lst"));
  EXPECT_TRUE(SettingsAreClear());
  EXPECT_FALSE(ReadUpdateList(nullptr));
  ASSERT_TRUE(Read(""));
  EXPECT_TRUE(SettingsAreClear());
  EXPECT_TRUE(UpdateList.empty());
}

TEST_F(UpdateListTest, SettingLinesSplitAtTheFirstEqualsSign) {
  ASSERT_TRUE(
      Read(" gametitle \t=  First  \r\ngametitle=ゲーム\r\nGameTitle=no\r\n=no\r\n"
           "patchname=old\r\npatchname=\r\nregbase=a=b\tc\r\nmutexname=GAME"));
  EXPECT_STREQ(UpdateSettings.m_title, "ゲーム");
  EXPECT_STREQ(UpdateSettings.m_patchName, "");
  EXPECT_STREQ(UpdateSettings.m_regBase, "a=b\tc");
  EXPECT_STREQ(UpdateSettings.m_mutexName, "GAME");
  EXPECT_STREQ(UpdateSettings.m_installDir, "");
  EXPECT_TRUE(UpdateList.empty());
}

TEST_F(UpdateListTest, RuleLinesTakeTheFirstTwoTabFields) {
  const std::string lines[] = {"# comment", "data.pak", "\t\tbgm\\*.ogg\t\t\\bgm\tdropped",
                               " #x",       "  ",       "\t\t",
                               "",          "data.pak", "表\\*.txt\t表\\"};
  std::string lf, crlf;
  for (const std::string& line : lines) lf += line + "\n", crlf += line + "\r\n";
  const Rules expected = {{"data.pak", ""}, {"bgm\\*.ogg", "\\bgm"}, {"#x", ""},
                          {"", ""},         {"data.pak", ""},        {"表\\*.txt", "表\\"}};
  ASSERT_TRUE(Read(lf));
  EXPECT_EQ(ReadRules(), expected);
  ASSERT_TRUE(Read(crlf));
  EXPECT_EQ(ReadRules(), expected);
}

TEST_F(UpdateListTest, ALongDisplayTextIsCutAtAWholeCharacter) {
  std::string title = "a";
  for (int i = 0; i < 40; ++i) title += "表";
  ASSERT_TRUE(Read("gametitle=" + title + "\npatchname=" + std::string(300, 'p') + "\n"));
  EXPECT_EQ(std::string(UpdateSettings.m_title), title.substr(0, 63));
  EXPECT_EQ(std::string(UpdateSettings.m_patchName), std::string(255, 'p'));

  title = "ab" + title.substr(1);  // 表 would now straddle the last byte
  ASSERT_TRUE(Read("gametitle=" + title));
  EXPECT_EQ(std::string(UpdateSettings.m_title), title.substr(0, 62));
}

TEST_F(UpdateListTest, ANameThatDoesNotFitFailsTheWholeList) {
  ASSERT_TRUE(Read("mutexname=" + std::string(15, 'm') + "\nreginstall=" + std::string(63, 'v')));
  EXPECT_EQ(std::string(UpdateSettings.m_mutexName), std::string(15, 'm'));
  for (const char* key : {"mutexname=", "reginstall=", "regbase="}) {
    EXPECT_FALSE(Read(std::string("gametitle=T\nrule\n") + key + std::string(256, 'n') + "\n"))
        << key;
    EXPECT_TRUE(SettingsAreClear()) << key;
    EXPECT_TRUE(UpdateList.empty()) << key;
  }
}

}  // namespace
