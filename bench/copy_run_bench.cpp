// The copy run against `cp -r` of the same tree, in the same process and on
// the same disk: 10,000 files of 4 KiB, and 4 files of 256 MiB. Each
// iteration times one `cp -r` and one RunUpdate (every question answered
// with its first button) into fresh destinations, taking turns at going
// first; the reported time is RunUpdate's, and the counter `ratio` is
// RunUpdate's total over cp's. The trees are deleted at the end.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/copy_run.h"
#include "app/update_list.h"
#include "platform/dialog.h"

namespace {

namespace fs = std::filesystem;

class FirstButton : public platform::DialogueBackend {
 public:
  int Show(const char*, const char*, uint32_t style) override {
    return (style & 0x0F) == 0x04 ? platform::kButtonYes : platform::kButtonOk;
  }
};

double Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void BM_CopyRunAgainstCp(benchmark::State& state) {
  const int files = static_cast<int>(state.range(0));
  const size_t size = static_cast<size_t>(state.range(1));
  const fs::path root =
      fs::temp_directory_path() / ("vx-copy-run-bench-" + std::to_string(::getpid()));
  fs::create_directories(root / "patch");
  std::vector<char> data(size);
  for (int i = 0; i < files; ++i) {
    for (size_t k = 0; k < size; k += 4096) std::memcpy(&data[k], &i, sizeof(i));
    char name[32];
    std::snprintf(name, sizeof(name), "f%05d.dat", i);
    std::ofstream(root / "patch" / name, std::ios::binary).write(data.data(), size);
  }
  const fs::path old = fs::current_path();
  fs::current_path(root / "patch");
  std::memset(&UpdateSettings, 0, sizeof(UpdateSettings));
  UpdateList.clear();
  UpdateList.push_back({"*.dat", ""});
  FirstButton dialogue;
  platform::DialogueBackend* previous = platform::SetDialogueBackend(&dialogue);

  // Every run writes into folders of its own, and nothing is deleted until
  // the end: ext4 skips inodes freed in the last seconds when it allocates,
  // which would make whichever side runs after a deletion pay for it.
  double cpTotal = 0;
  double runTotal = 0;
  int round = 0;
  for (auto _ : state) {
    const std::string n = std::to_string(round);
    const std::string cp =
        "cp -r '" + (root / "patch").string() + "' '" + (root / ("cp" + n)).string() + "'";
    const std::string install = (root / ("inst" + n)).string();
    fs::create_directories(install);
    std::memcpy(UpdateSettings.m_installDir, install.c_str(), install.size() + 1);
    for (int side = 0; side < 2; ++side) {
      ::sync();  // neither side pays for the other's writeback
      double start = Now();
      if ((side + round) % 2 == 0) {
        if (std::system(cp.c_str()) != 0) state.SkipWithError("cp failed");
        cpTotal += Now() - start;
      } else {
        if (!RunUpdate()) state.SkipWithError("RunUpdate failed");
        double run = Now() - start;
        runTotal += run;
        state.SetIterationTime(run);
      }
    }
    ++round;
  }
  platform::SetDialogueBackend(previous);
  fs::current_path(old);
  fs::remove_all(root);
  state.counters["cp_ms"] = cpTotal * 1e3 / static_cast<double>(state.iterations());
  state.counters["ratio"] = runTotal / cpTotal;
}
BENCHMARK(BM_CopyRunAgainstCp)
    ->Args({10000, 4096})
    ->Iterations(6)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyRunAgainstCp)
    ->Args({4, 256 << 20})
    ->Iterations(6)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
