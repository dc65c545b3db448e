// Letter case resolved against real scratch folders, and the exact
// conversion that keeps look-alike characters from naming another file.
#include "platform/posix/files/path_case.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "platform/posix/text/cp932.h"

namespace {

namespace fs = std::filesystem;

// UTF-8 text (narrow literals are code page 932).
std::string U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

class PathCaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("vx-case-" + std::to_string(std::random_device()()));
    fs::create_directories(root_ / "Data" / "Sub");
    fs::create_directories(root_ / "data");
    std::ofstream(root_ / "Data" / "Map.dat") << "m";
    base_ = root_.string();
  }
  void TearDown() override { fs::remove_all(root_); }
  std::string Resolve(const std::string& relative) { return ResolvePathCase(base_ + relative); }
  static std::string ResolvePathCase(const std::string& p) {
    return platform::posix::ResolvePathCase(p);
  }

  fs::path root_;
  std::string base_;
};

TEST_F(PathCaseTest, NamesAsWrittenElseTheFirstCaseVariant) {
  EXPECT_EQ(Resolve("/data"), base_ + "/data");  // as written, though Data exists too
  EXPECT_EQ(Resolve("/DATA"), base_ + "/Data");  // "Data" sorts before "data"
  EXPECT_EQ(Resolve("/DATA/MAP.DAT"), base_ + "/Data/Map.dat");
  EXPECT_EQ(Resolve("/dATa/SUB/"), base_ + "/Data/Sub/");
  // New names stay as written from the first one that is missing.
  EXPECT_EQ(Resolve("/data/Map.dat"), base_ + "/data/Map.dat");
  EXPECT_EQ(Resolve("/DATA/New/SUB"), base_ + "/Data/New/SUB");
  EXPECT_EQ(Resolve("/DATA/../DATA//map.DAT"), base_ + "/Data/../Data/Map.dat");
  // Only ASCII letters fold.
  std::ofstream(root_ / u8"ａ.dat") << "x";
  EXPECT_EQ(Resolve(U8(u8"/Ａ.dat")), base_ + U8(u8"/Ａ.dat"));
  // A resolver started from a folder of the caller's choosing.
  EXPECT_EQ(platform::posix::ResolveCase(base_ + "/", {"DATA", "SUB", "x"}), base_ + "/Data/Sub/x");
  EXPECT_EQ(platform::posix::ResolveCase(base_, {}), base_);
}

// A folder's listing is kept once a name was missing there; what another
// process changes later is seen at once, whatever the folder's time stamps
// say, and so is what this process noted itself.
TEST_F(PathCaseTest, KeptListingFollowsTheFolder) {
  fs::path data = root_ / "Data";
  // Changes that leave the folder's time stamps as they were, as within
  // one tick of a coarse clock.
  auto behindTheBack = [&](auto change) {
    fs::file_time_type before = fs::last_write_time(data);
    change();
    fs::last_write_time(data, before);
  };
  EXPECT_EQ(Resolve("/Data/NEW.DAT"), base_ + "/Data/NEW.DAT");  // read and kept
  behindTheBack([&] { std::ofstream(data / "new.dat") << "n"; });
  EXPECT_EQ(Resolve("/Data/NEW.DAT"), base_ + "/Data/new.dat");
  behindTheBack([&] { fs::rename(data / "new.dat", data / "New.Dat"); });
  EXPECT_EQ(Resolve("/DATA/NEW.DAT"), base_ + "/Data/New.Dat");
  behindTheBack([&] { fs::remove(data / "New.Dat"); });
  EXPECT_EQ(Resolve("/Data/NEW.DAT"), base_ + "/Data/NEW.DAT");
  // Our own new entry, noted: found in the kept listing, and a variant
  // made right after it by another process with a name before it is seen
  // too, then and later (the folder's stamps never taken for ours).
  std::ofstream(data / "Own.dat") << "o";
  platform::posix::NoteNewEntry(base_ + "/Data/Own.dat");
  EXPECT_EQ(Resolve("/Data/OWN.DAT"), base_ + "/Data/Own.dat");
  behindTheBack([&] { std::ofstream(data / "OWN.dat") << "o"; });
  EXPECT_EQ(Resolve("/Data/own.DAT"), base_ + "/Data/OWN.dat");
  std::ofstream(data / "Mine.dat") << "m";
  platform::posix::NoteNewEntry(base_ + "/Data/Mine.dat");
  std::ofstream(data / "MINE.dat") << "m";
  EXPECT_EQ(Resolve("/Data/mine.DAT"), base_ + "/Data/MINE.dat");
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  EXPECT_EQ(Resolve("/Data/mine.DAT"), base_ + "/Data/MINE.dat");
  // The removed first of two variants gives its place to the other.
  fs::remove(data / "MINE.dat");
  EXPECT_EQ(Resolve("/Data/mine.DAT"), base_ + "/Data/Mine.dat");
}

// A folder that many files are read from is kept open; once its path leads
// to another folder, the names that follow are opened in that one.
TEST_F(PathCaseTest, AFolderReadManyTimesIsLetGoWhenItsPathMoves) {
  auto readOne = [&](const std::string& name) {
    int fd = platform::posix::OpenInFolder(base_ + "/Data/" + name, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return std::string("(none)");
    char text[16] = {};
    ssize_t n = ::read(fd, text, sizeof(text) - 1);
    ::close(fd);
    return n < 0 ? std::string("(unread)") : std::string(text);
  };
  for (int i = 0; i < 40; ++i) ASSERT_EQ(readOne("Map.dat"), "m");
  fs::rename(root_ / "Data", root_ / "Old");
  fs::create_directories(root_ / "Data");
  std::ofstream(root_ / "Data" / "Map.dat") << "new";
  // Past the moment in which the kept folder is taken as it is.
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(readOne("Map.dat"), "new");
  fs::remove(root_ / "Data" / "Map.dat");
  EXPECT_EQ(readOne("Map.dat"), "(none)");
}

// iconv takes each of these to the code of another character; none may be
// taken for it. Their look-alikes with a code of their own convert both ways.
TEST(Cp932Test, ConvertsOnlyWhatComesBackTheSame) {
  std::string out;
  for (const char8_t* lookAlike :
       {u8"〜", u8"—", u8"−", u8"‖", u8"¢", u8"£", u8"¬", u8"¥", u8"‾"}) {
    EXPECT_FALSE(platform::posix::Utf8ToCp932("inst" + U8(lookAlike), &out)) << U8(lookAlike);
  }
  ASSERT_TRUE(platform::posix::Utf8ToCp932(U8(u8"inst～"), &out));
  EXPECT_EQ(out, "inst\x81\x60");
  std::string back;
  ASSERT_TRUE(platform::posix::Cp932ToUtf8(out, &back));
  EXPECT_EQ(back, U8(u8"inst～"));
}

}  // namespace
