// patchtool make on many top-level files, against `cp -r` of the same NEW
// tree, both as whole processes started and timed the same way (posix_spawn,
// then wait4 for the wall time). OLD is an empty folder, so every file of NEW
// goes into the patch: make compares, writes the files, the list and the
// list of rules, then checks the patch and plans it against OLD. Shapes:
// N files without a type (f00000, f00001, ...), which the rules group by
// their common beginning, and N files of one type (f00000.dat, ...).
//
// Each iteration writes a fresh OUT, and nothing is deleted until the
// program ends: on ext4, files created soon after many deletions pay for a
// walk past the freed inode numbers (see the copy-run benchmark). Counters
// give the child's user and system time besides the wall time.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

fs::path ScratchRoot() {
  const char* tmp = std::getenv("TMPDIR");
  return fs::path(tmp != nullptr ? tmp : "/tmp") / ("vx-make-bench-" + std::to_string(getpid()));
}

// Removes the scratch folder when the program ends.
struct Scratch {
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(ScratchRoot(), ignored);
  }
} g_scratch;

// OLD (empty) and NEW with count files named by the pattern, made once.
fs::path Trees(int count, bool typed) {
  fs::path root = ScratchRoot() / ((typed ? "typed-" : "plain-") + std::to_string(count));
  if (fs::exists(root / "new")) return root;
  fs::create_directories(root / "old");
  fs::create_directories(root / "new");
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof(name), typed ? "f%05d.dat" : "f%05d", i);
    std::ofstream(root / "new" / name) << "file " << i << "\n";
  }
  return root;
}

struct Timing {
  double wall = -1;  // negative when the program did not exit with 0
  double user = 0;
  double system = 0;
};

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Runs a program with its output to /dev/null.
Timing Run(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  timespec start;
  timespec end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid = 0;
  int status = 1;
  rusage usage{};
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
    wait4(pid, &status, 0, &usage);
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  posix_spawn_file_actions_destroy(&actions);
  Timing t;
  t.user = Seconds(usage.ru_utime);
  t.system = Seconds(usage.ru_stime);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    t.wall = static_cast<double>(end.tv_sec - start.tv_sec) +
             static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
  }
  return t;
}

void Measure(benchmark::State& state, bool typed, bool patchtool) {
  int count = static_cast<int>(state.range(0));
  fs::path root = Trees(count, typed);
  static int round = 0;
  double user = 0;
  double system = 0;
  for (auto _ : state) {
    fs::path out = root / ((patchtool ? "out-" : "copy-") + std::to_string(round++));
    Timing t =
        patchtool
            ? Run({VX_PATCHTOOL_BINARY, "make", (root / "old").string(), (root / "new").string(),
                   out.string(), "--title", "G", "--regbase", "K", "--reginstall", "V"})
            : Run({"cp", "-r", (root / "new").string(), out.string()});
    if (t.wall < 0) {
      state.SkipWithError("the program failed");
      break;
    }
    state.SetIterationTime(t.wall);
    user += t.user;
    system += t.system;
  }
  state.counters["files"] = count;
  state.counters["user_s"] = user / static_cast<double>(state.iterations());
  state.counters["sys_s"] = system / static_cast<double>(state.iterations());
}

void BM_MakePlainNames(benchmark::State& state) { Measure(state, false, true); }
void BM_MakeOneType(benchmark::State& state) { Measure(state, true, true); }
void BM_CopyPlainNames(benchmark::State& state) { Measure(state, false, false); }

BENCHMARK(BM_MakePlainNames)
    ->Arg(3000)
    ->Arg(6000)
    ->Arg(20000)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MakeOneType)
    ->Arg(20000)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyPlainNames)
    ->Arg(20000)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace
