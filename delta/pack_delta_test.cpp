#include <gtest/gtest.h>

#include <random>
#include <string>

#include "delta/apply.h"
#include "delta/make.h"
#include "delta/pack_entries.h"
#include "fileaccess/pack_writer.h"

namespace delta {
namespace {

const uint8_t* U(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Text-like content that the codings compress, different per seed.
std::string Content(uint32_t seed, size_t size) {
  std::mt19937 rng(seed);
  static const char* kWords[] = {"map ", "tile ", "enemy ", "0042 ", "\n", "sprite ", "zz"};
  std::string s;
  while (s.size() < size) s += kWords[rng() % 7];
  s.resize(size);
  return s;
}

pack::Item Entry(const std::string& name, const std::string& data, EntryCoding coding) {
  return {name, EncodeEntry(coding, data)};
}

std::string Applied(const std::string& delta, const std::string& base) {
  std::string out;
  MemoryInput in(delta.data(), delta.size());
  MemoryBase b(base.data(), base.size());
  StringOutput o(&out);
  ApplyResult result = ApplyDelta(&in, &b, &o);
  return result == ApplyResult::kApplied ? out : std::string("failed: ") + ApplyResultText(result);
}

TEST(PackDeltaTest, ChangedAddedAndRemovedEntriesInEveryLayout) {
  const EntryCoding kCodings[] = {EntryCoding::kZlc2, EntryCoding::kRle0, EntryCoding::kStored};
  std::vector<pack::Item> oldItems, newItems;
  for (uint32_t i = 0; i < 300; ++i) {
    std::string name = "entry" + std::to_string(i) + ".dat";
    std::string data = Content(i, 2000 + i * 37);
    EntryCoding coding = kCodings[i % 3];
    oldItems.push_back(Entry(name, data, coding));
    if (i % 50 == 7) continue;  // removed in NEW
    if (i % 40 == 3) {
      data.replace(100, 5, "CHANGED");  // a small change inside the entry
      data += Content(i + 1000, 50);
    }
    // Names are found without regard to case.
    newItems.push_back(Entry(i == 9 ? "ENTRY9.DAT" : name, data, coding));
  }
  newItems.push_back(Entry("added.dat", Content(5000, 3000), EntryCoding::kZlc2));
  for (pack::Layout layout :
       {pack::Layout::kPlain, pack::Layout::kExtended, pack::Layout::kHashed}) {
    std::string oldPack = pack::BuildPack(layout, 0x1234567, oldItems);
    std::string newPack = pack::BuildPack(layout, 0x1234567, newItems);
    std::string packDelta = MakePackDelta(U(oldPack), oldPack.size(), U(newPack), newPack.size());
    ASSERT_TRUE(Applied(packDelta, oldPack) == newPack) << static_cast<int>(layout);
    std::string plain = MakeDelta(U(oldPack), oldPack.size(), U(newPack), newPack.size());
    // Smaller than the byte-wise delta, and a small part of the pack.
    EXPECT_LT(packDelta.size(), plain.size()) << static_cast<int>(layout);
    EXPECT_LT(packDelta.size(), newPack.size() / 200) << static_cast<int>(layout);
  }
}

TEST(PackDeltaTest, EntriesTheEncoderDoesNotReproduceAndNonPacksStillApply) {
  std::string data = Content(1, 5000);
  std::string other = data;
  other[10] = '#';
  // A Zlc2 entry coded all in literals: valid, but not what the encoder
  // writes, so it is diffed as bytes.
  std::string literal = EncodeEntry(EntryCoding::kZlc2, "");
  literal.resize(4);
  literal += std::string("\x88\x13\0\0", 4);
  for (size_t i = 0; i < other.size(); ++i) {
    if (i % 8 == 0) literal.push_back('\0');
    literal.push_back(other[i]);
  }
  std::string oldPack = pack::BuildPack(pack::Layout::kPlain, 0,
                                        {Entry("a", data, EntryCoding::kZlc2), {"b", "bbbb"}});
  std::string newPack = pack::BuildPack(pack::Layout::kPlain, 0, {{"a", literal}, {"b", "bbbb"}});
  std::string delta = MakePackDelta(U(oldPack), oldPack.size(), U(newPack), newPack.size());
  EXPECT_TRUE(Applied(delta, oldPack) == newPack);

  std::string notPack = "\xff\xff\xff\x7f tiny";
  delta = MakePackDelta(U(notPack), notPack.size(), U(newPack), newPack.size());
  EXPECT_TRUE(Applied(delta, notPack) == newPack);
  delta = MakePackDelta(U(oldPack), oldPack.size(), U(notPack), notPack.size());
  EXPECT_TRUE(Applied(delta, oldPack) == notPack);
  // Packs without a name in common are diffed as bytes (kind 0 at offset 12).
  std::string unrelated = pack::BuildPack(pack::Layout::kPlain, 0, {{"c", "cccc"}});
  delta = MakePackDelta(U(oldPack), oldPack.size(), U(unrelated), unrelated.size());
  EXPECT_EQ(delta[12], 0);
  EXPECT_TRUE(Applied(delta, oldPack) == unrelated);
}

TEST(PackDeltaTest, EntriesTooLargeToEncodeAgainAreDiffedAsBytes) {
  std::string big = Content(3, kMaxReencodedEntry + 1000);
  std::string changed = big;
  changed.replace(kMaxReencodedEntry / 2, 7, "CHANGED");
  std::string oldPack =
      pack::BuildPack(pack::Layout::kExtended, 0, {Entry("big", big, EntryCoding::kZlc2)});
  std::string newPack =
      pack::BuildPack(pack::Layout::kExtended, 0, {Entry("big", changed, EntryCoding::kZlc2)});
  std::string delta = MakePackDelta(U(oldPack), oldPack.size(), U(newPack), newPack.size());
  EXPECT_TRUE(Applied(delta, oldPack) == newPack);
  EXPECT_LT(delta.size(), 2000u);
}

}  // namespace
}  // namespace delta
