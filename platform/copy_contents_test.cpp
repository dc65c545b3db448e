// The copy with made contents (a checked copy, a file made from a delta)
// against real scratch folders: it keeps the copy's guarantees, and contents
// that fail leave the destination as it was and nothing of their own.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "platform/file.h"
#include "platform/fs.h"
#include "platform/testing/expected_bytes.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

namespace fs = std::filesystem;

// Reads the source whole and writes it with every byte turned upper case;
// fails after writing half of it when told to.
class UpperCase : public platform::CopyContents {
 public:
  explicit UpperCase(bool fail) : m_fail(fail) {}
  bool Unchanged() const override { return false; }
  bool Examine(const void*, uint32_t) override { return false; }
  bool Passed() override { return false; }
  bool Produce(platform::FileHandle source, platform::CopySink* out) override {
    ++m_calls;
    std::string bytes;
    char buffer[4096];
    uint32_t got = 0;
    while (platform::ReadBytes(source, buffer, sizeof(buffer), &got) && got > 0) {
      bytes.append(buffer, got);
    }
    for (char& c : bytes) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    uint32_t half = static_cast<uint32_t>(bytes.size() / 2);
    if (m_fail) return out->Write(bytes.data(), half) && false;
    return out->Write(bytes.data(), half) &&
           out->Write(bytes.data() + half, static_cast<uint32_t>(bytes.size()) - half);
  }
  int m_calls = 0;

 private:
  bool m_fail;
};

using Expect = platform::testing::ExpectedBytes;

class CopyContentsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("vx-contents-" + std::to_string(std::random_device()()));
    fs::create_directories(root_);
    Put("src", std::string(100000, 'a') + "patched");
    fs::last_write_time(root_ / "src", fs::file_time_type::clock::now() - std::chrono::hours(5));
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  std::string At(const char* relative) const { return root_.string() + "\\" + relative; }
  void Put(const char* name, const std::string& bytes) {
    std::ofstream(root_ / name, std::ios::binary) << bytes;
  }
  std::string Get(const char* name) const {
    std::ifstream in(root_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  size_t Entries() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(root_), {}));
  }
  fs::path root_;
};

TEST_F(CopyContentsTest, MadeContentsReplaceAndCreateWithTheSourcesTime) {
  Put("old", "old contents");
  for (const char* name : {"old", "new"}) {
    UpperCase upper(false);
    ASSERT_TRUE(platform::CopyOver(At("src").c_str(), At(name).c_str(), nullptr, &upper)) << name;
    EXPECT_EQ(upper.m_calls, 1);
    EXPECT_EQ(Get(name), std::string(100000, 'A') + "PATCHED");
    EXPECT_EQ(fs::last_write_time(root_ / name), fs::last_write_time(root_ / "src"));
  }
  EXPECT_EQ(Entries(), 3u);  // no temporary file stays
}

TEST_F(CopyContentsTest, CheckedCopiesPassOrWriteNothing) {
  Put("old", "old contents");
  Expect right(Get("src"));
  ASSERT_TRUE(platform::CopyOver(At("src").c_str(), At("old").c_str(), nullptr, &right));
  ASSERT_TRUE(platform::CopyOver(At("src").c_str(), At("new").c_str(), nullptr, &right));
  EXPECT_EQ(Get("old"), Get("src"));
  EXPECT_EQ(Get("new"), Get("src"));
  Put("kept", "kept contents");
  Expect wrong("something else");
  EXPECT_FALSE(platform::CopyOver(At("src").c_str(), At("kept").c_str(), nullptr, &wrong));
  EXPECT_FALSE(platform::CopyOver(At("src").c_str(), At("none").c_str(), nullptr, &wrong));
  EXPECT_EQ(Get("kept"), "kept contents");
  EXPECT_FALSE(fs::exists(root_ / "none"));
  EXPECT_EQ(Entries(), 4u);  // src, old, new, kept: no temporary file stays
}

// Large files are copied and examined in many pieces, partly on another
// thread: every byte must be examined once and in order, a difference in
// the last piece must fail the copy, and a check refused once must serve
// the next attempt afresh.
TEST_F(CopyContentsTest, CheckedCopiesInManyPiecesSeeEveryByteInOrder) {
  std::string big(size_t{33} << 20, '\0');
  std::mt19937 random(7);
  for (char& c : big) c = static_cast<char>(random());
  big += "tail!";
  Put("big", big);
  Put("kept", "kept contents");
  std::string damaged = big;
  damaged[damaged.size() - 2] ^= 1;
  Expect wrong(damaged);
  EXPECT_FALSE(platform::CopyOver(At("big").c_str(), At("kept").c_str(), nullptr, &wrong));
  EXPECT_FALSE(platform::CopyOver(At("big").c_str(), At("none").c_str(), nullptr, &wrong));
  EXPECT_EQ(Get("kept"), "kept contents");
  EXPECT_FALSE(fs::exists(root_ / "none"));
  Expect right(big);
  EXPECT_FALSE(platform::CopyOver(At("src").c_str(), At("none").c_str(), nullptr, &right));
  ASSERT_TRUE(platform::CopyOver(At("big").c_str(), At("kept").c_str(), nullptr, &right));
  ASSERT_TRUE(platform::CopyOver(At("big").c_str(), At("new").c_str(), nullptr, &right));
  EXPECT_TRUE(Get("kept") == big);
  EXPECT_TRUE(Get("new") == big);
  EXPECT_EQ(fs::last_write_time(root_ / "new"), fs::last_write_time(root_ / "big"));
  EXPECT_EQ(Entries(), 4u);  // src, big, kept, new: no temporary file stays
}

#ifdef _WIN32
// The Windows build copies checked files itself: the new file must carry
// the source's attributes as the system's copy does.
TEST_F(CopyContentsTest, CheckedCopiesKeepTheSourcesAttributes) {
  std::string path = (root_ / "src").string();
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
  Expect right(Get("src"));
  ASSERT_TRUE(platform::CopyOver(At("src").c_str(), At("new").c_str(), nullptr, &right));
  EXPECT_EQ(Get("new"), Get("src"));
  EXPECT_TRUE(GetFileAttributesA((root_ / "new").string().c_str()) & FILE_ATTRIBUTE_READONLY);
  for (const char* name : {"src", "new"}) {
    SetFileAttributesA((root_ / name).string().c_str(), FILE_ATTRIBUTE_NORMAL);
  }
}
#endif

TEST_F(CopyContentsTest, FailedContentsWriteNothing) {
  Put("old", "old contents");
  auto before = fs::last_write_time(root_ / "old");
  for (const char* name : {"old", "new"}) {
    UpperCase failing(true);
    platform::FileHandle source = platform::OpenExisting(At("src").c_str(), platform::Share::kNone);
    EXPECT_FALSE(platform::CopyOver(At("src").c_str(), At(name).c_str(), source, &failing));
  }
  EXPECT_EQ(Get("old"), "old contents");
  EXPECT_EQ(fs::last_write_time(root_ / "old"), before);
  EXPECT_FALSE(fs::exists(root_ / "new"));
  EXPECT_EQ(Entries(), 2u);  // src and old: nothing of the failed copies
}

}  // namespace
