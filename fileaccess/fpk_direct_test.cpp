// CFPK in direct access mode and CVxString::LoadFile on top of it, against
// real files in a scratch folder that is the current directory.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "fileaccess/fpk.h"
#include "text/vx_string.h"

namespace {

namespace fs = std::filesystem;

class FpkDirectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_);
    fs::current_path(dir_);
    std::ofstream("a.txt", std::ios::binary) << "alpha";
    std::ofstream("b.txt", std::ios::binary) << "bravo!";
  }
  void TearDown() override {
    fs::current_path(old_);
    fs::remove_all(dir_);
  }
  static std::string ReadAll(CFPK& fpk) {
    std::string bytes(static_cast<size_t>(fpk.GetSize()), '\0');
    bytes.resize(static_cast<size_t>(fpk.Read(bytes.data(), static_cast<int32_t>(bytes.size()))));
    return bytes;
  }
  // Writes update.lst and loads it into a string that held text before.
  static std::string Load(const std::string& bytes, bool* loaded) {
    std::ofstream("update.lst", std::ios::binary) << bytes;
    CVxString s("old text");
    *loaded = s.LoadFile("update.lst", nullptr);
    return s.GetBuffer();
  }

  const fs::path old_ = fs::current_path();
  const fs::path dir_ =
      fs::temp_directory_path() / ("vx-fpk-" + std::to_string(std::random_device()()));
};

TEST_F(FpkDirectTest, NoPackNameReadsDiskFilesOneAtATime) {
  for (const char* pack : {static_cast<const char*>(nullptr), ""}) {
    CFPK fpk;
    char byte;
    ASSERT_TRUE(fpk.OpenPack(pack));
    EXPECT_EQ(fpk.GetSize() + fpk.Read(&byte, 1), 0);  // no file yet
    ASSERT_TRUE(fpk.OpenFile("a.txt") && fpk.OpenFile("b.txt"));
    EXPECT_EQ(ReadAll(fpk), "bravo!");
    EXPECT_FALSE(fpk.OpenFile("missing.txt"));  // closes b.txt all the same
    EXPECT_EQ(fpk.GetSize(), 0);
    EXPECT_FALSE(fpk.OpenFile("."));  // a folder is no file
  }
}

TEST_F(FpkDirectTest, ClosePackClosesTheFileAndLeavesTheObjectIdle) {
  CFPK fpk;
  char byte = 'x';
  ASSERT_TRUE(fpk.OpenPack(nullptr) && fpk.OpenFile("a.txt"));
  fpk.ClosePack();
  EXPECT_EQ(fpk.Read(&byte, 1) + fpk.GetSize(), 0);
  EXPECT_FALSE(fpk.OpenFile("a.txt"));
  EXPECT_EQ(byte, 'x');
}

TEST_F(FpkDirectTest, ANameLongerThan255BytesIsRefusedNotCut) {
  std::string name;  // "./" 125 times, then a.txt: 255 bytes
  for (int i = 0; i < 125; ++i) name += "./";
  name += "a.txt";
  CFPK fpk;
  ASSERT_TRUE(fpk.OpenPack(nullptr));
#ifndef _WIN32  // Windows itself refuses a relative name this long
  EXPECT_TRUE(fpk.OpenFile(name.c_str()));
#endif
  EXPECT_FALSE(fpk.OpenFile((name + "-more").c_str()));  // cut, it would open a.txt
}

TEST_F(FpkDirectTest, LoadFileTakesTheBytesAsTheyAreUpToTheFirstZero) {
  CVxString s("old text");
  EXPECT_FALSE(s.LoadFile("update.lst", ""));
  EXPECT_TRUE(s.IsEmpty());
  bool loaded = false;
  EXPECT_EQ(Load("", &loaded), "");
  EXPECT_TRUE(loaded);
  EXPECT_EQ(Load("a=表\r\nb\n", &loaded), "a=表\r\nb\n");
  EXPECT_EQ(Load(std::string("abc\0def", 7), &loaded), "abc");
  EXPECT_TRUE(loaded);
}

TEST_F(FpkDirectTest, LoadFileRefusesAFileOf2GiBOrMoreUnread) {
  // Sparse files: GetSize's low 32 bits read as negative, then as 5.
  for (std::uintmax_t size : {std::uintmax_t{1} << 31, (std::uintmax_t{1} << 32) + 5}) {
    fs::resize_file("a.txt", size);
    CVxString s("old text");
    EXPECT_FALSE(s.LoadFile("a.txt", nullptr)) << size;
    EXPECT_TRUE(s.IsEmpty());
  }
}

}  // namespace
