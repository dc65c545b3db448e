#include "app/install_lookup.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/update_list.h"
#include "platform/testing/registry_sandbox.h"

#ifndef _WIN32
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#endif

namespace {

using platform::kRegCurrentUser;
using platform::kRegUsers;

// Forwards to the real backend and notes every root a key is opened below.
class RootRecorder : public platform::Registry {
 public:
  RootRecorder() : real_(platform::SetRegistry(this)) {}
  ~RootRecorder() override { platform::SetRegistry(nullptr); }

  bool OpenKey(platform::RegKey parent, const char* path, platform::RegAccess access,
               platform::RegKey* key) override {
    roots.push_back(parent);
    return real_->OpenKey(parent, path, access, key);
  }
  bool CreateKey(platform::RegKey parent, const char* path, platform::RegKey* key) override {
    return real_->CreateKey(parent, path, key);
  }
  bool QueryValue(platform::RegKey key, const char* name, uint32_t* type, void* data,
                  uint32_t* size) override {
    return real_->QueryValue(key, name, type, data, size);
  }
  bool SetValue(platform::RegKey key, const char* name, uint32_t type, const void* data,
                uint32_t size) override {
    return real_->SetValue(key, name, type, data, size);
  }
  bool EnumSubKey(platform::RegKey key, uint32_t index, char* name, uint32_t size) override {
    return real_->EnumSubKey(key, index, name, size);
  }
  bool SubKeyCount(platform::RegKey key, uint32_t* count) override {
    return real_->SubKeyCount(key, count);
  }
  bool DeleteKey(platform::RegKey parent, const char* name) override {
    return real_->DeleteKey(parent, name);
  }
  void CloseKey(platform::RegKey key) override { real_->CloseKey(key); }

  std::vector<platform::RegKey> roots;

 private:
  platform::Registry* real_;
};

class InstallLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&UpdateSettings, 0, sizeof(UpdateSettings));
    std::string base = std::string(sandbox_.Name()) + "\\Game";
    std::strcpy(UpdateSettings.m_regBase, base.c_str());
    std::strcpy(UpdateSettings.m_regInstall, "InstallDir");
  }
  void TearDown() override { std::memset(&UpdateSettings, 0, sizeof(UpdateSettings)); }

  platform::RegistrySandbox sandbox_;
};

TEST_F(InstallLookupTest, ValueBelowCurrentUserWins) {
  ASSERT_TRUE(sandbox_.PutText(kRegCurrentUser, "Game", "InstallDir", "\\Games\\Cu"));
  ASSERT_TRUE(sandbox_.PutText(kRegUsers, "Game", "InstallDir", "\\Games\\Users"));
  RootRecorder recorder;
  EXPECT_TRUE(FindInstallDirectory());
  EXPECT_STREQ(UpdateSettings.m_installDir, "\\Games\\Cu");
  EXPECT_EQ(recorder.roots, std::vector<platform::RegKey>{kRegCurrentUser});
}

TEST_F(InstallLookupTest, KeyBelowCurrentUserWithoutTheValueFails) {
  ASSERT_TRUE(sandbox_.PutText(kRegCurrentUser, "Game", "Other", "\\Other"));
  ASSERT_TRUE(sandbox_.PutText(kRegUsers, "Game", "InstallDir", "\\Games\\Users"));
  EXPECT_FALSE(FindInstallDirectory());
  EXPECT_STREQ(UpdateSettings.m_installDir, "");
}

TEST_F(InstallLookupTest, FallsBackToTheDefaultUserWhenTheKeyIsMissing) {
  EXPECT_FALSE(FindInstallDirectory());
  ASSERT_TRUE(sandbox_.PutText(kRegUsers, "Game", "installdir", "\\\x95\x5C\\Users"));
  EXPECT_TRUE(FindInstallDirectory());
  EXPECT_STREQ(UpdateSettings.m_installDir, "\\\x95\x5C\\Users");
}

// An empty value names no folder (the files would go to the root of the
// drive): not installed, and the default user is not asked instead.
TEST_F(InstallLookupTest, EmptyValueCountsAsNotInstalled) {
  ASSERT_TRUE(sandbox_.PutText(kRegCurrentUser, "Game", "InstallDir", ""));
  ASSERT_TRUE(sandbox_.PutText(kRegUsers, "Game", "InstallDir", "\\Games\\Users"));
  RootRecorder recorder;
  EXPECT_FALSE(FindInstallDirectory());
  EXPECT_STREQ(UpdateSettings.m_installDir, "");
  EXPECT_EQ(recorder.roots, std::vector<platform::RegKey>{kRegCurrentUser});
}

TEST_F(InstallLookupTest, OnlyPlainStringsThatFitTheFieldCount) {
  ASSERT_TRUE(sandbox_.PutText(kRegCurrentUser, "Game", "InstallDir", "%ProgramFiles%\\Game",
                               platform::kRegTypeExpandSz));
  EXPECT_FALSE(FindInstallDirectory());

  std::string longest = "\\" + std::string(sizeof(UpdateSettings.m_installDir) - 2, 'd');
  ASSERT_TRUE(sandbox_.PutText(kRegCurrentUser, "Game", "InstallDir", longest.c_str()));
  EXPECT_TRUE(FindInstallDirectory());
  EXPECT_EQ(std::string(UpdateSettings.m_installDir), longest);

  ASSERT_TRUE(sandbox_.PutText(kRegCurrentUser, "Game", "InstallDir", (longest + "d").c_str()));
  EXPECT_FALSE(FindInstallDirectory());
  EXPECT_STREQ(UpdateSettings.m_installDir, "");
  EXPECT_EQ(UpdateSettings.m_title[0], '\0');  // the field after it is untouched
}

#ifndef _WIN32
std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The key exists in a file its owner may not write: full access fails below
// both roots, as for a key that can be read but not written on Windows.
TEST_F(InstallLookupTest, ReadOnlyRegistryFileCountsAsNotInstalled) {
  ASSERT_TRUE(sandbox_.PutText(kRegCurrentUser, "Game", "InstallDir", "/home/me/Games/Foo"));
  EXPECT_TRUE(FindInstallDirectory());
  ASSERT_EQ(::chmod(sandbox_.FilePath().c_str(), 0444), 0);
  EXPECT_FALSE(FindInstallDirectory());
}

// Outside a Wine prefix, a folder that is no absolute Linux path would be
// made inside the patch folder: not installed, and the lookup says why.
TEST_F(InstallLookupTest, FolderLinuxCantReachCountsAsNotInstalled) {
  for (const char* folder : {"C:\\Games", "\\\\server\\share", "Games", "//server/share"}) {
    ASSERT_TRUE(sandbox_.PutText(kRegCurrentUser, "Game", "InstallDir", folder));
    EXPECT_FALSE(FindInstallDirectory()) << folder;
    EXPECT_STREQ(UpdateSettings.m_installDir, "");
    EXPECT_NE(std::string(InstallLookupFailure()).find(folder), std::string::npos)
        << InstallLookupFailure();
  }
  ASSERT_TRUE(sandbox_.PutText(kRegCurrentUser, "Game", "InstallDir", "\\Games"));
  EXPECT_TRUE(FindInstallDirectory());
  EXPECT_STREQ(InstallLookupFailure(), "");
}

TEST_F(InstallLookupTest, UnreadableRegistryFileIsNeverWritten) {
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\" +
                     std::string(sandbox_.Name()) + "\\Game]\r\n\"InstallDir\"=\"/g\r\n";
  std::ofstream(sandbox_.FilePath(), std::ios::binary) << text;
  EXPECT_FALSE(FindInstallDirectory());
  EXPECT_FALSE(sandbox_.PutText(kRegCurrentUser, "Game", "InstallDir", "/h"));
  EXPECT_EQ(ReadFile(sandbox_.FilePath()), text);
}
#endif

}  // namespace
