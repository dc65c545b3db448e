// CFPK and LoadFile against hostile packs, failing allocations and odd
// files: nothing throws, no memory is taken that the file can't back, and
// every handle opened is closed again. Allocations are counted (and failed
// on demand) by replacing the program's operator new.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>

#include "fileaccess/fpk.h"
#include "fileaccess/pack_testing.h"
#include "fileaccess/pack_writer.h"
#include "platform/testing/handle_count.h"
#include "text/vx_string.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Allocations made while armed: counted, the largest and the sum noted, and
// the failAt-th one failed.
struct AllocationWatch {
  bool armed = false;
  long count = 0;
  long failAt = 0;
  bool failed = false;
  size_t largest = 0;
  size_t total = 0;
};
AllocationWatch g_watch;

void* Allocate(size_t size) {
  if (g_watch.armed) {
    if (++g_watch.count == g_watch.failAt) {
      g_watch.failed = true;
      return nullptr;
    }
    g_watch.largest = std::max(g_watch.largest, size);
    g_watch.total += size;
  }
  return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

// Kept out of line: inlined, GCC takes the pairing of operator new with
// free for a mismatch.
#define VX_OUT_OF_LINE __attribute__((noinline))
VX_OUT_OF_LINE void* operator new(size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
VX_OUT_OF_LINE void* operator new[](size_t size) { return operator new(size); }
VX_OUT_OF_LINE void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size);
}
VX_OUT_OF_LINE void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size);
}
VX_OUT_OF_LINE void operator delete(void* p) noexcept { std::free(p); }
VX_OUT_OF_LINE void operator delete[](void* p) noexcept { std::free(p); }
VX_OUT_OF_LINE void operator delete(void* p, size_t) noexcept { std::free(p); }
VX_OUT_OF_LINE void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace {

using pack_testing::Bytes;
using pack_testing::Le32;
using pack_testing::Rle0Head;
using pack_testing::TempFile;
using pack_testing::Zlc2Head;

// Runs f with allocations watched, counting on from the calls before.
template <typename F>
auto Armed(F f) {
  g_watch.armed = true;
  auto result = f();
  g_watch.armed = false;
  return result;
}

// Runs f with allocations watched afresh.
template <typename F>
auto Watched(F f) {
  g_watch = AllocationWatch{};
  return Armed(f);
}

// A plain pack of one entry "a".
std::string OneEntry(const std::string& bytes) {
  return pack::BuildPack(pack::Layout::kPlain, 0, {{"a", bytes}});
}

TEST(FpkHostile, ClaimsBeyondTheFileTakeNoMemory) {
  // 62 bytes: an Rle0 entry whose header claims 2 GiB - 1 bytes decoded
  // from 43 MB of packed data that the file does not hold.
  TempFile rle(Le32(1) + pack::IndexBytes(pack::Layout::kPlain, 0, {pack::MakeRecord("a", 36, 0)}) +
               Rle0Head(0x7FFFFFFF / 49 + 1, 0x7FFFFFFF, 1) + Bytes({0x41, 'w'}));
  ASSERT_EQ(std::filesystem::file_size(rle.path()), 62u);
  CFPK fpk;
  ASSERT_TRUE(fpk.OpenPack(rle.path().c_str()));
  EXPECT_FALSE(Watched([&] { return fpk.OpenFile("a"); }));
  EXPECT_LT(g_watch.largest, 1u << 20);
  // A Zlc2 header of 2 GiB - 1 over a few bytes of stream: LoadFile gets
  // what is there, sees that it falls short, and holds no more meanwhile.
  TempFile zlc2(OneEntry(Zlc2Head(0x7FFFFFFF) + Bytes({0x00, 'a', 'b', 'c'})));
  CVxString s("old");
  EXPECT_FALSE(Watched([&] { return s.LoadFile("a", zlc2.path().c_str()); }));
  EXPECT_TRUE(s.IsEmpty());
  EXPECT_LT(g_watch.largest, 1u << 20);
  // An Rle0 entry of 2 GiB - 1 bytes, three letters and then zeros: it loads
  // (the text ends at its first zero byte) without 2 GiB of memory.
  TempFile zeros(OneEntry(Rle0Head(2, 0x7FFFFFFF, 1) + Bytes({0x42, 'w'})));
  EXPECT_TRUE(Watched([&] { return s.LoadFile("a", zeros.path().c_str()); }));
  EXPECT_EQ(std::string(s.GetBuffer()), "www");
  EXPECT_LT(g_watch.largest, 1u << 20);
}

TEST(FpkHostile, TheLargestPackOpensAndItsNameTableIsSmall) {
  // 16,777,215 records of 32 bytes, all zero (a sparse file): the largest
  // index a pack can have, also in a 32-bit process.
  const uint32_t count = 0x00FFFFFF;
  TempFile file(Le32(count) + Bytes({0}));
  std::filesystem::resize_file(file.path(), 4 + uint64_t{32} * count);
  CFPK fpk;
  ASSERT_TRUE(fpk.OpenPack(file.path().c_str()));
  EXPECT_EQ(fpk.FindEntry(""), 0);
  // The second lookup builds the name table.
  EXPECT_EQ(Watched([&] { return fpk.FindEntry(""); }), 0);
  EXPECT_LE(g_watch.total, size_t{8} * count);
  EXPECT_EQ(fpk.FindEntry("x"), -1);
}

TEST(FpkHostile, EveryHandleIsClosedOnEveryPath) {
  const int base = platform::OpenHandleCount();
  ASSERT_GE(base, 0);
  TempFile good(pack::BuildPack(pack::Layout::kHashed, 5, {{"x", "stored"}, {"y", "more"}}));
  TempFile other(OneEntry("other"));
  TempFile shortHead(Bytes({1, 0}));
  TempFile noTrailer(Le32(0x01000000) + "abc");
  {
    CFPK fpk;
    for (const TempFile* bad : {&shortHead, &noTrailer}) {
      EXPECT_FALSE(fpk.OpenPack(bad->path().c_str()));
      EXPECT_EQ(platform::OpenHandleCount(), base);
    }
    EXPECT_FALSE(fpk.OpenPack("no such.pack"));
    EXPECT_EQ(platform::OpenHandleCount(), base);
    // A pack with an entry open, then direct access mode (a null name or an
    // empty one): the pack is closed, and nothing of it is read any more.
    for (const char* direct : {static_cast<const char*>(nullptr), ""}) {
      ASSERT_TRUE(fpk.OpenPack(good.path().c_str()) && fpk.OpenFile("x"));
      EXPECT_EQ(platform::OpenHandleCount(), base + 1);
      EXPECT_TRUE(fpk.OpenPack(direct));
      EXPECT_EQ(platform::OpenHandleCount(), base);
      char byte;
      EXPECT_EQ(fpk.Read(&byte, 1), 0);
    }
    // Direct mode with a file open, then a pack; a pack, then another one.
    ASSERT_TRUE(fpk.OpenFile(good.path().c_str()));
    ASSERT_TRUE(fpk.OpenPack(good.path().c_str()) && fpk.OpenFile("x"));
    EXPECT_EQ(platform::OpenHandleCount(), base + 1);
    ASSERT_TRUE(fpk.OpenPack(other.path().c_str()));
    EXPECT_EQ(platform::OpenHandleCount(), base + 1);
    EXPECT_FALSE(fpk.OpenFile("x"));
    // Failed opens in direct mode: a missing file, a folder.
    ASSERT_TRUE(fpk.OpenPack(nullptr) && fpk.OpenFile(good.path().c_str()));
    EXPECT_FALSE(fpk.OpenFile("missing"));
    EXPECT_FALSE(fpk.OpenFile("."));
    EXPECT_EQ(platform::OpenHandleCount(), base);
    ASSERT_TRUE(fpk.OpenFile(good.path().c_str()));
  }  // the destructor closes the file still open
  EXPECT_EQ(platform::OpenHandleCount(), base);
}

TEST(FpkHostile, AFailedAllocationFailsTheOperationAndLeavesTheObjectSound) {
  std::string text;
  for (int i = 0; text.size() < 300000; ++i) text += "line " + std::to_string(i % 97) + "\n";
  const uint8_t* t = reinterpret_cast<const uint8_t*>(text.data());
  std::vector<pack::Item> items = {{"s", "stored bytes"},
                                   {"z", pack::Zlc2Entry(t, text.size())},
                                   {"r", pack::Rle0Entry(t, 70000)}};
  TempFile plain(pack::BuildPack(pack::Layout::kPlain, 0, items));
  TempFile hashed(pack::BuildPack(pack::Layout::kHashed, 0x1234, items));
  TempFile disk("direct text");
  const std::string diskPath = disk.path();
  static char buffer[1 << 20];
  // Every operation is tried again at once when it fails: a failure must
  // leave the object fit for that.
  auto twice = [](auto f) { return Armed(f) || f(); };
  auto scenario = [&](const std::string& path) {
    std::string out;
    CFPK fpk;
    out += twice([&] { return fpk.OpenPack(path.c_str()); }) ? "P" : "-";
    for (const pack::Item& item : items) {
      bool opened = twice([&] { return fpk.OpenFile(item.name.c_str()); });
      int32_t n = opened ? fpk.Read(buffer, sizeof(buffer)) : -1;
      out += item.name + std::to_string(n) + std::to_string(n > 0 ? buffer[n / 2] : 0);
    }
    for (const char* name : {"s", "Z", "R", "q"}) out += std::to_string(fpk.FindEntry(name));
    CVxString s;
    bool loaded = twice([&] { return s.LoadFile("z", path.c_str()); });
    out += loaded ? std::to_string(s.GetLength()) : "!";
    loaded = twice([&] { return s.LoadFile(diskPath.c_str(), nullptr); });
    out += loaded ? s.GetBuffer() : "!";
    return out;
  };
  // The runtime makes its own handles at the first exception thrown (the
  // Windows build's threads library): they are there before counting starts.
  try {
    throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
  }
  const int base = platform::OpenHandleCount();
  for (const TempFile* pack : {&plain, &hashed}) {
    g_watch = AllocationWatch{};
    const std::string expected = scenario(pack->path());
    ASSERT_TRUE(expected[0] == 'P' && expected.find('!') == std::string::npos) << expected;
    for (long failAt = 1;; ++failAt) {
      g_watch = AllocationWatch{};
      g_watch.failAt = failAt;
      try {
        EXPECT_EQ(scenario(pack->path()), expected) << failAt;
      } catch (const std::exception& e) {
        ADD_FAILURE() << "exception at allocation " << failAt << ": " << e.what();
      } catch (...) {
        ADD_FAILURE() << "exception at allocation " << failAt;
      }
      EXPECT_EQ(platform::OpenHandleCount(), base) << failAt;
      if (!g_watch.failed) break;
    }
  }
}

TEST(FpkHostile, FuzzSeedsAndRegressionsReadSoundly) {
  // What the pack fuzz target checks, on every seed and crash or limit
  // regression of its corpus: reads stop at the entry's size, LoadFile gives
  // no more text than that, no single allocation exceeds the fuzz runs'
  // limit, and every handle is closed again.
  std::filesystem::path corpus = VX_PACK_CORPUS;
#ifdef _WIN32
  corpus = "Z:" + corpus.string();  // the Linux folder, as Wine shows it
#endif
  std::vector<std::filesystem::path> seeds;
  for (const auto& seed : std::filesystem::directory_iterator(corpus)) seeds.push_back(seed.path());
  EXPECT_GE(seeds.size(), 10u);
  const int base = platform::OpenHandleCount();
  static char buffer[1 << 16];
  for (const std::filesystem::path& seed : seeds) {
    const std::string path = seed.string();
    const std::string name = seed.filename().string();
    g_watch = AllocationWatch{};
    g_watch.armed = true;
    {
      CFPK fpk;
      if (fpk.OpenPack(path.c_str())) {
        for (const char* entry : {"update.lst", "a", "a.txt", "r.bin", "h.txt", "e"}) {
          if (!fpk.OpenFile(entry)) continue;
          int64_t size = fpk.GetSize(), total = 0;
          for (int32_t n; total <= size && (n = fpk.Read(buffer, sizeof(buffer))) > 0;) total += n;
          EXPECT_LE(total, size) << name << " " << entry;
          CVxString text;
          if (text.LoadFile(entry, path.c_str())) {
            EXPECT_LE(text.GetLength(), size) << name;
          }
        }
      }
    }
    g_watch.armed = false;
    EXPECT_LE(g_watch.largest, size_t{256} << 20) << name;
    EXPECT_EQ(platform::OpenHandleCount(), base) << name;
  }
}

TEST(FpkHostile, APipeIsNoFileAndNeverWaitedFor) {
  // A pipe that nobody writes to: a read of it would wait for ever.
#ifdef _WIN32
  const std::string path = "\\\\.\\pipe\\vx_pipe_" + std::to_string(GetCurrentProcessId());
  HANDLE server = CreateNamedPipeA(path.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT,
                                   2, 0, 0, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
#else
  const std::string path =
      (std::filesystem::temp_directory_path() / ("vx_fifo_" + std::to_string(::getpid()))).string();
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
#endif
  const int base = platform::OpenHandleCount();
  CFPK fpk;
  EXPECT_FALSE(fpk.OpenPack(path.c_str()));
  ASSERT_TRUE(fpk.OpenPack(nullptr));
  EXPECT_FALSE(fpk.OpenFile(path.c_str()));
  CVxString s;
  EXPECT_FALSE(s.LoadFile(path.c_str(), nullptr));
  EXPECT_EQ(platform::OpenHandleCount(), base);
#ifdef _WIN32
  CloseHandle(server);
#else
  std::filesystem::remove(path);
#endif
}

}  // namespace
