// The check of a copied file as written, on its own thread: every byte of the
// file is examined once and in order, whatever the copy told it, and a
// failed check leaves the check ready for the next attempt.
#include "platform/posix/files/written_examiner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>

#include "platform/posix/files/descriptor.h"
#include "platform/testing/expected_bytes.h"

namespace {

using Expect = platform::testing::ExpectedBytes;

class WrittenExaminerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 random(11);
    for (char& c : big_) c = static_cast<char>(random());
  }
  // A new nameless file in the temporary folder, holding bytes.
  static platform::posix::Descriptor Written(const std::string& bytes) {
    platform::posix::Descriptor fd(
        ::open(std::filesystem::temp_directory_path().c_str(), O_TMPFILE | O_RDWR, 0600));
    EXPECT_GE(fd.get(), 0);
    EXPECT_EQ(::write(fd.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    return fd;
  }
  std::string big_ = std::string((size_t{40} << 20) + 3, '\0');
};

TEST_F(WrittenExaminerTest, EveryByteOfTheFileIsExaminedWhateverTheCopyReported) {
  platform::posix::Descriptor fd = Written(big_);
  Expect expect(big_);
  // Large: examined on the thread as reported, the rest by Finish.
  {
    platform::posix::WrittenExaminer examiner(fd.get(), &expect, big_.size());
    EXPECT_TRUE(examiner.Written(size_t{16} << 20));
    EXPECT_TRUE(examiner.Written(size_t{32} << 20));
    EXPECT_TRUE(examiner.Finish());
  }
  // Nothing reported, or a small file: Finish examines it all.
  {
    platform::posix::WrittenExaminer examiner(fd.get(), &expect, big_.size());
    EXPECT_TRUE(examiner.Finish());
  }
  std::string small = big_.substr(0, 1000);
  platform::posix::Descriptor smallFd = Written(small);
  Expect expectSmall(small);
  platform::posix::WrittenExaminer examiner(smallFd.get(), &expectSmall, small.size());
  EXPECT_TRUE(examiner.Written(small.size()));
  EXPECT_TRUE(examiner.Finish());
}

TEST_F(WrittenExaminerTest, AFailedCheckLeavesTheCheckReadyForTheNextAttempt) {
  std::string damaged = big_;
  damaged[(size_t{20} << 20) + 5] ^= 0x40;
  platform::posix::Descriptor bad = Written(damaged);
  platform::posix::Descriptor good = Written(big_);
  Expect expect(big_);
  {
    platform::posix::WrittenExaminer examiner(bad.get(), &expect, damaged.size());
    examiner.Written(size_t{32} << 20);
    EXPECT_FALSE(examiner.Finish());
  }
  {
    // Abandoned half way, as a copy that failed: no Finish.
    platform::posix::WrittenExaminer examiner(good.get(), &expect, big_.size());
    examiner.Written(size_t{16} << 20);
  }
  platform::posix::WrittenExaminer examiner(good.get(), &expect, big_.size());
  examiner.Written(big_.size());
  EXPECT_TRUE(examiner.Finish());
}

}  // namespace
