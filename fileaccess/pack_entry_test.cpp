// Pack entries: the Zlc2, Rle0 and Stored codings, their ends, and cut or
// malformed entries.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fileaccess/fpk.h"
#include "fileaccess/pack_testing.h"
#include "fileaccess/pack_writer.h"

namespace {

using pack_testing::Bytes;
using pack_testing::Le32;
using pack_testing::ReadAll;
using pack_testing::Rle0Head;
using pack_testing::TempFile;
using pack_testing::Zlc2Head;

// A plain pack of the given entries, then what reading each one gives:
// its bytes, or "<closed>" when it can't be opened.
class EntryReader {
 public:
  explicit EntryReader(const std::vector<std::string>& entries, const std::string& tail = "")
      : m_file(Build(entries, tail)) {
    EXPECT_TRUE(m_fpk.OpenPack(m_file.path().c_str()));
  }
  std::string Read(int index, int32_t piece = 4096) {
    if (!m_fpk.OpenFile(std::to_string(index).c_str())) return "<closed>";
    return ReadAll(m_fpk, piece);
  }
  CFPK& fpk() { return m_fpk; }

 private:
  static std::string Build(const std::vector<std::string>& entries, const std::string& tail) {
    std::vector<pack::Item> items;
    for (size_t i = 0; i < entries.size(); ++i) items.push_back({std::to_string(i), entries[i]});
    return pack::BuildPack(pack::Layout::kPlain, 0, items) + tail;
  }
  TempFile m_file;
  CFPK m_fpk;
};

std::string Rle(const std::string& packed, uint32_t unpacked, uint32_t method = 1) {
  return Rle0Head(static_cast<uint32_t>(packed.size()), unpacked, method) + packed;
}

TEST(PackLz, ExamplesDecodeAndStopAtTheirSize) {
  // The third stream is followed by more tokens (and the next entry's
  // bytes): reads end at the entry's size all the same.
  EntryReader pack({Zlc2Head(8) + Bytes({0x20, 0x41, 0x42, 0x02, 0x03}),
                    Zlc2Head(19) + Bytes({0x40, 0x41, 0x01, 0x0F}),
                    Zlc2Head(3) + Bytes({0x80, 0x00, 0x00, 0x41, 0x42}), "tail"});
  EXPECT_EQ(pack.Read(0), "ABABABAB");
  EXPECT_EQ(pack.fpk().GetSize(), 8);
  EXPECT_EQ(pack.Read(1), std::string(19, 'A'));
  EXPECT_EQ(pack.Read(2, 1), std::string(3, '\0'));
  EXPECT_EQ(pack.Read(3), "tail");
}

TEST(PackLz, CutStreamsDeliverWhatTheyHold) {
  // The pack ends inside a reference: the literals before it come out.
  EntryReader cut({"x", Zlc2Head(100) + Bytes({0x20, 0x41, 0x42, 0x02})});
  EXPECT_EQ(cut.Read(1), "AB");
  EXPECT_EQ(cut.fpk().GetSize(), 100);
  // No byte after the header, a header cut short, a size beyond 2 GiB.
  EntryReader empty({"x", Zlc2Head(5)});
  EXPECT_EQ(empty.Read(1), "<closed>");
  EntryReader shortHead({"x", "ZLC2" + Bytes({1, 0})});
  EXPECT_EQ(shortHead.Read(1), "<closed>");
  EntryReader huge({Zlc2Head(0x80000000) + Bytes({0x00, 1, 2, 3})});
  EXPECT_EQ(huge.Read(0), "<closed>");
}

TEST(PackRle, ExampleAndControlBytes) {
  const std::string example =
      Bytes({0x02, 0x41, 0x42, 0x43, 0x7A, 0x81, 0x31, 0x32, 0xC1, 0x61, 0x62, 0x63});
  RleHeader header{{'R', 'L', 'E', '0'}, 0, 12, 16, 1, 0};
  uint8_t out[16];
  ASSERT_TRUE(CFPK::DecodeRle(out, reinterpret_cast<const uint8_t*>(example.data()), &header));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 16), "ABzzzz1212abcabc");

  EntryReader pack({Rle(Bytes({0x00}) + std::string(64, 'L'), 64), Rle(Bytes({0x40, 'b'}), 65),
                    Rle(Bytes({0x80, 'p', 'q'}), 130), Rle(Bytes({0xC0, 'x', 'y', 'z'}), 195),
                    Rle("as is", 5, 0), Rle("as is", 5, 2), Rle(example, 16)});
  EXPECT_EQ(pack.Read(0), std::string(64, 'L'));
  EXPECT_EQ(pack.Read(1), std::string(65, 'b'));
  std::string pairs, triples;
  for (int i = 0; i < 65; ++i) pairs += "pq", triples += "xyz";
  EXPECT_EQ(pack.Read(2), pairs);
  EXPECT_EQ(pack.Read(3), triples);
  EXPECT_EQ(pack.Read(4), "as is");
  EXPECT_EQ(pack.Read(5), "<closed>");  // method 2
  ASSERT_TRUE(pack.fpk().OpenFile("6"));
  char buffer[32];
  EXPECT_EQ(pack.fpk().Read(buffer, 10), 10);
  EXPECT_EQ(pack.fpk().Read(buffer, 10), 6);
  EXPECT_EQ(pack.fpk().Read(buffer, 10), 0);  // past the end
}

TEST(PackRle, BoundsOfMalformedBlocks) {
  EntryReader pack({
      Rle(Bytes({0x7F, 'r'}), 10),                 // a run longer than the entry: cut
      Rle(Bytes({0x41, 'a', 0x05, 'x', 'y'}), 8),  // literal's operands cut: zeros
      Rle("abc", 6, 0),                            // method 0, short: zeros follow
      Rle0Head(1000, 4, 1) + "abc",                // packed data past the pack's end
      Rle0Head(0, 0x80000000, 0),                  // beyond 2 GiB
      "RLE0" + Le32(0) + Le32(0),                  // header cut by the end of the pack
  });
  EXPECT_EQ(pack.Read(0), std::string(10, 'r'));
  EXPECT_EQ(pack.Read(1), std::string("aa") + std::string(6, '\0'));
  EXPECT_EQ(pack.Read(2), std::string("abc") + std::string(3, '\0'));
  EXPECT_EQ(pack.Read(3), "<closed>");
  EXPECT_EQ(pack.Read(4), "<closed>");
  EXPECT_EQ(pack.Read(5), "<closed>");
  // Nearly 2 GiB from two packed bytes: a run, then zeros that take no memory.
  EntryReader large({Rle(Bytes({0x42, 'w'}), 0x7FFFFFFF)});
  ASSERT_TRUE(large.fpk().OpenFile("0"));
  EXPECT_EQ(large.fpk().GetSize(), 0x7FFFFFFF);
  char head[8];
  ASSERT_EQ(large.fpk().Read(head, 8), 8);
  EXPECT_EQ(std::string(head, 8), std::string("www") + std::string(5, '\0'));
  // DecodeRle on its own zeroes what no token reached.
  RleHeader header{{'R', 'L', 'E', '0'}, 0, 2, 6, 1, 0};
  uint8_t out[6] = {9, 9, 9, 9, 9, 9};
  ASSERT_TRUE(CFPK::DecodeRle(out, reinterpret_cast<const uint8_t*>("\x01z"), &header));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 6), std::string("z") + std::string(5, '\0'));
  header.magic[0] = 'X';
  EXPECT_FALSE(CFPK::DecodeRle(out, reinterpret_cast<const uint8_t*>("\x01z"), &header));
}

TEST(PackStored, ReadsEndAtTheEntry) {
  EntryReader pack({"first entry", "", "second", "short"}, "");
  EXPECT_EQ(pack.Read(0, 3), "first entry");
  EXPECT_EQ(pack.Read(1), "");
  EXPECT_EQ(pack.Read(2, 65536 * 2), "second");  // large reads go straight to the file
  EXPECT_EQ(pack.Read(3), "short");
  // Not "ZLC2" or "RLE0": delivered from the first byte, whatever follows.
  EntryReader lookalike({"ZLC3abc", "RLE"});
  EXPECT_EQ(lookalike.Read(0), "ZLC3abc");
  EXPECT_EQ(lookalike.Read(1), "RLE");
}

TEST(PackStored, EmptyEntryAtTheEndAndRecordsPastIt) {
  std::string base =
      Le32(3) +
      pack::IndexBytes(pack::Layout::kPlain, 0,
                       {pack::MakeRecord("empty", 4 + 96 + 4, 0), pack::MakeRecord("past", 5000, 4),
                        pack::MakeRecord("longer", 100, 40)}) +
      "data";
  TempFile file(base);
  CFPK fpk;
  ASSERT_TRUE(fpk.OpenPack(file.path().c_str()));
  ASSERT_TRUE(fpk.OpenFile("empty"));  // starts exactly at the end of the pack
  EXPECT_EQ(fpk.GetSize(), 0);
  EXPECT_EQ(ReadAll(fpk, 10), "");
  EXPECT_FALSE(fpk.OpenFile("past"));
  ASSERT_TRUE(fpk.OpenFile("longer"));  // the pack ends first: what is there
  EXPECT_EQ(fpk.GetSize(), 40);
  EXPECT_EQ(ReadAll(fpk, 10), "data");
}

}  // namespace
