#include <gtest/gtest.h>

#include <random>
#include <string>

#include "delta/apply.h"
#include "delta/make.h"
#include "delta/suffix_array.h"

namespace delta {
namespace {

const uint8_t* U(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string Random(size_t n, uint32_t seed, int alphabet = 256) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() % alphabet);
  return s;
}

ApplyResult Apply(const std::string& delta, const std::string& base, std::string* out,
                  const ManifestEntry* entry = nullptr) {
  out->clear();
  MemoryInput in(delta.data(), delta.size());
  MemoryBase b(base.data(), base.size());
  StringOutput o(out);
  return ApplyDelta(&in, &b, &o, entry);
}

TEST(SuffixArrayTest, MatchesASortOfAllSuffixes) {
  for (int alphabet : {1, 2, 4, 256}) {
    for (size_t n : {0u, 1u, 2u, 7u, 8u, 100u, 3000u}) {
      std::string text = Random(n, static_cast<uint32_t>(n * 31 + alphabet), alphabet);
      std::vector<int32_t> sa = SuffixArray(U(text), n);
      std::vector<int32_t> want(n);
      for (size_t i = 0; i < n; ++i) want[i] = static_cast<int32_t>(i);
      std::sort(want.begin(), want.end(),
                [&](int32_t a, int32_t b) { return text.compare(a, n, text, b, n) < 0; });
      EXPECT_EQ(sa, want) << "n=" << n << " alphabet=" << alphabet;
    }
  }
}

TEST(DeltaTest, RoundTripsOnKindsOfChange) {
  std::string base = Random(200000, 1);
  std::vector<std::pair<std::string, std::string>> pairs;
  std::string edited = base;
  for (size_t i = 1000; i < edited.size(); i += 4099) edited[i] = static_cast<char>(edited[i] + 3);
  pairs.push_back({base, edited});
  pairs.push_back({base, base.substr(5000, 100000) + Random(777, 2) + base.substr(0, 4000)});
  pairs.push_back({base, base});
  pairs.push_back({base, ""});
  pairs.push_back({"", base.substr(0, 5000)});
  pairs.push_back({"", ""});
  pairs.push_back({"x", Random(10, 3)});
  pairs.push_back({std::string(50000, '\0'), std::string(60000, '\0') + "tail"});
  for (const auto& [old, next] : pairs) {
    std::string delta = MakeDelta(U(old), old.size(), U(next), next.size());
    std::string out;
    ASSERT_EQ(Apply(delta, old, &out), ApplyResult::kApplied) << old.size() << " " << next.size();
    EXPECT_EQ(out, next);
  }
}

TEST(DeltaTest, SmallChangesMakeSmallDeltas) {
  std::string base = Random(1 << 20, 4);
  std::string next = base;
  for (size_t i = 0; i < 20; ++i) next[i * 50000 + 7] ^= 0x55;
  next.insert(300000, "a few new bytes");
  std::string delta = MakeDelta(U(base), base.size(), U(next), next.size());
  EXPECT_LT(delta.size(), 600u);
}

}  // namespace
}  // namespace delta
