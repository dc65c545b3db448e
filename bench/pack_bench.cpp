// Pack archives: Zlc2 reading against a textbook byte-by-byte LZSS decoder
// on a text corpus and a corpus of executables (about 20 MB each, gathered
// from the machine at start), Rle0 and Stored reads against memcpy and a
// plain read, OpenPack of 1,000,000-entry packs, and FindEntry.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "fileaccess/fpk.h"
#include "fileaccess/lz_codec.h"
#include "fileaccess/pack_format.h"
#include "fileaccess/pack_writer.h"
#include "platform/file.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kCorpusSize = 20 << 20;
constexpr int32_t kPiece = 65536;
constexpr int32_t kManyEntries = 1000000;

// Regular files under the roots, in name order, until size bytes are had.
std::string Gather(const std::vector<const char*>& roots, bool (*wanted)(const fs::path&)) {
  std::vector<fs::path> files;
  for (const char* root : roots) {
    std::error_code ec;
    for (fs::recursive_directory_iterator
             it(root, fs::directory_options::skip_permission_denied, ec),
         end;
         it != end; it.increment(ec)) {
      if (it->is_regular_file(ec) && !it->is_symlink(ec) && wanted(it->path()))
        files.push_back(it->path());
    }
  }
  std::sort(files.begin(), files.end());
  std::string out;
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    out.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (out.size() >= kCorpusSize) break;
  }
  out.resize(std::min(out.size(), kCorpusSize));
  return out;
}

bool IsText(const fs::path& p) {
  std::string ext = p.extension().string();
  return ext != ".gz" && ext != ".xz" && ext != ".bz2" && ext != ".png" && ext != ".jpg" &&
         ext != ".pdf" && ext != ".gif" && ext != ".woff" && ext != ".ttf";
}
bool AnyFile(const fs::path&) { return true; }

std::string ManyName(int32_t i) {
  char name[24];
  std::snprintf(name, sizeof(name), "file%07d.bin", i);
  return name;
}

// Everything the benchmarks read, made once in a temporary folder.
struct Fixture {
  fs::path dir;
  std::string text, exe;
  std::string textStream, exeStream;  // the LZ streams of the Zlc2 entries
  std::string corpusPack, textRaw, exeRaw;
  std::string manyPack[3];  // plain, extended, hashed

  Fixture() {
    dir = fs::temp_directory_path() / ("vx_pack_bench_" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    text = Gather({"/usr/share/doc", "/usr/include"}, IsText);
    exe = Gather({"/usr/bin", "/usr/lib"}, AnyFile);
    const uint8_t* t = reinterpret_cast<const uint8_t*>(text.data());
    const uint8_t* e = reinterpret_cast<const uint8_t*>(exe.data());
    std::string textZ = pack::Zlc2Entry(t, text.size());
    std::string exeZ = pack::Zlc2Entry(e, exe.size());
    textStream = textZ.substr(pack::kZlc2HeaderSize);
    exeStream = exeZ.substr(pack::kZlc2HeaderSize);
    std::fprintf(stderr, "corpora: text %zu bytes (Zlc2 %zu), executables %zu bytes (Zlc2 %zu)\n",
                 text.size(), textZ.size(), exe.size(), exeZ.size());
    corpusPack =
        Write("corpus.pack", pack::BuildPack(pack::Layout::kPlain, 0,
                                             {{"text.zlc2", textZ},
                                              {"exe.zlc2", exeZ},
                                              {"text.rle0", pack::Rle0Entry(t, text.size())},
                                              {"exe.rle0", pack::Rle0Entry(e, exe.size())},
                                              {"text.raw", text},
                                              {"exe.raw", exe}}));
    textRaw = Write("text.raw", text);
    exeRaw = Write("exe.raw", exe);
    // 1,000,000 records, all pointing at one small Stored entry.
    const pack::Layout layouts[] = {pack::Layout::kPlain, pack::Layout::kExtended,
                                    pack::Layout::kHashed};
    for (int l = 0; l < 3; ++l) {
      size_t recordSize = l == 0 ? pack::kPlainRecordSize : pack::kExtendedRecordSize;
      uint32_t data = static_cast<uint32_t>(4 + recordSize * kManyEntries);
      std::vector<PackEntry> records;
      records.reserve(kManyEntries);
      for (int32_t i = 0; i < kManyEntries; ++i)
        records.push_back(pack::MakeRecord(ManyName(i), data, 4));
      if (l == 2) pack::SortForHashedIndex(&records);
      uint32_t head = pack::HeadWord(layouts[l], kManyEntries);
      std::string bytes(reinterpret_cast<const char*>(&head), 4);
      bytes += pack::IndexBytes(layouts[l], 0x5EED1234, records) + "data";
      if (l > 0) bytes += pack::Trailer(0x5EED1234, 4);
      manyPack[l] = Write("many" + std::to_string(l) + ".pack", bytes);
    }
  }
  ~Fixture() {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  std::string Write(const std::string& name, const std::string& bytes) {
    fs::path path = dir / name;
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path.string();
  }
};

Fixture& Get() {
  static Fixture fixture;
  return fixture;
}

// Opens the entry and reads it whole in 64 KiB pieces, each time.
void ReadEntry(benchmark::State& state, const char* name) {
  CFPK fpk;
  fpk.OpenPack(Get().corpusPack.c_str());
  std::vector<char> buffer(kPiece);
  int64_t size = 0;
  for (auto _ : state) {
    if (!fpk.OpenFile(name)) state.SkipWithError("entry can't be opened");
    size = fpk.GetSize();
    int64_t done = 0;
    while (int32_t n = fpk.Read(buffer.data(), kPiece)) done += n;
    if (done != size) state.SkipWithError("short read");
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(state.iterations() * size);
}

void BM_Zlc2Read(benchmark::State& state) {
  ReadEntry(state, state.range(0) ? "exe.zlc2" : "text.zlc2");
}
BENCHMARK(BM_Zlc2Read)->Arg(0)->Arg(1)->ArgNames({"exe"})->Unit(benchmark::kMillisecond);

// The baseline: the whole stream decoded byte by byte through a ring buffer.
void BM_TextbookLzss(benchmark::State& state) {
  const std::string& stream = state.range(0) ? Get().exeStream : Get().textStream;
  size_t size = state.range(0) ? Get().exe.size() : Get().text.size();
  std::vector<uint8_t> out(size);
  for (auto _ : state) {
    size_t n = lz::DecodeSimple(reinterpret_cast<const uint8_t*>(stream.data()), stream.size(),
                                out.data(), size);
    if (n != size) state.SkipWithError("short decode");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
}
BENCHMARK(BM_TextbookLzss)->Arg(0)->Arg(1)->ArgNames({"exe"})->Unit(benchmark::kMillisecond);

void BM_Rle0Read(benchmark::State& state) {
  ReadEntry(state, state.range(0) ? "exe.rle0" : "text.rle0");
}
BENCHMARK(BM_Rle0Read)->Arg(0)->Arg(1)->ArgNames({"exe"})->Unit(benchmark::kMillisecond);

void BM_StoredRead(benchmark::State& state) {
  ReadEntry(state, state.range(0) ? "exe.raw" : "text.raw");
}
BENCHMARK(BM_StoredRead)->Arg(0)->Arg(1)->ArgNames({"exe"})->Unit(benchmark::kMillisecond);

// The same bytes read from their own file with plain reads of 64 KiB.
void BM_PlainRead(benchmark::State& state) {
  const std::string& path = state.range(0) ? Get().exeRaw : Get().textRaw;
  std::vector<char> buffer(kPiece);
  int64_t size = 0;
  for (auto _ : state) {
    platform::File file(platform::OpenExisting(path.c_str(), platform::Share::kRead));
    size = 0;
    uint32_t done = 0;
    while (platform::ReadBytes(file.get(), buffer.data(), kPiece, &done) && done > 0) size += done;
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(BM_PlainRead)->Arg(0)->Arg(1)->ArgNames({"exe"})->Unit(benchmark::kMillisecond);

// The bytes copied from memory in 64 KiB pieces.
void BM_Memcpy(benchmark::State& state) {
  const std::string& data = Get().text;
  std::vector<char> buffer(kPiece);
  for (auto _ : state) {
    for (size_t at = 0; at < data.size(); at += kPiece) {
      std::memcpy(buffer.data(), data.data() + at, std::min<size_t>(kPiece, data.size() - at));
      benchmark::DoNotOptimize(buffer.data());
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);

void BM_OpenPack(benchmark::State& state) {
  const std::string& path = Get().manyPack[state.range(0)];
  for (auto _ : state) {
    CFPK fpk;
    if (!fpk.OpenPack(path.c_str())) state.SkipWithError("pack can't be opened");
    benchmark::DoNotOptimize(fpk.FindEntry(""));
  }
}
BENCHMARK(BM_OpenPack)->Arg(0)->Arg(1)->Arg(2)->ArgNames({"layout"})->Unit(benchmark::kMillisecond);

// Lookups of entries that are there (range 1: of names that are not), in
// random order; the unhashed packs build their name table in the first ones.
void BM_FindEntry(benchmark::State& state) {
  CFPK fpk;
  fpk.OpenPack(Get().manyPack[state.range(0)].c_str());
  std::mt19937 random(1);
  std::vector<std::string> names;
  for (int i = 0; i < 4096; ++i) {
    std::string name = ManyName(static_cast<int32_t>(random() % kManyEntries));
    if (state.range(1)) name[0] = 'g';
    names.push_back(name);
  }
  size_t i = 0;
  for (auto _ : state) {
    int32_t found = fpk.FindEntry(names[i++ & 4095].c_str());
    if ((found < 0) != (state.range(1) != 0)) state.SkipWithError("wrong lookup");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FindEntry)->ArgsProduct({{0, 1, 2}, {0, 1}})->ArgNames({"layout", "missing"});

}  // namespace
