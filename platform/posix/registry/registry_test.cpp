#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/posix/registry/registry_file.h"
#include "platform/testing/registry_sandbox.h"

namespace platform {
namespace {

// Sets each value (its data is its name) below the key path, one after
// the other through one open key; when another writer got there first, the
// key is opened again (the file read afresh) and the write tried again.
// True once every write succeeded.
bool WriteAll(const std::string& path, const std::vector<std::string>& values) {
  size_t done = 0;
  for (int attempt = 0; attempt < 1000 && done < values.size(); ++attempt) {
    RegKey key = nullptr;
    if (!RegistryOpen(kRegCurrentUser, path.c_str(), RegAccess::kAll, &key)) continue;
    for (; done < values.size(); ++done) {
      const std::string& v = values[done];
      if (!RegistrySetValue(key, v.c_str(), kRegTypeSz, v.c_str(),
                            static_cast<uint32_t>(v.size() + 1))) {
        break;
      }
    }
    RegistryClose(key);
  }
  return done == values.size();
}

// The stem of one writer's values in one trial, e.g. "T12W1". Built by
// appending: GCC 12 at -O3 takes `"T" + std::to_string(...)` for an
// overlapping copy (a false -Wrestrict), which stops the release build.
std::string WriterStem(int trial, int writer) {
  std::string stem = "T";
  stem += std::to_string(trial);
  stem += 'W';
  stem += std::to_string(writer);
  return stem;
}

// Several processes write different values at once, many times over: every
// write that reported success must be in the file afterwards. Each writes
// twice through the same key, so its second write relies on what its first
// one recorded of the file.
TEST(RegistryFileWriters, NoAcknowledgedWriteIsLost) {
  constexpr int kTrials = 100;
  constexpr int kWriters = 3;
  RegistrySandbox sandbox;
  const std::string path = std::string("Software\\") + sandbox.Name();
  ASSERT_TRUE(sandbox.PutText(kRegCurrentUser, nullptr, "Start", "0"));

  std::vector<std::string> acknowledged;
  for (int trial = 0; trial < kTrials; ++trial) {
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
      std::string value = WriterStem(trial, w);
      std::vector<std::string> values = {value + "a", value + "b"};
      pid_t pid = ::fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        ::close(gate[1]);
        char c;
        while (::read(gate[0], &c, 1) < 0) {
        }  // all start when the gate closes
        ::_exit(WriteAll(path, values) ? 0 : 1);
      }
      children.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    for (int w = 0; w < kWriters; ++w) {
      int status = 0;
      ASSERT_EQ(::waitpid(children[w], &status, 0), children[w]);
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        std::string value = WriterStem(trial, w);
        acknowledged.push_back(value + "a");
        acknowledged.push_back(value + "b");
      }
    }
  }
  std::ifstream in(sandbox.FilePath(), std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  posix::RegTree tree;
  ASSERT_TRUE(posix::ParseRegistryFile(bytes.str(), &tree));
  auto key =
      tree.roots[posix::kRegRootCurrentUser]->FindChild("Software")->FindChild(sandbox.Name());
  ASSERT_NE(key, nullptr);
  int lost = 0;
  for (const std::string& value : acknowledged) {
    const posix::RegValue* v = key->FindValue(value);
    if (v == nullptr || v->data != value + std::string(1, '\0')) ++lost;
  }
  EXPECT_EQ(lost, 0) << "of " << acknowledged.size() << " acknowledged writes";
  EXPECT_EQ(acknowledged.size(), size_t{2 * kTrials * kWriters});
}

// The writers' lock file is opened for reading only, and made readable by
// everyone whatever the umask of the user who made it, so that it never
// keeps another user from writing.
TEST(RegistryFileWriters, LockFileIsReadableByEveryone) {
  RegistrySandbox sandbox;
  mode_t old = ::umask(077);
  bool written = sandbox.PutText(kRegCurrentUser, nullptr, "A", "1");
  ::umask(old);
  ASSERT_TRUE(written);
  struct stat st;
  ASSERT_EQ(::stat((sandbox.FilePath() + ".lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
  ASSERT_EQ(::stat(sandbox.FilePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // the registry file itself follows the umask
  EXPECT_TRUE(sandbox.PutText(kRegCurrentUser, nullptr, "B", "2"));  // the lock file is reused
}

// Something planted at the writers' lock path (a FIFO, whose open would
// block, or a link to a file elsewhere) is no lock: the write fails at once
// and the registry file is left as it was.
TEST(RegistryFileWriters, OnlyARegularFileServesAsTheLock) {
  ::alarm(20);  // a hang ends the test program instead of the whole run
  for (bool fifo : {true, false}) {
    RegistrySandbox sandbox;
    std::string lock = sandbox.FilePath() + ".lock";
    std::string elsewhere = sandbox.FilePath() + ".elsewhere";
    if (fifo) {
      ASSERT_EQ(::mkfifo(lock.c_str(), 0666), 0);
    } else {
      std::ofstream(elsewhere).put('x');
      ASSERT_EQ(::symlink(elsewhere.c_str(), lock.c_str()), 0);
    }
    EXPECT_FALSE(sandbox.PutText(kRegCurrentUser, nullptr, "A", "1")) << fifo;
    struct stat st;
    EXPECT_NE(::stat(sandbox.FilePath().c_str(), &st), 0) << fifo;
    ::unlink(lock.c_str());
    ::unlink(elsewhere.c_str());
  }
  ::alarm(0);
}

}  // namespace
}  // namespace platform
