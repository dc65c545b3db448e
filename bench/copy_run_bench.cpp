// The installer against `cp -r` of the same tree followed by `sync` (the
// installer's run ends with what it copied on disk), both as whole processes
// started and timed the same way (posix_spawn, then wait4 for the wall time
// and the child's user and system time), on the same disk. Shapes: 10,000
// new files of 4 KiB, 4 new files of 256 MiB, and 10,000 files of 4 KiB
// replacing older files of the same names (where `cp` writes in place).
//
// Every destination tree of every round is made before the first round
// (empty folders, or folders of older files), and nothing is deleted until
// the program ends. On a file system that keeps inode numbers freed in the
// last seconds from reuse (ext4 without a journal, as on the development
// machine), every file created soon after a deletion costs a walk past all
// the freed numbers: a tree removed before a side would make it pay, and
// files removed by anything else on the disk still can. So each round runs
// both sides, taking turns at going first, with `sync` (untimed) before
// each, which also keeps one side from paying for the other's writeback;
// and the figures are medians over the rounds. The reported time is the
// installer's; counters give both sides' median wall and system time, the
// ratio of the median wall times, and the median of each round's ratio
// (paired_ratio), which a round slowed for both sides (the kernel
// reclaiming page cache while 1 GiB is written, say) sways least.
//
// The installer runs from the patch folder with the rule `*`, so that both
// sides copy the same files (the update list among them); its boxes are
// answered on its standard input (OK to the product question, Yes to the
// folders, OK to the final message) and its install directory comes from a
// registry file of its own.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Timing {
  double wall = 0;
  double user = 0;
  double system = 0;
};

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Per-round figures of one side.
struct Rounds {
  std::vector<double> wall, user, system;
  void Add(const Timing& t) {
    wall.push_back(t.wall);
    user.push_back(t.user);
    system.push_back(t.system);
  }
};

// The scratch trees of every shape, removed when the program ends.
class Scratch {
 public:
  ~Scratch() {
    for (const fs::path& root : m_roots) {
      std::error_code ignored;
      fs::remove_all(root, ignored);
    }
  }
  void Add(const fs::path& root) { m_roots.push_back(root); }

 private:
  std::vector<fs::path> m_roots;
};
Scratch g_scratch;

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

double Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Starts argv[0] (looked up on PATH) in folder cwd with stdin from the file
// input and stdout and stderr to /dev/null, waits for it, and times it. The
// same for both sides.
bool Run(const std::vector<std::string>& args, const std::string& cwd, const std::string& input,
         const std::vector<std::string>& env, Timing* timing) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  double start = Now();
  pid_t pid;
  int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) return false;
  int status = 0;
  rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) return false;
  timing->wall = Now() - start;
  timing->user = Seconds(usage.ru_utime);
  timing->system = Seconds(usage.ru_stime);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Writes `files` files of `size` bytes named f00000.dat ... into folder,
// each marked with its number and the tag, with the given modification time.
void MakeFiles(const fs::path& folder, int files, size_t size, char tag, fs::file_time_type when) {
  fs::create_directories(folder);
  std::vector<char> data(size, tag);
  for (int i = 0; i < files; ++i) {
    for (size_t k = 0; k < size; k += 4096) std::memcpy(&data[k], &i, sizeof(i));
    char name[32];
    std::snprintf(name, sizeof(name), "f%05d.dat", i);
    std::ofstream(folder / name, std::ios::binary).write(data.data(), static_cast<long>(size));
    fs::last_write_time(folder / name, when);
  }
}

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// range(0) files of range(1) bytes; range(2) 1 when they replace older files.
void BM_CopyRunAgainstCp(benchmark::State& state) {
  const int files = static_cast<int>(state.range(0));
  const size_t size = static_cast<size_t>(state.range(1));
  const bool replace = state.range(2) != 0;
  const int rounds = static_cast<int>(state.max_iterations);
  const fs::path root =
      fs::temp_directory_path() / ("vx-copy-run-bench-" + std::to_string(::getpid()) + "-" +
                                   std::to_string(files) + "-" + std::to_string(state.range(2)));
  g_scratch.Add(root);
  const fs::path patch = root / "patch";
  const auto now = fs::file_time_type::clock::now();
  MakeFiles(patch, files, size, 'n', now - std::chrono::hours(1));
  WriteText(patch / "update.lst", "regbase=Bench\\Copy\r\nreginstall=InstallDir\r\n*\r\n");
  fs::last_write_time(patch / "update.lst", now - std::chrono::hours(1));
  WriteText(root / "answers", "ok\nyes\nok\n");
  for (int r = 0; r < rounds; ++r) {
    for (const char* side : {"inst", "cp"}) {
      fs::path dest = root / (side + std::to_string(r));
      fs::create_directories(dest);
      if (replace) {
        MakeFiles(dest, files, size, 'o', now - std::chrono::hours(48));
        WriteText(dest / "update.lst", "old");
        fs::last_write_time(dest / "update.lst", now - std::chrono::hours(48));
      }
    }
    std::string install = (root / ("inst" + std::to_string(r))).string();
    WriteText(root / ("registry" + std::to_string(r)),
              "Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_CURRENT_USER\\Software\\Bench\\Copy]\r\n\"InstallDir\"=\"" +
                  install + "\"\r\n");
  }
  ::sync();

  Rounds run;
  Rounds cp;
  int round = 0;
  for (auto _ : state) {
    const std::string n = std::to_string(round);
    for (int side = 0; side < 2; ++side) {
      ::sync();
      Timing t;
      if ((side + round) % 2 == 0) {
        // The installer's run ends with its files on disk: `cp` is
        // followed by `sync`, in the same timed process.
        if (!Run({"sh", "-c", "cp -r . \"$1\" && sync", "sh", (root / ("cp" + n)).string()},
                 patch.string(), (root / "answers").string(), {}, &t)) {
          state.SkipWithError("cp failed");
        }
        cp.Add(t);
      } else {
        if (!Run({VX_UPDATE_BINARY}, patch.string(), (root / "answers").string(),
                 {"VXUPDATE_REGISTRY=" + (root / ("registry" + n)).string(),
                  "XDG_RUNTIME_DIR=" + root.string()},
                 &t)) {
          state.SkipWithError("update failed");
        }
        run.Add(t);
        state.SetIterationTime(t.wall);
      }
    }
    ++round;
  }
  state.counters["cp_ms"] = Median(cp.wall) * 1e3;
  state.counters["cp_sys_ms"] = Median(cp.system) * 1e3;
  state.counters["cp_user_ms"] = Median(cp.user) * 1e3;
  state.counters["update_ms"] = Median(run.wall) * 1e3;
  state.counters["update_sys_ms"] = Median(run.system) * 1e3;
  state.counters["update_user_ms"] = Median(run.user) * 1e3;
  state.counters["ratio"] = Median(run.wall) / Median(cp.wall);
  std::vector<double> paired;
  for (size_t i = 0; i < run.wall.size() && i < cp.wall.size(); ++i) {
    if (cp.wall[i] > 0) paired.push_back(run.wall[i] / cp.wall[i]);
  }
  state.counters["paired_ratio"] = Median(paired);
}
BENCHMARK(BM_CopyRunAgainstCp)
    ->ArgNames({"files", "size", "replace"})
    ->Args({10000, 4096, 0})
    ->Iterations(8)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyRunAgainstCp)
    ->ArgNames({"files", "size", "replace"})
    ->Args({4, 256 << 20, 0})
    ->Iterations(8)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyRunAgainstCp)
    ->ArgNames({"files", "size", "replace"})
    ->Args({10000, 4096, 1})
    ->Iterations(8)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
