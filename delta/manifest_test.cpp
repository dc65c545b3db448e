#include "delta/manifest.h"

#include <gtest/gtest.h>

#include <string>

namespace delta {
namespace {

std::vector<ManifestEntry> Sample() {
  ManifestEntry whole;
  whole.path = "data\\map01.dat";
  whole.size = whole.patchSize = 1234;
  whole.hash = whole.patchHash = platform::Sha256::Of("a", 1);
  ManifestEntry delta;
  delta.path = "\x95\x5c\\game.exe";  // a folder named 表 (second byte 0x5C)
  delta.isDelta = true;
  delta.size = 5000000000ull;
  delta.hash = platform::Sha256::Of("b", 1);
  delta.patchSize = 777;
  delta.patchHash = platform::Sha256::Of("c", 1);
  delta.baseSize = 0;
  delta.baseHash = platform::Sha256::Of("", 0);
  return {whole, delta};
}

std::string Parsed(const std::string& text, Manifest* manifest) {
  std::string error;
  return manifest->Parse(text.data(), text.size(), &error) ? "" : error;
}

TEST(ManifestTest, WrittenManifestReadsBackAndFindsPaths) {
  std::string text = WriteManifest(Sample());
  Manifest manifest;
  ASSERT_EQ(Parsed(text, &manifest), "");
  ASSERT_EQ(manifest.entries().size(), 2u);
  const ManifestEntry& d = manifest.entries()[1];
  EXPECT_TRUE(d.isDelta);
  EXPECT_EQ(d.size, 5000000000ull);
  EXPECT_EQ(d.patchSize, 777u);
  EXPECT_EQ(d.baseHash, platform::Sha256::Of("", 0));
  EXPECT_EQ(manifest.Find("DATA/Map01.DAT"), &manifest.entries()[0]);
  EXPECT_EQ(manifest.Find("\x95\x5c\\GAME.EXE"), &manifest.entries()[1]);
  EXPECT_EQ(manifest.Find("data\\map02.dat"), nullptr);
  // A rule's folder part may spell the folder with `.` or doubled separators.
  EXPECT_EQ(manifest.Find(".\\data\\\\map01.dat"), &manifest.entries()[0]);
  EXPECT_EQ(manifest.Find("x\\..\\data\\map01.dat"), nullptr);
  // A signature block may follow the end line; this version reads past it.
  EXPECT_EQ(Parsed(text + "signature\tsomething\n", &manifest), "");
  EXPECT_EQ(manifest.entries().size(), 2u);
}

TEST(ManifestTest, MalformedManifestsAreRefusedWithTheirLine) {
  std::string good = WriteManifest(Sample());
  size_t endLine = good.rfind("end\t");
  std::string hash = platform::HexDigest(platform::Sha256::Of("a", 1));
  struct Case {
    std::string text;
    std::string error;
  } cases[] = {
      {"", "line 1: no end line (the manifest is cut)"},
      {good.substr(0, endLine), "line 4: no end line (the manifest is cut)"},
      {good.substr(0, good.size() - 1), "line 4: no line feed"},
      {"vxupdate-manifest 2\nend\t0\n", "line 1: not a manifest of version 1"},
      {good.substr(0, endLine) + "end\t3\n", "line 4: end line does not match the entries"},
      {"vxupdate-manifest 1\r\nend\t0\n", "line 1: not a manifest of version 1"},
      {"vxupdate-manifest 1\nfile\t01\t" + hash + "\ta\nend\t1\n", "line 2: bad size or hash"},
      {"vxupdate-manifest 1\nfile\t1\t" + hash.substr(1) + "\ta\nend\t1\n",
       "line 2: bad size or hash"},
      {"vxupdate-manifest 1\nfile\t99999999999999999999\t" + hash + "\ta\nend\t1\n",
       "line 2: bad size or hash"},
      {"vxupdate-manifest 1\nfile\t1\t" + hash + "\ta\\..\\b\nend\t1\n", "line 2: bad path"},
      {"vxupdate-manifest 1\nfile\t1\t" + hash + "\tc:a\nend\t1\n", "line 2: bad path"},
      {"vxupdate-manifest 1\nfile\t1\t" + hash + "\t\\a\nend\t1\n", "line 2: bad path"},
      {"vxupdate-manifest 1\nfile\t1\t" + hash + "\t" + std::string(260, 'a') + "\nend\t1\n",
       "line 2: bad path"},
      {"vxupdate-manifest 1\nfile\t1\t" + hash + "\ta\tb\nend\t1\n",
       "line 2: not a file or delta line"},
      {"vxupdate-manifest 1\nfile\t1\t" + hash + "\tA\nfile\t2\t" + hash + "\ta\nend\t2\n",
       "line 3: path listed twice"},
      {"vxupdate-manifest 1\n" + std::string(2000, '\t') + "\nend\t0\n", "line 2: line too long"},
  };
  for (const Case& c : cases) {
    Manifest manifest;
    EXPECT_EQ(Parsed(c.text, &manifest), c.error) << c.text.substr(0, 80);
    EXPECT_TRUE(manifest.entries().empty());
  }
}

}  // namespace
}  // namespace delta
