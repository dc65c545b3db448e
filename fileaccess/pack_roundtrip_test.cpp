// Packs written with our encoders read back byte for byte, in every layout
// and coding, whole, a byte at a time, and in pieces across block bounds.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "fileaccess/fpk.h"
#include "fileaccess/lz_codec.h"
#include "fileaccess/pack_testing.h"
#include "fileaccess/pack_writer.h"
#include "text/vx_string.h"

namespace {

using pack::Layout;
using pack_testing::ReadAll;
using pack_testing::TempFile;

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Text-like, binary-like and run-heavy samples, and the edge sizes.
std::vector<std::string> Samples() {
  std::mt19937 random(11);
  std::string text, binary, runs;
  const char* words[] = {"the ", "pack ", "entry ", "index ", "of ", "\x83\x5C", "\n"};
  while (text.size() < 200000) text += words[random() % 7];
  for (int i = 0; i < 150000; ++i) binary += static_cast<char>(random() % (i % 3 ? 256 : 4));
  for (int i = 0; i < 5000; ++i) runs += std::string(random() % 300, "ab\0"[i % 3]) + "xyzxyz";
  return {"", "a", "ZLC2 is not a head here? it is", "RLE0", text, binary, runs};
}

std::string Encode(const std::string& coding, const std::string& data) {
  if (coding == "zlc2") return pack::Zlc2Entry(U8(data), data.size());
  if (coding == "rle0") return pack::Rle0Entry(U8(data), data.size());
  return data;
}

TEST(PackRoundTrip, EveryLayoutAndCoding) {
  std::vector<std::string> samples = Samples();
  for (Layout layout : {Layout::kPlain, Layout::kExtended, Layout::kHashed}) {
    for (const char* coding : {"stored", "zlc2", "rle0"}) {
      std::vector<pack::Item> items;
      for (size_t i = 0; i < samples.size(); ++i) {
        // Data that would read as another coding's head can't be stored as is.
        bool raw = pack::StorableAsIs(U8(samples[i]), samples[i].size());
        items.push_back(
            {"file" + std::to_string(i) + ".dat", Encode(raw ? coding : "rle0", samples[i])});
      }
      TempFile file(pack::BuildPack(layout, 0x13579BDF, items));
      CFPK fpk;
      ASSERT_TRUE(fpk.OpenPack(file.path().c_str()));
      for (size_t i = 0; i < samples.size(); ++i) {
        ASSERT_TRUE(fpk.OpenFile(items[i].name.c_str())) << coding << " " << i;
        EXPECT_EQ(fpk.GetSize(), static_cast<int32_t>(samples[i].size()));
        EXPECT_TRUE(ReadAll(fpk, 65536) == samples[i]) << coding << " " << i;
      }
    }
  }
}

TEST(PackRoundTrip, PiecesAcrossBlockBounds) {
  std::string text = Samples()[4] + Samples()[5];
  TempFile file(
      pack::BuildPack(Layout::kHashed, 1, {{"big", pack::Zlc2Entry(U8(text), text.size())}}));
  CFPK fpk;
  ASSERT_TRUE(fpk.OpenPack(file.path().c_str()));
  ASSERT_TRUE(fpk.OpenFile("big"));
  EXPECT_TRUE(ReadAll(fpk, 1) == text);
  for (int32_t piece = 65512; piece <= 65529; ++piece) {
    ASSERT_TRUE(fpk.OpenFile("big"));
    ASSERT_TRUE(ReadAll(fpk, piece) == text) << piece;
  }
}

TEST(PackRoundTrip, BlockDecoderEqualsTheSimpleOne) {
  // Arbitrary streams: every reference, overlap and reach into the zero
  // history, decoded block by block as Read does and all at once.
  std::mt19937 random(3);
  for (int round = 0; round < 40; ++round) {
    std::string stream;
    int flavour = round % 4;
    for (int i = 0; i < 60000; ++i) {
      stream += static_cast<char>(flavour == 0   ? random()
                                  : flavour == 1 ? (random() % 3 ? 0xFF : random())
                                  : flavour == 2 ? (random() & 0x1F)
                                                 : 0xAA);
    }
    uint32_t size = 200000 + random() % 300000;
    std::string expected(size, '\0');
    expected.resize(lz::DecodeSimple(U8(stream), stream.size(),
                                     reinterpret_cast<uint8_t*>(&expected[0]), size));
    TempFile file(
        pack::BuildPack(Layout::kPlain, 0, {{"s", pack_testing::Zlc2Head(size) + stream}}));
    CFPK fpk;
    ASSERT_TRUE(fpk.OpenPack(file.path().c_str()));
    ASSERT_TRUE(fpk.OpenFile("s"));
    ASSERT_TRUE(ReadAll(fpk, 1000 + round * 997) == expected) << round;
  }
}

TEST(PackRoundTrip, LoadFileReadsPackEntries) {
  std::string text = "key=value\r\nline two\r\n";
  std::string zero = std::string("before") + '\0' + "after";
  TempFile file(pack::BuildPack(Layout::kHashed, 42,
                                {{"update.lst", pack::Zlc2Entry(U8(text), text.size())},
                                 {"zero.txt", pack::Rle0Entry(U8(zero), zero.size())},
                                 {"cut.txt", pack_testing::Zlc2Head(100) + "\x00"
                                                                           "abc"}}));
  CVxString s;
  ASSERT_TRUE(s.LoadFile("UPDATE.LST", file.path().c_str()));
  std::string loaded;
  for (int32_t i = 0; i < s.GetLength(); ++i) loaded += s.GetAt(i);
  EXPECT_EQ(loaded, text);
  ASSERT_TRUE(s.LoadFile("zero.txt", file.path().c_str()));
  EXPECT_EQ(s.GetLength(), 6);
  EXPECT_FALSE(s.LoadFile("cut.txt", file.path().c_str()));  // fewer bytes than its size
  EXPECT_EQ(s.GetLength(), 0);
  EXPECT_FALSE(s.LoadFile("missing", file.path().c_str()));
}

}  // namespace
