#include "platform/sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace platform {
namespace {

std::string Hex(const std::string& text) { return HexDigest(Sha256::Of(text.data(), text.size())); }

TEST(Sha256Test, KnownDigests) {
  EXPECT_EQ(Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  // One million 'a': many blocks, and a length past 2^23 bits.
  EXPECT_EQ(Hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256Test, PiecesOfAnySizeGiveTheSameDigest) {
  std::string data;
  for (int i = 0; i < 1000; ++i) data.push_back(static_cast<char>(i * 7 + i / 13));
  Sha256Digest whole = Sha256::Of(data.data(), data.size());
  for (size_t piece : {1u, 3u, 55u, 56u, 63u, 64u, 65u, 127u}) {
    Sha256 hash;
    for (size_t at = 0; at < data.size(); at += piece) {
      hash.Update(data.data() + at, std::min(piece, data.size() - at));
    }
    EXPECT_EQ(hash.Finish(), whole) << piece;
  }
}

TEST(Sha256Test, ProcessorInstructionsGiveThePortableResult) {
  if (!internal::Sha256Accelerated()) GTEST_SKIP() << "no SHA extensions on this processor";
  std::string data;
  for (int i = 0; i < 64 * 37; ++i) data.push_back(static_cast<char>(i * 131 + i / 7));
  uint32_t fast[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint32_t slow[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  internal::Sha256Blocks(fast, reinterpret_cast<const uint8_t*>(data.data()), 37);
  internal::Sha256BlocksPortable(slow, reinterpret_cast<const uint8_t*>(data.data()), 37);
  EXPECT_EQ(std::vector<uint32_t>(fast, fast + 8), std::vector<uint32_t>(slow, slow + 8));
}

TEST(Sha256Test, HexDigestsParseBackAndRefuseOthers) {
  Sha256Digest digest = Sha256::Of("abc", 3);
  std::string hex = HexDigest(digest);
  Sha256Digest back{};
  ASSERT_TRUE(ParseHexDigest(hex.data(), hex.size(), &back));
  EXPECT_EQ(back, digest);
  std::string upper = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
  ASSERT_TRUE(ParseHexDigest(upper.data(), upper.size(), &back));
  EXPECT_EQ(back, digest);
  EXPECT_FALSE(ParseHexDigest(hex.data(), 63, &back));
  hex[10] = 'g';
  EXPECT_FALSE(ParseHexDigest(hex.data(), hex.size(), &back));
}

}  // namespace
}  // namespace platform
