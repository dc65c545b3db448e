// The Linux copy under other programs, signals, crashes, elevated runs and a
// low descriptor limit, against real scratch folders (and, run as root, loop
// volumes of their own).
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/fs.h"

namespace {

namespace fs = std::filesystem;

class CopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("vx-copy-" + std::to_string(std::random_device()()));
    fs::create_directories(root_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  // The path as the installer writes it (code page 932, `\`).
  static std::string Win(const fs::path& path) {
    std::string text = path.string();
    for (char& c : text) {
      if (c == '/') c = '\\';
    }
    return text;
  }
  static void Put(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static std::string Get(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Probes the destination and copies, as the run does.
  static bool Copy(const fs::path& from, const fs::path& to) {
    platform::FileHandle source = platform::OpenExisting(Win(from).c_str(), platform::Share::kNone);
    platform::File(platform::OpenExisting(Win(to).c_str(), platform::Share::kNone));
    return source != nullptr && platform::CopyOver(Win(from).c_str(), Win(to).c_str(), source);
  }
  static std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  // Runs body in a child process; its exit code, or 128 + the signal that
  // ended it.
  static int InChild(const std::function<int()>& body) {
    pid_t child = ::fork();
    if (child == 0) ::_exit(body());
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  fs::path root_;
};

// Another program moves the folder away and puts a new one in its place
// while a copy into it runs out of room: nothing of that program's is
// removed, and nothing of the copy's stays anywhere.
TEST_F(CopyTest, AFailedCopyRemovesOnlyItsOwn) {
  Put(root_ / "src", std::string(1 << 20, 'n'));
  Put(root_ / "inst" / "data" / "old.dat", "old");
  struct Swap {
    fs::path inst;
    static void Run(void* context) {
      const fs::path& inst = static_cast<Swap*>(context)->inst;
      fs::rename(inst / "data", inst / "moved");
      Put(inst / "data" / "old.dat", "theirs");
      Put(inst / "data" / "new.dat", "theirs too");
    }
  } swap{root_ / "inst"};
  for (const char* name : {"old.dat", "new.dat"}) {
    fs::remove_all(root_ / "inst" / "moved");
    fs::remove_all(root_ / "inst" / "data");
    Put(root_ / "inst" / "data" / "old.dat", "old");
    platform::FailNextCopyAfter(4096);
    platform::OnNextCopyWritten(&Swap::Run, &swap);
    EXPECT_FALSE(Copy(root_ / "src", root_ / "inst" / "data" / name)) << name;
    EXPECT_EQ(Names(root_ / "inst" / "moved"), std::vector<std::string>{"old.dat"}) << name;
    EXPECT_EQ(Get(root_ / "inst" / "moved" / "old.dat"), "old");
    EXPECT_EQ(Names(root_ / "inst" / "data"), (std::vector<std::string>{"new.dat", "old.dat"}));
    EXPECT_EQ(Get(root_ / "inst" / "data" / "new.dat"), "theirs too");
    EXPECT_EQ(Get(root_ / "inst" / "data" / "old.dat"), "theirs");
  }
}

// A link that names nothing can't be opened, so the probe finds the name
// missing: the copy still writes the file the link names, whole, and the
// link stays.
TEST_F(CopyTest, AProbedLinkToNothingIsWrittenThrough) {
  Put(root_ / "src", std::string(1 << 20, 's'));
  fs::create_directories(root_ / "game");
  fs::create_symlink("../shared.dat", root_ / "game" / "data.dat");
  EXPECT_TRUE(Copy(root_ / "src", root_ / "game" / "data.dat"));
  EXPECT_TRUE(fs::is_symlink(root_ / "game" / "data.dat"));
  EXPECT_EQ(Get(root_ / "shared.dat"), std::string(1 << 20, 's'));
}

// In a run, replaced files may wait for a batch of them to be flushed
// before their moves: each is in place once its path is opened again or
// the run flushes; a file another program put there meanwhile stays (as if
// it came after the move); and SIGINT leaves each file old or new, with no
// temporary file.
TEST_F(CopyTest, HeldMovesKeepToWhatWasExamined) {
  const fs::path inst = root_ / "inst";
  for (const char* name : {"a.dat", "b.dat", "c.dat"}) {
    Put(inst / name, "old");
    Put(root_ / "patch" / name, std::string("new ") + name);
  }
  platform::BatchReplacingMoves(true);
  for (const char* name : {"a.dat", "b.dat", "c.dat"}) {
    EXPECT_TRUE(Copy(root_ / "patch" / name, inst / name)) << name;
  }
  Put(inst / "b.dat", "theirs");
  platform::File a(platform::OpenExisting(Win(inst / "a.dat").c_str(), platform::Share::kNone));
  char text[16] = {};
  uint32_t got = 0;
  EXPECT_TRUE(platform::ReadBytes(a.get(), text, sizeof(text), &got));
  EXPECT_EQ(std::string(text, got), "new a.dat");
  EXPECT_TRUE(platform::FlushCopies());
  EXPECT_EQ(Get(inst / "b.dat"), "theirs");
  EXPECT_EQ(Get(inst / "c.dat"), "new c.dat");
  EXPECT_EQ(Names(inst), (std::vector<std::string>{"a.dat", "b.dat", "c.dat"}));

  for (const char* name : {"a.dat", "b.dat", "c.dat"}) Put(inst / name, "old");
  EXPECT_EQ(InChild([&] {
              platform::BatchReplacingMoves(true);
              for (const char* name : {"a.dat", "b.dat", "c.dat"}) {
                Copy(root_ / "patch" / name, inst / name);
              }
              ::raise(SIGINT);
              return 0;
            }),
            128 + SIGINT);
  EXPECT_EQ(Names(inst), (std::vector<std::string>{"a.dat", "b.dat", "c.dat"}));
  for (const char* name : {"a.dat", "b.dat", "c.dat"}) {
    std::string now = Get(inst / name);
    EXPECT_TRUE(now == "old" || now == std::string("new ") + name) << name << ": " << now;
  }
}

// SIGINT or SIGKILL while a big file is written, new or replacing: the
// destination holds the old file or nothing, never a cut-off one. SIGINT
// removes the temporary file at once; the one a SIGKILL leaves is removed by
// the next run that writes into the folder.
TEST_F(CopyTest, ASignalLeavesNoCutOffFileAndNoTemporaryFile) {
  const std::string big(16 << 20, 'b');
  Put(root_ / "src", big);
  for (int signal : {SIGINT, SIGKILL}) {
    for (bool replacing : {false, true}) {
      const fs::path folder = root_ / ("inst-" + std::to_string(signal) + (replacing ? "r" : "n"));
      fs::create_directories(folder);
      if (replacing) Put(folder / "big.dat", "old");
      int ready[2];
      ASSERT_EQ(::pipe(ready), 0);
      pid_t child = ::fork();
      if (child == 0) {
        // Once the new file is written, before it is put in place, the
        // child says so and waits for its signal.
        platform::OnNextCopyWritten(
            [](void* fd) {
              char byte = 1;
              // Without the byte the parent waits in vain and the test fails.
              if (::write(*static_cast<int*>(fd), &byte, 1) == 1) ::pause();
            },
            &ready[1]);
        Copy(root_ / "src", folder / "big.dat");
        ::_exit(0);
      }
      char byte = 0;
      ASSERT_EQ(::read(ready[0], &byte, 1), 1);
      ::close(ready[0]);
      ::close(ready[1]);
      ::kill(child, signal);
      int status = 0;
      ::waitpid(child, &status, 0);
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
      const std::string label = std::to_string(signal) + (replacing ? " replacing" : " new");
      if (replacing) {
        EXPECT_EQ(Get(folder / "big.dat"), "old") << label;
      } else {
        EXPECT_FALSE(fs::exists(folder / "big.dat")) << label;
      }
      size_t left = Names(folder).size() - (replacing ? 1 : 0);
      EXPECT_EQ(left, signal == SIGKILL && replacing ? 1u : 0u) << label;
      // The next run writes into the folder: no temporary file stays.
      Put(root_ / "other", "other");
      EXPECT_TRUE(Copy(root_ / "other", folder / "other.dat")) << label;
      EXPECT_EQ(Names(folder).size(), replacing ? 2u : 1u) << label;
    }
  }
}

// Run as root over an installation its user owns: a replaced file keeps
// owner, group and mode; new files and folders are the folder owner's; the
// umask holds and no set-id bit comes from the patch.
TEST_F(CopyTest, RootKeepsThePlayersOwnersAndModes) {
  const passwd* nobody = ::getpwnam("nobody");
  if (::geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root and a user `nobody`";
  const fs::path inst = root_ / "inst";
  Put(inst / "config.ini", "old");
  Put(root_ / "config.ini", "new");
  Put(root_ / "tool", "tool");
  ASSERT_EQ(::chmod((root_ / "tool").c_str(), 04755), 0);
  for (const fs::path& path : {inst, inst / "config.ini"}) {
    ASSERT_EQ(::chown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  }
  ASSERT_EQ(::chmod((inst / "config.ini").c_str(), 0664), 0);
  EXPECT_EQ(InChild([&] {
              ::umask(027);
              bool ok = Copy(root_ / "config.ini", inst / "config.ini") &&
                        Copy(root_ / "tool", inst / "tool") &&
                        platform::CreateFoldersOf(Win(inst / "sub" / "x").c_str());
              return ok ? 0 : 1;
            }),
            0);
  struct stat st;
  ASSERT_EQ(::stat((inst / "config.ini").c_str(), &st), 0);
  EXPECT_EQ(Get(inst / "config.ini"), "new");
  EXPECT_EQ(st.st_uid, nobody->pw_uid);
  EXPECT_EQ(st.st_gid, nobody->pw_gid);
  EXPECT_EQ(st.st_mode & 07777, 0664u);
  ASSERT_EQ(::stat((inst / "tool").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, nobody->pw_uid);
  EXPECT_EQ(st.st_gid, nobody->pw_gid);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  ASSERT_EQ(::stat((inst / "sub").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, nobody->pw_uid);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
}

// With 16 descriptors, folders kept open for speed never make a copy fail.
TEST_F(CopyTest, ALowDescriptorLimitFailsNoCopy) {
  Put(root_ / "src", "x");
  EXPECT_EQ(InChild([&] {
              rlimit low{16, 16};
              if (::setrlimit(RLIMIT_NOFILE, &low) != 0) return 2;
              int copied = 0;
              for (int folder = 0; folder < 30; ++folder) {
                fs::path dir = root_ / "inst" / ("f" + std::to_string(folder));
                fs::create_directories(dir);
                for (int file = 0; file < 8; ++file) {
                  copied += Copy(root_ / "src", dir / ("x" + std::to_string(file) + ".dat"));
                }
              }
              return copied == 240 ? 0 : 1;
            }),
            0);
}

// Runs a command through the shell, quietly; true when it succeeded.
bool Shell(const std::string& command) {
  return std::system(("{ " + command + "; } >/dev/null 2>&1").c_str()) == 0;
}

// XFS writes a file renamed over another whenever it likes, after the
// rename: the copy flushes each replacing file before its move there. A
// volume shut down right after the files were replaced (its log written,
// as a power cut a moment later would leave it) holds old or new files,
// never empty ones; shut down right after the run's final flush (nothing
// more written), it holds the new ones.
TEST_F(CopyTest, AnXfsVolumeShutDownAfterARunHoldsOldOrNewFiles) {
  if (::geteuid() != 0 || !Shell("command -v mkfs.xfs && command -v xfs_io")) {
    GTEST_SKIP() << "an XFS loop volume needs root, mkfs.xfs and xfs_io (Debian: xfsprogs)";
  }
  const fs::path image = root_ / "xfs.img", mount = root_ / "mnt";
  fs::create_directories(mount);
  std::ofstream(image).close();
  fs::resize_file(image, 320 << 20);
  const std::string mountIt = "mount -o loop " + image.string() + " " + mount.string();
  if (!Shell("mkfs.xfs -q -f " + image.string()) || !Shell(mountIt)) {
    GTEST_SKIP() << "no XFS loop volume can be made and mounted here";
  }
  struct Unmount {
    std::string at;
    ~Unmount() { Shell("umount " + at); }
  } unmount{mount.string()};
  constexpr int kFiles = 20;
  auto name = [](int i) { return "file" + std::to_string(i) + ".dat"; };
  auto fresh = [](int i, int round) {
    return std::string(64 << 10, static_cast<char>('a' + i)) + std::to_string(round);
  };
  for (int i = 0; i < kFiles; ++i) Put(mount / "game" / name(i), "old");
  ASSERT_TRUE(Shell("sync"));
  for (int round = 1; round <= 2; ++round) {
    for (int i = 0; i < kFiles; ++i) Put(root_ / "patch" / name(i), fresh(i, round));
    ASSERT_EQ(InChild([&] {
                for (int i = 0; i < kFiles; ++i) {
                  if (!Copy(root_ / "patch" / name(i), mount / "game" / name(i))) return 1;
                }
                return round == 2 && !platform::FlushCopies() ? 1 : 0;
              }),
              0);
    // Round 1: the log written first, so that the moves are kept; round 2:
    // nothing more written at all.
    ASSERT_TRUE(Shell("xfs_io -x -c 'shutdown" + std::string(round == 1 ? " -f" : "") + "' " +
                      mount.string()));
    ASSERT_TRUE(Shell("umount " + mount.string()) && Shell(mountIt));
    for (int i = 0; i < kFiles; ++i) {
      std::string now = Get(mount / "game" / name(i));
      if (round == 1) {
        EXPECT_TRUE(now == "old" || now == fresh(i, 1))
            << name(i) << ": " << now.size() << " bytes";
      } else {
        EXPECT_TRUE(now == fresh(i, 2)) << name(i) << ": " << now.size() << " bytes";
      }
    }
  }
}

}  // namespace
