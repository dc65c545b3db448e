#include "profile/reg_profile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/testing/registry_sandbox.h"

namespace {

using platform::kRegCurrentUser;
using platform::kRegUsers;

class RegProfileTest : public ::testing::Test {
 protected:
  // The sub-path below Software of a key in the sandbox.
  std::string Sub(const std::string& path = "") {
    return path.empty() ? sandbox_.Name() : std::string(sandbox_.Name()) + "\\" + path;
  }

  platform::RegistrySandbox sandbox_;
  CRegProfile profile_;
};

TEST_F(RegProfileTest, KeyPathsAndBase) {
  ASSERT_TRUE(sandbox_.PutText(kRegCurrentUser, "Vendor\\Product", "Dir", "cu"));
  ASSERT_TRUE(sandbox_.PutText(kRegUsers, "Vendor\\Product", "Dir", "users"));
  char text[16];
  ASSERT_TRUE(profile_.Open(Sub("Vendor\\Product").c_str()));
  EXPECT_TRUE(profile_.ReadString("dir", text));  // value names ignore case
  EXPECT_STREQ(text, "cu");

  // Ignored while a key is open; taken once the store is closed.
  profile_.SetBase(kRegUsers, ".DEFAULT\\Software");
  ASSERT_TRUE(profile_.Open(Sub("Vendor\\Product").c_str()));
  ASSERT_TRUE(profile_.ReadString("Dir", text));
  EXPECT_STREQ(text, "cu");
  profile_.Close();
  profile_.SetBase(kRegUsers, ".DEFAULT\\Software");
  ASSERT_TRUE(profile_.Open(Sub("Vendor\\Product").c_str()));
  ASSERT_TRUE(profile_.ReadString("Dir", text));
  EXPECT_STREQ(text, "users");

  // A null sub-path opens the base itself; an empty one adds a backslash.
  EXPECT_TRUE(profile_.Open(nullptr));
  EXPECT_TRUE(profile_.Open(""));
  EXPECT_FALSE(profile_.Open(Sub("Missing").c_str()));
  EXPECT_EQ(profile_.GetSubKeyCount(), 0u);  // a failed open leaves the store closed
}

TEST_F(RegProfileTest, OverlongPathsAreRefusedNotCut) {
  // "Software\" + the sub-path: exactly 255 bytes fits, 256 do not.
  std::string fits = Sub() + "\\" + std::string(255 - 9 - Sub().size() - 1, 'k');
  EXPECT_FALSE(profile_.Create((fits + "x").c_str()));
  EXPECT_FALSE(profile_.Open(fits.c_str()));  // not cut to 255 bytes and created
  EXPECT_TRUE(profile_.Create(fits.c_str()));
  EXPECT_FALSE(profile_.Open((fits + "\\x").c_str()));

  // A base path over 255 bytes is ignored: the old base stays.
  profile_.SetBase(kRegUsers, std::string(256, 'b').c_str());
  EXPECT_TRUE(profile_.Open(fits.c_str()));
}

TEST_F(RegProfileTest, ReadStringTakesPlainStringsThatFit) {
  std::string dir(259, 'd');
  ASSERT_TRUE(sandbox_.PutText(kRegCurrentUser, "", "Fits", dir.c_str()));
  ASSERT_TRUE(
      sandbox_.PutText(kRegCurrentUser, "", "Expand", "%TEMP%", platform::kRegTypeExpandSz));
  ASSERT_TRUE(sandbox_.Put(kRegCurrentUser, "", "Unterminated", platform::kRegTypeSz, "abc", 3));
  uint32_t one = 1;
  ASSERT_TRUE(sandbox_.Put(kRegCurrentUser, "", "Number", platform::kRegTypeDword, &one, 4));
  ASSERT_TRUE(profile_.Open(Sub().c_str()));

  char area[300];
  std::memset(area, '#', sizeof(area));
  ASSERT_TRUE(profile_.ReadString("Fits", area, 260));
  EXPECT_EQ(std::string(area), dir);
  // One byte short: fails, leaves no text, and writes nothing past the area.
  std::memset(area, '#', sizeof(area));
  EXPECT_FALSE(profile_.ReadString("Fits", area, 259));
  EXPECT_EQ(area[0], '\0');
  EXPECT_EQ(area[259], '#');

  // Other types are refused without touching the destination.
  std::memset(area, '#', sizeof(area));
  EXPECT_FALSE(profile_.ReadString("Expand", area, sizeof(area)));
  EXPECT_FALSE(profile_.ReadString("Number", area, sizeof(area)));
  EXPECT_FALSE(profile_.ReadString("Missing", area, sizeof(area)));
  EXPECT_EQ(area[0], '#');
  EXPECT_FALSE(profile_.ReadString("Fits", nullptr, 260));

  // A text stored without its terminator gets one, if there is room.
  EXPECT_TRUE(profile_.ReadString("Unterminated", area, 4));
  EXPECT_STREQ(area, "abc");
  EXPECT_FALSE(profile_.ReadString("Unterminated", area, 3));
}

TEST_F(RegProfileTest, ReadDwordTakesFourByteDwordsOnly) {
  uint32_t v = 42;
  uint64_t wide = 7;
  ASSERT_TRUE(profile_.Create(Sub().c_str()));
  ASSERT_TRUE(profile_.WriteDword("Answer", v));
  ASSERT_TRUE(profile_.WriteString("Text", "42"));
  ASSERT_TRUE(sandbox_.Put(kRegCurrentUser, "", "Wide", platform::kRegTypeDword, &wide, 8));
  uint32_t out = 0;
  EXPECT_TRUE(profile_.ReadDword("Answer", &out));
  EXPECT_EQ(out, 42u);
  out = 5;
  EXPECT_FALSE(profile_.ReadDword("Text", &out));
  EXPECT_FALSE(profile_.ReadDword("Wide", &out));
  EXPECT_EQ(out, 5u);
}

TEST_F(RegProfileTest, ReadBinaryNegotiatesTheSize) {
  const unsigned char data[5] = {1, 0, 2, 0, 3};
  ASSERT_TRUE(profile_.Create(Sub().c_str()));
  ASSERT_TRUE(profile_.WriteBinary("Blob", data, sizeof(data)));
  ASSERT_TRUE(profile_.WriteString("Text", "0123456789"));
  uint32_t size = 99;
  EXPECT_TRUE(profile_.ReadBinary("Blob", nullptr, &size));
  EXPECT_EQ(size, 5u);
  unsigned char out[16] = {};
  size = 4;
  EXPECT_FALSE(profile_.ReadBinary("Blob", out, &size));
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(out[0], 0);
  size = sizeof(out);
  EXPECT_TRUE(profile_.ReadBinary("Blob", out, &size));
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(std::memcmp(out, data, 5), 0);
  size = sizeof(out);
  EXPECT_FALSE(profile_.ReadBinary("Text", out, &size));
  EXPECT_EQ(size, 0u);
  size = sizeof(out);
  EXPECT_FALSE(profile_.ReadBinary("Missing", out, &size));
  EXPECT_EQ(size, 0u);
}

TEST_F(RegProfileTest, ReadOnlyStoreRefusesEveryWrite) {
  ASSERT_TRUE(profile_.Create(Sub().c_str()));
  EXPECT_FALSE(profile_.WriteString("Empty", ""));
  ASSERT_TRUE(profile_.WriteString("Name", "old"));
  ASSERT_TRUE(profile_.OpenReadOnly(Sub().c_str()));
  const char byte = 1;
  EXPECT_FALSE(profile_.WriteString("Name", "new"));
  EXPECT_FALSE(profile_.WriteDword("Number", 1));
  EXPECT_FALSE(profile_.WriteBinary("Blob", &byte, 1));
  char text[8];
  EXPECT_TRUE(profile_.ReadString("Name", text));
  EXPECT_STREQ(text, "old");
  ASSERT_TRUE(profile_.Open(Sub().c_str()));
  EXPECT_TRUE(profile_.WriteString("Name", "new"));
  EXPECT_FALSE(profile_.ReadString("Empty", text));
}

TEST_F(RegProfileTest, EnterAndLeaveOneSubKey) {
  EXPECT_FALSE(profile_.EnterSubKey("Closed"));
  EXPECT_FALSE(profile_.LeaveSubKey());
  ASSERT_TRUE(profile_.Create(Sub().c_str()));
  EXPECT_FALSE(profile_.LeaveSubKey());
  ASSERT_TRUE(profile_.EnterSubKey("Inner"));
  EXPECT_FALSE(profile_.EnterSubKey("Deeper"));
  ASSERT_TRUE(profile_.WriteDword("Where", 2));
  ASSERT_TRUE(profile_.LeaveSubKey());
  uint32_t where = 0;
  EXPECT_FALSE(profile_.ReadDword("Where", &where));
  ASSERT_EQ(profile_.GetSubKeyCount(), 1u);
  char name[8];
  EXPECT_TRUE(profile_.EnumSubKey(0, name, sizeof(name)));
  EXPECT_STREQ(name, "Inner");
  EXPECT_FALSE(profile_.EnumSubKey(0, name, 5));  // no room for the terminator
  EXPECT_FALSE(profile_.EnumSubKey(1, name, sizeof(name)));

  ASSERT_TRUE(profile_.EnterSubKey("Inner"));
  EXPECT_TRUE(profile_.ReadDword("Where", &where));
  profile_.Close();  // closes both keys
  EXPECT_FALSE(profile_.LeaveSubKey());
  EXPECT_EQ(profile_.GetSubKeyCount(), 0u);
}

TEST_F(RegProfileTest, DeleteSubKeyRemovesTheWholeTree) {
  ASSERT_TRUE(sandbox_.PutText(kRegCurrentUser, "Top\\A\\B\\C", "V", "x"));
  ASSERT_TRUE(sandbox_.PutText(kRegCurrentUser, "Top\\A\\D", "V", "x"));
  ASSERT_TRUE(sandbox_.Put(kRegCurrentUser, "Top\\E", nullptr, 0, nullptr, 0));
  ASSERT_TRUE(sandbox_.PutText(kRegCurrentUser, "Keep", "V", "x"));
  ASSERT_TRUE(profile_.Open(Sub().c_str()));
  EXPECT_FALSE(profile_.DeleteSubKey("Missing"));
  EXPECT_FALSE(profile_.DeleteSubKey(""));
  EXPECT_EQ(profile_.GetSubKeyCount(), 2u);
  EXPECT_TRUE(profile_.DeleteSubKey("top"));
  ASSERT_EQ(profile_.GetSubKeyCount(), 1u);
  char name[8];
  ASSERT_TRUE(profile_.EnumSubKey(0, name, sizeof(name)));
  EXPECT_STREQ(name, "Keep");
  CRegProfile other;
  EXPECT_FALSE(other.Open(Sub("Top\\A\\B\\C").c_str()));
}

}  // namespace
