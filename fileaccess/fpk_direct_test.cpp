// CFPK in direct access mode, against real files in a scratch folder that is
// the current directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "fileaccess/fpk.h"

namespace {

namespace fs = std::filesystem;

class FpkDirectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vx-fpk-direct-" + std::to_string(std::random_device()()));
    fs::create_directories(dir_);
    old_ = fs::current_path();
    fs::current_path(dir_);
    std::ofstream("a.txt", std::ios::binary) << "alpha";
    std::ofstream("b.txt", std::ios::binary) << "bravo!";
  }
  void TearDown() override {
    fs::current_path(old_);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  static std::string ReadAll(CFPK& fpk) {
    std::string bytes(static_cast<size_t>(fpk.GetSize()), '\0');
    bytes.resize(static_cast<size_t>(fpk.Read(bytes.data(), static_cast<int32_t>(bytes.size()))));
    return bytes;
  }

  fs::path dir_, old_;
};

TEST_F(FpkDirectTest, NoPackNameReadsDiskFiles) {
  for (const char* pack : {static_cast<const char*>(nullptr), ""}) {
    CFPK fpk;
    ASSERT_TRUE(fpk.OpenPack(pack));
    ASSERT_TRUE(fpk.OpenFile("a.txt"));
    EXPECT_EQ(ReadAll(fpk), "alpha");
    EXPECT_EQ(fpk.Read(nullptr, 0), 0);
  }
}

TEST_F(FpkDirectTest, NothingIsReadWithoutAnOpenFile) {
  char byte = 'x';
  CFPK idle;
  EXPECT_FALSE(idle.OpenFile("a.txt"));
  EXPECT_EQ(idle.GetSize(), 0);
  EXPECT_EQ(idle.Read(&byte, 1), 0);
  CFPK fpk;
  ASSERT_TRUE(fpk.OpenPack(nullptr));
  EXPECT_EQ(fpk.GetSize(), 0);
  EXPECT_EQ(fpk.GetFullSize(), -1);
  EXPECT_EQ(fpk.Read(&byte, 1), 0);
  EXPECT_FALSE(fpk.OpenFile("missing.txt"));
  EXPECT_FALSE(fpk.OpenFile("."));  // a folder is no file
  EXPECT_EQ(byte, 'x');
}

TEST_F(FpkDirectTest, OpeningAnotherFileClosesTheFirst) {
  CFPK fpk;
  ASSERT_TRUE(fpk.OpenPack(nullptr));
  ASSERT_TRUE(fpk.OpenFile("a.txt"));
  ASSERT_TRUE(fpk.OpenFile("b.txt"));
  EXPECT_EQ(ReadAll(fpk), "bravo!");
  ASSERT_TRUE(fpk.OpenFile("a.txt"));
  EXPECT_FALSE(fpk.OpenFile("missing.txt"));
  EXPECT_EQ(fpk.GetSize(), 0);
}

TEST_F(FpkDirectTest, ClosePackClosesTheFileAndLeavesTheObjectIdle) {
  CFPK fpk;
  ASSERT_TRUE(fpk.OpenPack(""));
  ASSERT_TRUE(fpk.OpenFile("a.txt"));
  fpk.ClosePack();
  char byte;
  EXPECT_EQ(fpk.Read(&byte, 1), 0);
  EXPECT_EQ(fpk.GetSize(), 0);
  EXPECT_FALSE(fpk.OpenFile("a.txt"));
}

TEST_F(FpkDirectTest, ANameLongerThan255BytesIsRefusedNotCut) {
  // Cut to 255 bytes, the name would open a.txt.
  std::string name;
  for (int i = 0; i < 125; ++i) name += "./";
  name += "a.txt";
  ASSERT_EQ(name.size(), 255u);
  CFPK fpk;
  ASSERT_TRUE(fpk.OpenPack(nullptr));
#ifndef _WIN32  // Windows refuses a relative name this long on its own
  EXPECT_TRUE(fpk.OpenFile(name.c_str()));
#endif
  EXPECT_FALSE(fpk.OpenFile((name + "-more").c_str()));
}

}  // namespace
