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

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/fs.h"
#include "platform/posix/files/moves.h"

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
  static std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
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

// A name probed missing in a folder whose listing is kept is known missing
// there, whatever the lookup asked of the watch meanwhile: when the folder is
// swapped before the copy, nothing goes into the new one.
TEST_F(CopyTest, ANameProbedMissingHoldsToItsFolder) {
  const fs::path data = root_ / "inst" / "data";
  Put(data / "kept.dat", "kept");
  Put(root_ / "patch" / "b.dat", "new b");
  for (const char* name : {"a.dat", "b.dat"}) {  // the first read keeps the listing
    EXPECT_EQ(platform::OpenExisting(Win(data / name).c_str(), platform::Share::kNone), nullptr);
  }
  fs::rename(data, root_ / "inst" / "moved");
  fs::create_directories(data);
  platform::FileHandle source =
      platform::OpenExisting(Win(root_ / "patch" / "b.dat").c_str(), platform::Share::kNone);
  EXPECT_FALSE(platform::CopyOver(Win(root_ / "patch" / "b.dat").c_str(),
                                  Win(data / "b.dat").c_str(), source));
  EXPECT_TRUE(platform::CopyMetAChange());
  EXPECT_TRUE(fs::is_empty(data));
}

// In a run, new files on a volume that outlives a power cut get their names
// only after a batch of them is flushed: a lookup of the name in any letter
// case, a change of its attributes and the run's flush each find the file in
// place first; a file another program made under the name meanwhile stays;
// SIGINT leaves each name absent or whole, with no temporary file.
TEST_F(CopyTest, NewFilesOfABatchAreNamedOnceFlushed) {
  const fs::path inst = root_ / "inst";
  fs::create_directories(inst);
  for (const char* name : {"a.dat", "b.dat", "c.dat"}) {
    Put(root_ / "patch" / name, std::string("new ") + name);
  }
  fs::permissions(root_ / "patch" / "c.dat", fs::perms::owner_read);
  EXPECT_EQ(InChild([&] {
              platform::BatchReplacingMoves(true);
              for (const char* name : {"A.dat", "b.dat", "c.dat"}) {
                if (!Copy(root_ / "patch" / Lower(name), inst / name)) return 1;
              }
              Put(inst / "b.dat", "theirs");
              platform::File a(
                  platform::OpenExisting(Win(inst / "a.DAT").c_str(), platform::Share::kNone));
              char text[16] = {};
              uint32_t got = 0;
              if (!platform::ReadBytes(a.get(), text, sizeof(text), &got) ||
                  std::string(text, got) != "new a.dat") {
                return 2;
              }
              if (!platform::SetNormalAttributes(Win(inst / "c.dat").c_str())) return 3;
              return platform::FlushCopies() ? 0 : 4;
            }),
            0);
  EXPECT_EQ(Names(inst), (std::vector<std::string>{"A.dat", "b.dat", "c.dat"}));
  EXPECT_EQ(Get(inst / "b.dat"), "theirs");
  EXPECT_EQ(Get(inst / "c.dat"), "new c.dat");
  EXPECT_TRUE((fs::status(inst / "c.dat").permissions() & fs::perms::owner_write) !=
              fs::perms::none);

  fs::remove_all(inst);
  fs::create_directories(inst);
  EXPECT_EQ(InChild([&] {
              platform::BatchReplacingMoves(true);
              for (const char* name : {"a.dat", "b.dat"}) Copy(root_ / "patch" / name, inst / name);
              ::raise(SIGINT);
              return 0;
            }),
            128 + SIGINT);
  for (const std::string& name : Names(inst)) {
    EXPECT_EQ(Get(inst / name), "new " + name);
  }
}

// A held new file is found by its path in any ASCII letter case, whatever
// the path's length (the key is folded eight bytes at a time, then the
// rest) and whatever bytes stand around the letters: punctuation next to
// 'A' and 'Z', and the bytes of UTF-8 names, whose low bits may look like
// capitals.
TEST_F(CopyTest, HeldFilesAreFoundUnderEveryLetterCaseOfTheirPath) {
  const fs::path inst = root_ / "inst";
  fs::create_directories(inst);
  // Each name as the file system has it (UTF-8) and as the installer
  // writes it (code page 932): the Cyrillic capital A is D0 90 in UTF-8,
  // and D0 looks like 'P' with its top bit set.
  const std::vector<std::pair<std::string, std::string>> names = {
      {"a", "a"},
      {"Zb", "Zb"},
      {"mIxEd.DAT", "mIxEd.DAT"},
      {"@AZ[`az{.x", "@AZ[`az{.x"},
      {"LongerThanEight_Bytes.Txt", "LongerThanEight_Bytes.Txt"},
      {"\xD0\x90Pq.dat", "\x84\x40Pq.dat"}};
  for (const auto& [name, written] : names) Put(root_ / "patch" / name, "new " + name);
  auto flipped = [](std::string text, bool upper) {
    for (char& c : text) {
      if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      if (!upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
  };
  const int status = InChild([&] {
    platform::BatchReplacingMoves(true);
    for (const auto& [name, written] : names) {
      const std::string from = Win(root_ / "patch") + "\\" + written;
      const std::string to = Win(inst) + "\\" + written;
      platform::FileHandle source = platform::OpenExisting(from.c_str(), platform::Share::kNone);
      platform::File(platform::OpenExisting(to.c_str(), platform::Share::kNone));
      if (source == nullptr || !platform::CopyOver(from.c_str(), to.c_str(), source)) {
        return 1;
      }
    }
    // A volume that no power cut outlives (tmpfs) holds nothing back.
    if (!platform::posix::MoveHeld((inst / names[0].first).string())) return 4;
    for (const auto& [name, written] : names) {
      for (bool upper : {false, true}) {
        if (!platform::posix::MoveHeld(flipped((inst / name).string(), upper))) return 2;
      }
    }
    return platform::FlushCopies() ? 0 : 3;
  });
  if (status == 4) GTEST_SKIP() << "the temporary folder's volume holds no new file back";
  EXPECT_EQ(status, 0);
  for (const auto& [name, written] : names) EXPECT_EQ(Get(inst / name), "new " + name);
}

// Enough held files that a thread flushes batches while the copy goes on,
// with few descriptors to hold them by: a file of a batch still being
// flushed is found in place by a lookup and by a second copy over it, and
// the run's flush leaves every file named, with its contents.
TEST_F(CopyTest, BatchesFlushedMeanwhileKeepEveryFile) {
  constexpr int kNew = 900, kReplaced = 300;
  auto name = [](const char* kind, int i) {
    std::string text = kind;
    text += std::to_string(i);
    text += ".dat";
    return text;
  };
  // Two folders in turn, so that each batch holds both.
  auto folder = [&](int i) { return root_ / "inst" / (i % 2 == 0 ? "even" : "odd"); };
  for (int i = 0; i < kNew; ++i) Put(root_ / "patch" / name("n", i), name("new n", i));
  for (int i = 0; i < kReplaced; ++i) {
    Put(root_ / "patch" / name("r", i), name("new r", i));
    Put(folder(i) / name("r", i), "old");
  }
  Put(root_ / "patch" / "again.dat", "again");
  EXPECT_EQ(
      InChild([&] {
        rlimit low{200, 200};  // 100 new files held open at most
        if (::setrlimit(RLIMIT_NOFILE, &low) != 0) return 2;
        platform::BatchReplacingMoves(true);
        for (int i = 0; i < kNew; ++i) {
          if (!Copy(root_ / "patch" / name("n", i), folder(i) / name("n", i))) return 1;
          if (i < kReplaced && !Copy(root_ / "patch" / name("r", i), folder(i) / name("r", i))) {
            return 1;
          }
          if (i == kNew / 2) {
            // Files of the batch handed over last, and of the one
            // being filled.
            for (int j : {i - 90, i - 1}) {
              platform::File held(platform::OpenExisting(Win(folder(j) / name("n", j)).c_str(),
                                                         platform::Share::kNone));
              if (held.get() == nullptr) return 3;
            }
            if (!Copy(root_ / "patch" / "again.dat", folder(i - 2) / name("n", i - 2))) {
              return 4;
            }
          }
        }
        return platform::FlushCopies() ? 0 : 5;
      }),
      0);
  for (int i = 0; i < kNew; ++i) {
    const std::string want = i == kNew / 2 - 2 ? "again" : name("new n", i);
    EXPECT_EQ(Get(folder(i) / name("n", i)), want) << i;
  }
  for (int i = 0; i < kReplaced; ++i) EXPECT_EQ(Get(folder(i) / name("r", i)), name("new r", i));
  EXPECT_EQ(Names(root_ / "inst" / "even").size() + Names(root_ / "inst" / "odd").size(),
            static_cast<size_t>(kNew + kReplaced));
}

// A child made by fork while its parent's batch is being flushed has no
// flush thread and the parent's locks as they were: its own flush ends
// (it flushes what it holds itself), and neither side loses a file (a name
// the other side linked first is simply there).
TEST_F(CopyTest, AForkedChildFlushesWhatItHolds) {
  constexpr int kFiles = 600;
  auto name = [](int i) {
    std::string text = "f";
    text += std::to_string(i);
    text += ".dat";
    return text;
  };
  const fs::path inst = root_ / "inst";
  fs::create_directories(inst);
  for (int i = 0; i < kFiles; ++i) Put(root_ / "patch" / name(i), name(i));
  EXPECT_EQ(InChild([&] {
              platform::BatchReplacingMoves(true);
              for (int i = 0; i < kFiles; ++i) {
                if (!Copy(root_ / "patch" / name(i), inst / name(i))) return 1;
              }
              // Batches of 256 were handed over: one may be on its way.
              int grandchild = InChild([] { return platform::FlushCopies() ? 0 : 1; });
              if (grandchild != 0) return 10 + grandchild;
              return platform::FlushCopies() ? 0 : 2;
            }),
            0);
  EXPECT_EQ(Names(inst).size(), static_cast<size_t>(kFiles));
  for (int i = 0; i < kFiles; ++i) EXPECT_EQ(Get(inst / name(i)), name(i));
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

// A replaced file keeps its own mode whatever the umask would cut from it:
// wider than the umask allows, exactly what it allows, or narrower in one
// place and wider in another. (A file without its owner's write bit is
// read-only, which the run clears before it replaces the file.)
TEST_F(CopyTest, AReplacedFileKeepsItsModeWhateverTheUmask) {
  const fs::path inst = root_ / "inst";
  const std::vector<std::pair<std::string, mode_t>> files = {
      {"shared.ini", 0664}, {"private.ini", 0640}, {"odd.ini", 0604}, {"run.sh", 0755}};
  for (const auto& [name, mode] : files) {
    Put(inst / name, "old");
    Put(root_ / "patch" / name, "new " + name);
    ASSERT_EQ(::chmod((inst / name).c_str(), mode), 0);
  }
  EXPECT_EQ(InChild([&] {
              ::umask(027);
              for (const auto& [name, mode] : files) {
                if (!Copy(root_ / "patch" / name, inst / name)) return 1;
              }
              return platform::FlushCopies() ? 0 : 2;
            }),
            0);
  for (const auto& [name, mode] : files) {
    struct stat st;
    ASSERT_EQ(::stat((inst / name).c_str(), &st), 0);
    EXPECT_EQ(Get(inst / name), "new " + name);
    EXPECT_EQ(st.st_mode & 07777, mode) << name;
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
              // Names are built by appending: GCC 12's -O3 takes "f" +
              // std::to_string(...) for an overlapping copy.
              int copied = 0;
              for (int folder = 0; folder < 30; ++folder) {
                std::string folderName = "f";
                folderName += std::to_string(folder);
                fs::path dir = root_ / "inst" / folderName;
                fs::create_directories(dir);
                for (int file = 0; file < 8; ++file) {
                  std::string name = "x";
                  name += std::to_string(file);
                  name += ".dat";
                  copied += Copy(root_ / "src", dir / name);
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

// A file system writes a file's contents whenever it likes, after a rename
// over another file or the link of a new one: the copy puts a replacing
// file on disk before its move, and a new file before its name (on its own,
// or a batch at once), by a flush or, where the volume logs a name after
// the contents it names, by the file's own writeback. A volume shut down
// right after the files were written (its log written, as a power cut a
// moment later would leave it) holds old or new files and new files whole
// or absent, never empty or short ones; shut down right after the run's
// final flush (nothing more written), it holds the new ones.
class ShutDownTest : public CopyTest {
 protected:
  void ShutDownAfterARun(const std::string& mkfs);
};

TEST_F(ShutDownTest, AnXfsVolumeShutDownAfterARunHoldsOldOrNewFiles) {
  ShutDownAfterARun("mkfs.xfs -q -f");
}

TEST_F(ShutDownTest, AJournaledExt4VolumeShutDownAfterARunHoldsOldOrNewFiles) {
  ShutDownAfterARun("mkfs.ext4 -q -F");
}

void ShutDownTest::ShutDownAfterARun(const std::string& mkfs) {
  const std::string tool = mkfs.substr(0, mkfs.find(' '));
  if (::geteuid() != 0 || !Shell("command -v " + tool + " && command -v xfs_io")) {
    GTEST_SKIP() << "a loop volume needs root, " << tool
                 << " and xfs_io (Debian: xfsprogs, e2fsprogs)";
  }
  const fs::path image = root_ / "volume.img", mount = root_ / "mnt";
  fs::create_directories(mount);
  std::ofstream(image).close();
  fs::resize_file(image, 320 << 20);
  const std::string mountIt = "mount -o loop " + image.string() + " " + mount.string();
  if (!Shell(mkfs + " " + image.string()) || !Shell(mountIt)) {
    GTEST_SKIP() << "no loop volume can be made with " << tool << " and mounted here";
  }
  struct Unmount {
    std::string at;
    ~Unmount() { Shell("umount " + at); }
  } unmount{mount.string()};
  // Replaced files and new files written one by one, new files of a batch
  // (enough of them that the flush thread takes several batches in turn),
  // replaced files of a batch.
  const std::string kinds[] = {"file", "new", "batch", "again"};
  const int counts[] = {20, 20, 300, 300};
  auto replaces = [](int kind) { return kind == 0 || kind == 3; };
  auto name = [&](int kind, int i) { return kinds[kind] + std::to_string(i) + ".dat"; };
  auto fresh = [](int kind, int i, int round) {
    return std::string(64 << 10, static_cast<char>('a' + i)) + std::to_string(kind * 10 + round);
  };
  for (int kind : {0, 3}) {
    for (int i = 0; i < counts[kind]; ++i) Put(mount / "game" / name(kind, i), "old");
  }
  ASSERT_TRUE(Shell("sync"));
  for (int round = 1; round <= 2; ++round) {
    for (int kind = 0; kind < 4; ++kind) {
      for (int i = 0; i < counts[kind]; ++i) {
        Put(root_ / "patch" / name(kind, i), fresh(kind, i, round));
      }
    }
    ASSERT_EQ(InChild([&] {
                for (int kind = 0; kind < 4; ++kind) {
                  platform::BatchReplacingMoves(kind >= 2);
                  for (int i = 0; i < counts[kind]; ++i) {
                    if (!Copy(root_ / "patch" / name(kind, i), mount / "game" / name(kind, i))) {
                      return 1;
                    }
                  }
                }
                if (round == 2) return platform::FlushCopies() ? 0 : 1;
                // The batch flushed and its files named, as when a later
                // file of the run needs one of them.
                platform::File(platform::OpenExisting(Win(mount / "game" / name(2, 0)).c_str(),
                                                      platform::Share::kNone));
                return 0;
              }),
              0);
    // Round 1: the log written first, so that the moves and names are kept;
    // round 2: nothing more written at all.
    ASSERT_TRUE(Shell("xfs_io -x -c 'shutdown" + std::string(round == 1 ? " -f" : "") + "' " +
                      mount.string()));
    ASSERT_TRUE(Shell("umount " + mount.string()) && Shell(mountIt));
    for (int kind = 0; kind < 4; ++kind) {
      for (int i = 0; i < counts[kind]; ++i) {
        const fs::path path = mount / "game" / name(kind, i);
        std::string now = Get(path);
        if (round == 2) {
          EXPECT_TRUE(now == fresh(kind, i, 2)) << name(kind, i) << ": " << now.size() << " bytes";
        } else if (replaces(kind)) {
          EXPECT_TRUE(now == "old" || now == fresh(kind, i, 1))
              << name(kind, i) << ": " << now.size() << " bytes";
        } else {
          EXPECT_TRUE(!fs::exists(path) || now == fresh(kind, i, 1))
              << name(kind, i) << ": " << now.size() << " bytes";
        }
      }
    }
  }
}

}  // namespace
