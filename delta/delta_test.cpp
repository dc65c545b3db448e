#include <gtest/gtest.h>

#include <cstdio>
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
      EXPECT_EQ(SuffixArrayBySais(U(text), n), sa);
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

ManifestEntry EntryFor(const std::string& delta) {
  ManifestEntry entry;
  EXPECT_TRUE(DeltaFileEntry("game.exe", delta, &entry));
  return entry;
}

TEST(DeltaTest, EveryKindOfDamageIsRefused) {
  std::string old = Random(100000, 5);
  std::string next = old.substr(0, 40000) + Random(3000, 6) + old.substr(41000);
  std::string delta = MakeDelta(U(old), old.size(), U(next), next.size());
  ManifestEntry entry = EntryFor(delta);
  EXPECT_EQ(entry.hash, platform::Sha256::Of(next.data(), next.size()));
  EXPECT_EQ(entry.baseHash, platform::Sha256::Of(old.data(), old.size()));
  std::string out;
  ASSERT_EQ(Apply(delta, old, &out, &entry), ApplyResult::kApplied);

  // The player's own version of the file: refused before anything is written.
  std::string modified = old;
  modified[99999] ^= 1;
  EXPECT_EQ(Apply(delta, modified, &out, &entry), ApplyResult::kWrongBase);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(Apply(delta, old + "x", &out), ApplyResult::kWrongBase);

  // Every single flipped byte: the header's, the body's, the last ones.
  for (size_t at = 0; at < delta.size(); at += (at < 200 || at + 20 > delta.size()) ? 1 : 37) {
    std::string flipped = delta;
    flipped[at] ^= 0x10;
    EXPECT_NE(Apply(flipped, old, &out, &entry), ApplyResult::kApplied) << at;
  }
  // Cut anywhere, lengthened, or another delta in its place.
  for (size_t cut :
       {size_t{0}, size_t{50}, size_t{96}, size_t{97}, delta.size() / 2, delta.size() - 1}) {
    EXPECT_NE(Apply(delta.substr(0, cut), old, &out, &entry), ApplyResult::kApplied) << cut;
    EXPECT_NE(Apply(delta.substr(0, cut), old, &out), ApplyResult::kApplied) << cut;
  }
  EXPECT_EQ(Apply(delta + '\0', old, &out, &entry), ApplyResult::kDamaged);
  std::string other = MakeDelta(U(old), old.size(), U(old), old.size());
  EXPECT_EQ(Apply(other, old, &out, &entry), ApplyResult::kDamaged);
  EXPECT_EQ(Apply("not a delta", old, &out), ApplyResult::kNotADelta);
}

TEST(DeltaTest, FilesThroughThePlatformLayer) {
  std::string old = Random(70000, 8);
  std::string next = old.substr(1000) + "tail";
  std::string delta = MakeDelta(U(old), old.size(), U(next), next.size());
  ManifestEntry entry = EntryFor(delta);
  std::string folder = ::testing::TempDir();
  std::string basePath = folder + "delta_test_base.bin";
  std::string deltaPath = folder + "delta_test_delta.bin";
  auto write = [](const std::string& path, const std::string& data) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
    std::fclose(f);
  };
  write(basePath, old);
  write(deltaPath, delta);
  std::string out;
  StringOutput o(&out);
  EXPECT_EQ(ApplyDeltaFiles(deltaPath.c_str(), basePath.c_str(), &o, &entry),
            ApplyResult::kApplied);
  EXPECT_TRUE(out == next);
  NullOutput discard;
  EXPECT_EQ(ApplyDeltaFiles(deltaPath.c_str(), (basePath + ".missing").c_str(), &discard, &entry),
            ApplyResult::kWrongBase);
  std::remove(basePath.c_str());
  std::remove(deltaPath.c_str());
}

// A base of 6 GiB that exists only as a formula, so that positions past
// 4 GiB are exercised without such a file.
class HugeBase : public Base {
 public:
  uint64_t Size() const override { return 6ull << 30; }
  bool ReadAt(uint64_t offset, void* dest, uint32_t count) override {
    if (offset > Size() || count > Size() - offset) return false;
    for (uint32_t i = 0; i < count; ++i) {
      static_cast<uint8_t*>(dest)[i] = static_cast<uint8_t>((offset + i) >> 29);
    }
    return true;
  }
};

TEST(DeltaTest, OffsetsPastFourGibibytesAndPastTheBase) {
  struct Step {
    int64_t seek;
    uint64_t add;
    std::string copy;
  };
  auto body = [](const std::vector<Step>& steps) {
    std::string out;
    BytesWriter writer(&out);
    for (const Step& step : steps) {
      writer.Seek(step.seek);
      writer.Add(nullptr, nullptr, step.add);
      writer.Copy(U(step.copy), step.copy.size());
    }
    writer.Finish();
    return out;
  };
  auto run = [&](const std::vector<Step>& steps, uint64_t resultSize, std::string* out) {
    std::string coded = body(steps);
    MemoryInput in(coded.data(), coded.size());
    RangeDecoder rc(&in);
    EXPECT_TRUE(rc.Start());
    DeltaHeader header;
    header.baseSize = 6ull << 30;
    header.resultSize = resultSize;
    HugeBase base;
    out->clear();
    StringOutput o(out);
    return internal::ApplyBytesBody(header, &rc, &base, &o);
  };
  std::string out;
  // 5 GiB in: the bytes there are 10; back 3 GiB: 4.
  ASSERT_EQ(run({{5ll << 30, 2, "ab"}, {-(3ll << 30) - 2, 1, ""}}, 5, &out), ApplyResult::kApplied);
  EXPECT_EQ(out, std::string("\x0a\x0a"
                             "ab"
                             "\x04",
                             5));
  // Past the end, before the start, more than the result, and no progress.
  EXPECT_EQ(run({{6ll << 30, 1, ""}}, 1, &out), ApplyResult::kDamaged);
  EXPECT_EQ(run({{(6ll << 30) - 1, 2, ""}}, 2, &out), ApplyResult::kDamaged);
  EXPECT_EQ(run({{-1, 1, ""}}, 1, &out), ApplyResult::kDamaged);
  EXPECT_EQ(run({{0, 0, "abc"}}, 2, &out), ApplyResult::kDamaged);
  EXPECT_EQ(run({{0, 0, ""}, {0, 1, ""}}, 1, &out), ApplyResult::kDamaged);
  EXPECT_EQ(run({{INT64_MIN, 1, ""}}, 1, &out), ApplyResult::kDamaged);
}

}  // namespace
}  // namespace delta
