// The copy with made contents (a checked copy, a file made from a delta)
// against real scratch folders: it keeps the copy's guarantees, and contents
// that fail leave the destination as it was and nothing of their own.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>

#include "platform/file.h"
#include "platform/fs.h"

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

// The source copied as it stands, its bytes examined as written: the check
// passes when they come in order and are what it expects, and refuses the
// first piece that differs, as a hash of the bytes seen so far would.
class Expect : public platform::CopyContents {
 public:
  explicit Expect(std::string bytes) : m_bytes(std::move(bytes)) {}
  bool Unchanged() const override { return true; }
  bool Produce(platform::FileHandle, platform::CopySink*) override { return false; }
  bool Examine(const void* data, uint32_t count) override {
    m_wrong = m_wrong || count > m_bytes.size() - m_seen ||
              std::memcmp(m_bytes.data() + m_seen, data, count) != 0;
    if (!m_wrong) m_seen += count;
    return !m_wrong;
  }
  bool Passed() override {
    bool passed = !m_wrong && m_seen == m_bytes.size();
    m_seen = 0;
    m_wrong = false;
    return passed;
  }

 private:
  std::string m_bytes;
  size_t m_seen = 0;
  bool m_wrong = false;
};

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
  EXPECT_EQ(Entries(), 4u);  // src, big, kept, new: no temporary file stays
}

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
