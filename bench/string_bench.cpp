// Costs of the string value and of reading the update list: copying and
// assigning, appending, walking a 1 MB text by lines and by tokens, and
// reading an update.lst of 100,000 rules.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/update_list.h"
#include "text/vx_string.h"

namespace {

namespace fs = std::filesystem;

// Appends the i-th copy rule line; every fourth one has double-byte names.
void AppendRule(std::string* text, int i) {
  char line[64];
  std::snprintf(line, sizeof(line),
                i % 4 ? "data\\file%06d.dat\t\\data\r\n" : "表示\\%06d.txt\t表\\\r\n", i);
  *text += line;
}

// At least the given number of bytes of copy rule lines.
std::string MakeText(int64_t bytes) {
  std::string text;
  for (int i = 0; static_cast<int64_t>(text.size()) < bytes; ++i) AppendRule(&text, i);
  return text;
}

void BM_CopyConstruct(benchmark::State& state) {
  const CVxString source(std::string(64, 'x').c_str());
  for (auto _ : state) {
    CVxString copy(source);
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_CopyConstruct);

void BM_Assign(benchmark::State& state) {
  const CVxString a(std::string(64, 'a').c_str()), b(std::string(64, 'b').c_str());
  CVxString target;
  for (auto _ : state) {
    target = a;
    target = b;
    benchmark::DoNotOptimize(target);
  }
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_Assign);

// Builds a text from range(0) appends of 16 bytes each.
void BM_Append(benchmark::State& state) {
  const CVxString piece("0123456789abcdef");
  for (auto _ : state) {
    CVxString text;
    for (int64_t i = 0; i < state.range(0); ++i) text += piece;
    benchmark::DoNotOptimize(text);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Append)->Arg(16)->Arg(256);

void BM_WalkLines1MB(benchmark::State& state) {
  const std::string bytes = MakeText(1 << 20);
  for (auto _ : state) {
    CVxString text(bytes.c_str());
    int64_t lines = 0;
    for (CVxString line = text.GetFirstLine(); !text.IsLineEnd(); line = text.GetNextLine())
      ++lines;
    benchmark::DoNotOptimize(lines);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_WalkLines1MB)->Unit(benchmark::kMillisecond);

void BM_WalkTokens1MB(benchmark::State& state) {
  const std::string bytes = MakeText(1 << 20);
  const CVxString delims(" \t\r\n");
  for (auto _ : state) {
    CVxString text(bytes.c_str());
    int64_t tokens = 0;
    for (CVxString token = text.GetFirstToken(delims); !token.IsEmpty();
         token = text.GetNextToken(delims)) {
      ++tokens;
    }
    benchmark::DoNotOptimize(tokens);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_WalkTokens1MB)->Unit(benchmark::kMillisecond);

// ReadUpdateList of a list with settings, comments and 100,000 rules.
void BM_ReadUpdateList100k(benchmark::State& state) {
  const fs::path dir = fs::temp_directory_path() / "vx-string-bench";
  fs::create_directories(dir);
  const fs::path list = dir / "update.lst";
  std::string text =
      "# update list\r\ngametitle = ゲーム\r\npatchname=1.02\r\nregbase=Vendor\\Game\r\n";
  for (int i = 0; i < 100000; ++i) AppendRule(&text, i);
  std::ofstream(list, std::ios::binary) << text;
  for (auto _ : state) {
    if (!ReadUpdateList(list.string().c_str()) || UpdateList.size() != 100000) {
      state.SkipWithError("the list was not read whole");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}
BENCHMARK(BM_ReadUpdateList100k)->Unit(benchmark::kMillisecond);

}  // namespace
