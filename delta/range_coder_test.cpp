#include "delta/range_coder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace delta {
namespace {

TEST(RangeCoderTest, NumbersAndSymbolsRoundTripAndACutBodyIsBad) {
  std::vector<uint64_t> numbers = {0,
                                   1,
                                   2,
                                   3,
                                   15,
                                   16,
                                   17,
                                   255,
                                   256,
                                   1u << 20,
                                   0xFFFFFFFFull,
                                   0x100000000ull,
                                   (1ull << 62) + 12345,
                                   UINT64_MAX};
  for (int i = 0; i < 300; ++i) numbers.push_back(static_cast<uint64_t>(i) * i * 7919);
  std::string coded;
  {
    RangeEncoder rc(&coded);
    NumberModel model;
    BitTree<8> tree;
    for (uint64_t n : numbers) {
      model.Encode(&rc, n);
      tree.Encode(&rc, static_cast<unsigned>(n & 0xFF));
      rc.Direct(n, 13);
    }
    rc.Flush();
  }
  ASSERT_EQ(coded[0], '\0');
  auto decode = [&](const std::string& bytes, std::vector<uint64_t>* out) {
    MemoryInput in(bytes.data(), bytes.size());
    RangeDecoder rc(&in);
    if (!rc.Start()) return false;
    NumberModel model;
    BitTree<8> tree;
    for (size_t i = 0; i < numbers.size(); ++i) {
      uint64_t n = model.Decode(&rc);
      unsigned low = tree.Decode(&rc);
      uint64_t direct = rc.Direct(13);
      if (low != (n & 0xFF) || direct != (n & 0x1FFF)) return false;
      out->push_back(n);
    }
    return !rc.bad();
  };
  std::vector<uint64_t> back;
  ASSERT_TRUE(decode(coded, &back));
  EXPECT_EQ(back, numbers);
  back.clear();
  EXPECT_FALSE(decode(coded.substr(0, coded.size() / 2), &back));
  std::string notStarted = coded;
  notStarted[0] = 1;
  EXPECT_FALSE(decode(notStarted, &back));
}

}  // namespace
}  // namespace delta
