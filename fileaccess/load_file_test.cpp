// CVxString::LoadFile from disk, against real files in a scratch folder that
// is the current directory.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "text/vx_string.h"

namespace {

namespace fs = std::filesystem;

class LoadFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vx-load-file-" + std::to_string(std::random_device()()));
    fs::create_directories(dir_);
    old_ = fs::current_path();
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(old_);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  static void Write(const std::string& bytes) {
    std::ofstream("update.lst", std::ios::binary) << bytes;
  }
  static std::string Text(CVxString s) { return s.GetBuffer(); }

  fs::path dir_, old_;
};

TEST_F(LoadFileTest, AMissingFileFailsAndEmptiesTheString) {
  CVxString s("old text");
  EXPECT_FALSE(s.LoadFile("update.lst", nullptr));
  EXPECT_TRUE(s.IsEmpty());
  EXPECT_FALSE(s.LoadFile(nullptr, nullptr));
}

TEST_F(LoadFileTest, TheBytesAreTakenAsTheyAreUpToTheFirstZero) {
  CVxString s("old text");
  Write("");
  EXPECT_TRUE(s.LoadFile("update.lst", nullptr));
  EXPECT_TRUE(s.IsEmpty());
  Write("a=表\r\nb\n");
  EXPECT_TRUE(s.LoadFile("update.lst", ""));
  EXPECT_EQ(Text(s), "a=表\r\nb\n");
  Write(std::string("abc\0def", 7));
  EXPECT_TRUE(s.LoadFile("update.lst", nullptr));
  EXPECT_EQ(Text(s), "abc");
}

TEST_F(LoadFileTest, AFileOf2GiBOrMoreIsRefusedUnread) {
  // Sparse files: nothing is written, and a sound load reads nothing either.
  for (std::uintmax_t size : {std::uintmax_t{1} << 31, (std::uintmax_t{1} << 32) + 5}) {
    Write("");
    std::error_code error;
    fs::resize_file("update.lst", size, error);
    if (error) GTEST_SKIP() << "no sparse file of " << size << " bytes here";
    CVxString s("old text");
    EXPECT_FALSE(s.LoadFile("update.lst", nullptr)) << size;
    EXPECT_TRUE(s.IsEmpty());
  }
}

}  // namespace
