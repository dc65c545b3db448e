// Pack index: layouts, the name hash, scrambling, lookups, malformed indexes.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fileaccess/fpk.h"
#include "fileaccess/pack_format.h"
#include "fileaccess/pack_testing.h"
#include "fileaccess/pack_writer.h"
#include "platform/error_mode.h"
#include "platform/text.h"

namespace {

using pack::Layout;
using pack_testing::Bytes;
using pack_testing::Le32;
using pack_testing::TempFile;

std::vector<pack::Item> Items(const std::vector<std::string>& names) {
  std::vector<pack::Item> items;
  for (const std::string& name : names) items.push_back({name, "data of " + name});
  return items;
}

// The index as ReadIndex gives it, for checks on what a pack holds.
pack::Index LoadIndex(const std::string& path) {
  pack::Index index;
  platform::File file(platform::OpenExisting(path.c_str(), platform::Share::kRead));
  EXPECT_TRUE(file);
  EXPECT_TRUE(pack::ReadIndex(file.get(), &index));
  return index;
}

bool Matches(const pack::Index& index, int32_t i, const char* name) {
  char stored[25] = {};
  std::memcpy(stored, index.records[i].name, 24);
  return platform::CompareNoCase(name, stored) == 0;
}

// The lookup done the long way: in a hashed index a binary search by hash
// and a walk over the run of equal hashes, then (in any index) the scan in
// record order, case-blind, within 24 name bytes.
int32_t LongLookup(const pack::Index& index, const char* name) {
  uint16_t key = CFPK::HashName(name);
  const PackEntry* r = index.records.get();
  if (index.hashed && index.count > 0) {
    int32_t lo = 0, hi = index.count - 1, mid = hi / 2;
    while (r[mid].hash != key && lo < hi) {
      if (r[mid].hash < key)
        lo = mid + 1;
      else
        hi = mid - 1;
      mid = lo + (hi - lo) / 2;
    }
    if (r[mid].hash == key) {
      int32_t first = mid;
      while (first - 1 >= lo && r[first - 1].hash == key) --first;
      for (int32_t i = first; i <= hi; ++i) {
        if (Matches(index, i, name)) return i;
        if (r[i].hash != key) break;
      }
    }
  }
  for (int32_t i = 0; i < index.count; ++i) {
    if (index.hashed && r[i].hash != key) continue;
    if (Matches(index, i, name)) return i;
  }
  return -1;
}

TEST(PackHash, KnownValues) {
  EXPECT_EQ(CFPK::HashName("abc"), 398);
  EXPECT_EQ(CFPK::HashName("ABC"), 398);
  EXPECT_EQ(CFPK::HashName("update.lst"), 4060);
  EXPECT_EQ(CFPK::HashName(std::string(23, 'A').c_str()), 17940);
  EXPECT_EQ(CFPK::HashName(std::string(40, 'A').c_str()), 17940);
  EXPECT_EQ(CFPK::HashName("\x92\xBC\x90\xDA"), 64802);
  EXPECT_EQ(CFPK::HashName(""), 0);
  EXPECT_EQ(CFPK::HashName("\x83\x61"), CFPK::HashName("\x83\x41"));
}

TEST(PackHash, UnscrambleCoversIndexAndReachesIntoSpare) {
  PackEntry records[2] = {};
  CFPK::UnscrambleIndex(1, 0x11223344, records);
  uint32_t words[18];
  std::memcpy(words, records, sizeof(words));
  for (int i = 0; i < 10; ++i) EXPECT_EQ(words[i], 0x11223344u) << i;  // 36 + 4 bytes
  for (int i = 10; i < 18; ++i) EXPECT_EQ(words[i], 0u) << i;
  PackEntry spare[1] = {};
  CFPK::UnscrambleIndex(0, 0xFFFFFFFF, spare);  // one unit even with no records
  std::memcpy(words, spare, 12);
  EXPECT_EQ(words[0], 0xFFFFFFFFu);
  EXPECT_EQ(words[1], 0xFFFFFFFFu);
  EXPECT_EQ(words[2], 0u);
}

TEST(PackIndex, EveryLayoutFindsEveryEntry) {
  std::vector<std::string> names = {"update.lst", "ad", "cc", "b.bin", "Readme.TXT", "x"};
  for (Layout layout : {Layout::kPlain, Layout::kExtended, Layout::kHashed}) {
    TempFile file(pack::BuildPack(layout, 0xA5C3F00D, Items(names)));
    CFPK fpk;
    ASSERT_TRUE(fpk.OpenPack(file.path().c_str()));
    for (const std::string& name : names) {
      ASSERT_TRUE(fpk.OpenFile(name.c_str())) << name;
      EXPECT_EQ(pack_testing::ReadAll(fpk, 7), "data of " + name);
    }
    EXPECT_TRUE(fpk.OpenFile("README.txt"));  // case does not count
    EXPECT_FALSE(fpk.OpenFile("missing"));
    EXPECT_EQ(fpk.GetSize(), 0);
    pack::Index index = LoadIndex(file.path());
    EXPECT_EQ(index.hashed, layout == Layout::kHashed);
    EXPECT_EQ(index.records[1].hash,
              layout == Layout::kHashed ? CFPK::HashName(index.records[1].name) : 0);
  }
}

TEST(PackIndex, HeadWordChoosesLayout) {
  TempFile empty(Le32(0));
  CFPK fpk;
  ASSERT_TRUE(fpk.OpenPack(empty.path().c_str()));
  EXPECT_EQ(fpk.FindEntry(""), -1);
  // A second OpenPack closes the first pack.
  TempFile other(pack::BuildPack(Layout::kPlain, 0, Items({"other"})));
  ASSERT_TRUE(fpk.OpenPack(other.path().c_str()));
  EXPECT_EQ(fpk.FindEntry("other"), 0);
  fpk.ClosePack();
  // Extended, not scrambled: stored hashes are dropped and lookups scan.
  PackEntry a = pack::MakeRecord("one", 0, 0);
  PackEntry b = pack::MakeRecord("two", 0, 0);
  a.hash = b.hash = 0x1234;
  std::string bytes = Le32(0x01000002) + pack::IndexBytes(Layout::kHashed, 0, {a, b});
  TempFile extended(bytes + pack::Trailer(0, 4));
  pack::Index index = LoadIndex(extended.path());
  ASSERT_EQ(index.count, 2);
  EXPECT_FALSE(index.hashed);
  EXPECT_EQ(index.records[0].hash, 0);
  ASSERT_TRUE(fpk.OpenPack(extended.path().c_str()));
  EXPECT_EQ(fpk.FindEntry("TWO"), 1);
}

TEST(PackIndex, HashedLookupsOfCollisionsDuplicatesAndDisorder) {
  // "ad" and "cc" share a hash; 23-letter prefixes hash alike; 0x83 0x61
  // hashes as 0x83 0x41 but is another character.
  std::string long1 = std::string(23, 'q') + "1";
  std::string long2 = std::string(23, 'q') + "2";
  std::vector<std::string> names = {"ad", "cc", long1, long2, "\x83\x61", "dup", "DUP"};
  for (Layout layout : {Layout::kPlain, Layout::kHashed}) {
    TempFile file(pack::BuildPack(layout, 7, Items(names)));
    CFPK fpk;
    ASSERT_TRUE(fpk.OpenPack(file.path().c_str()));
    pack::Index index = LoadIndex(file.path());
    std::string longer = long1 + "2";
    for (const char* name : {"ad", "CC", long1.c_str(), long2.c_str(), "\x83\x61", "\x83\x41",
                             "dup", "Dup", longer.c_str(), "qq"}) {
      EXPECT_EQ(fpk.FindEntry(name), LongLookup(index, name)) << name;
    }
    ASSERT_TRUE(fpk.OpenFile(long2.c_str()));
    EXPECT_EQ(pack_testing::ReadAll(fpk, 100), "data of " + long2);
    ASSERT_TRUE(fpk.OpenFile("DuP"));
    EXPECT_EQ(pack_testing::ReadAll(fpk, 100), "data of dup");  // the lower record
    EXPECT_FALSE(fpk.OpenFile("\x83\x41"));
  }
  // A hashed index out of order: the binary search misses, the scan finds.
  std::vector<PackEntry> records;
  for (const char* name : {"zz", "a", "m", "b", "y"})
    records.push_back(pack::MakeRecord(name, 0, 0));
  std::vector<PackEntry> sorted = records;
  pack::SortForHashedIndex(&sorted);  // sets the hashes
  for (PackEntry& r : records) r.hash = CFPK::HashName(r.name);
  TempFile unsorted(Le32(0x80000005) + pack::IndexBytes(Layout::kHashed, 99, records) +
                    pack::Trailer(99, 4));
  CFPK fpk;
  ASSERT_TRUE(fpk.OpenPack(unsorted.path().c_str()));
  for (int round = 0; round < 2; ++round) {  // the second round goes through the table
    EXPECT_EQ(fpk.FindEntry("zz"), 0);
    EXPECT_EQ(fpk.FindEntry("A"), 1);
    EXPECT_EQ(fpk.FindEntry("y"), 4);
    EXPECT_EQ(fpk.FindEntry("q"), -1);
  }
}

TEST(PackIndex, TableLookupsEqualTheScan) {
  std::mt19937 random(5);
  // Valid code page 932 text, so that names that compare equal hash alike.
  const std::vector<std::string> alphabet = {"a", "A", "b", "B",        "-",
                                             "_", ".", "z", "\x83\x61", "\x83\x41"};
  auto pick = [&] { return alphabet[random() % alphabet.size()]; };
  std::vector<std::string> names;
  for (int i = 0; i < 3000; ++i) {
    std::string name;
    for (int n = 1 + random() % 4; n > 0; --n) name += pick();
    names.push_back(name);
  }
  names.push_back(std::string(24, 'k'));  // fills all 24 bytes: no terminator
  for (Layout layout : {Layout::kPlain, Layout::kHashed}) {
    TempFile file(pack::BuildPack(layout, 3, Items(names)));
    pack::Index index = LoadIndex(file.path());
    CFPK fpk;
    ASSERT_TRUE(fpk.OpenPack(file.path().c_str()));
    for (int i = 0; i < 4000; ++i) {
      std::string name = names[random() % names.size()];
      if (i % 3 == 0) name += pick();
      if (i % 5 == 0 && !name.empty()) name[0] ^= 0x20;
      ASSERT_EQ(fpk.FindEntry(name.c_str()), LongLookup(index, name.c_str())) << name;
    }
    EXPECT_EQ(fpk.FindEntry(std::string(24, 'K').c_str()),
              LongLookup(index, std::string(24, 'k').c_str()));
    EXPECT_EQ(fpk.FindEntry(std::string(25, 'k').c_str()), -1);
  }
}

TEST(PackIndex, TableLookupsEqualTheLongWayInMalformedHashedIndexes) {
  // Stored hashes that are not the names' own, runs out of order, and
  // duplicate names: whatever the long way finds, the table finds too.
  // The walk compares the name of the record after the run before its hash:
  // "q" under another hash is found there, where the scan would not.
  PackEntry zz = pack::MakeRecord("zz", 0, 0);
  PackEntry q = pack::MakeRecord("q", 0, 0);
  zz.hash = CFPK::HashName("q");
  q.hash = static_cast<uint16_t>(zz.hash + 1);
  TempFile next(Le32(0x80000002) + pack::IndexBytes(Layout::kHashed, 0, {zz, q}) +
                pack::Trailer(0, 4));
  CFPK walk;
  ASSERT_TRUE(walk.OpenPack(next.path().c_str()));
  EXPECT_EQ(walk.FindEntry("q"), 1);
  EXPECT_EQ(walk.FindEntry("Q"), 1);  // through the table

  std::mt19937 random(9);
  for (int round = 0; round < 20; ++round) {
    std::vector<PackEntry> records;
    std::vector<std::string> names;
    for (int i = 0; i < 400; ++i) {
      std::string name = std::string(1, static_cast<char>('a' + random() % 3)) +
                         std::string(1, static_cast<char>('A' + random() % 3));
      names.push_back(name);
      records.push_back(pack::MakeRecord(name, 0, 0));
    }
    pack::SortForHashedIndex(&records);
    for (int i = 0; i < 30; ++i) records[random() % records.size()].hash = random() % 400;
    for (int i = 0; i < round; ++i) std::swap(records[random() % 400], records[random() % 400]);
    uint32_t key = random();
    TempFile file(Le32(0x80000000 | 400) + pack::IndexBytes(Layout::kHashed, key, records) +
                  pack::Trailer(key, 4));
    pack::Index index = LoadIndex(file.path());
    CFPK fpk;
    ASSERT_TRUE(fpk.OpenPack(file.path().c_str()));
    for (int i = 0; i < 200; ++i) {
      const std::string& name = names[random() % names.size()];
      ASSERT_EQ(fpk.FindEntry(name.c_str()), LongLookup(index, name.c_str()))
          << round << " " << name;
    }
  }
}

TEST(PackIndex, MalformedIndexesHoldOnlyWholeRecords) {
  std::string records = pack::IndexBytes(
      Layout::kPlain, 0, {pack::MakeRecord("a", 0, 0), pack::MakeRecord("b", 0, 0)});
  // Five records announced, two and a half there.
  TempFile truncated(Le32(5) + records + std::string(16, 'c'));
  EXPECT_EQ(LoadIndex(truncated.path()).count, 2);
  // 16,777,215 records announced in a ten-byte file: nothing to allocate.
  TempFile huge(Le32(0x00FFFFFF) + "123456");
  EXPECT_EQ(LoadIndex(huge.path()).count, 0);
  // An index offset past the end (and one of 2^31 or more).
  TempFile past(Le32(0x80000002) + std::string(72, 'x') + pack::Trailer(0, 5000));
  EXPECT_EQ(LoadIndex(past.path()).count, 0);
  TempFile far(Le32(0x80000002) + std::string(72, 'x') + pack::Trailer(0, 0x80000004));
  EXPECT_EQ(LoadIndex(far.path()).count, 0);
  CFPK fpk;
  EXPECT_TRUE(fpk.OpenPack(past.path().c_str()));
  EXPECT_FALSE(fpk.OpenFile("x"));
  fpk.ClosePack();
  // No whole head word, or an extended pack without its trailer.
  TempFile shortHead(Bytes({1, 0}));
  EXPECT_FALSE(fpk.OpenPack(shortHead.path().c_str()));
  TempFile noTrailer(Le32(0x01000000) + "abc");
  EXPECT_FALSE(fpk.OpenPack(noTrailer.path().c_str()));
}

TEST(PackIndex, MissingPackRestoresErrorMode) {
  uint32_t before = platform::SetFileErrorMode(0x0001);
  CFPK fpk;
  EXPECT_FALSE(fpk.OpenPack("no such pack.pack"));
  EXPECT_EQ(platform::SetFileErrorMode(before), 0x0001u);
  EXPECT_EQ(fpk.GetSize(), 0);
  EXPECT_FALSE(fpk.OpenFile("x"));
}

}  // namespace
