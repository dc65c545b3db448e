// The lock-file mutex between two users: the game run by one, the installer
// by another.
#include "platform/mutex.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

// What CreateNamedMutex gives the user `who` in a process of its own: 0 the
// mutex was free, 1 it was held, 2 no handle.
int ProbeAs(const passwd& who, const char* name) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgid(who.pw_gid) != 0 || ::setuid(who.pw_uid) != 0) ::_exit(3);
    uint32_t lastError = 0;
    platform::MutexHandle mutex = platform::CreateNamedMutex(name, &lastError);
    ::_exit(mutex == nullptr ? 2 : lastError == platform::kErrorAlreadyExists ? 1 : 0);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(LockFileMutex, ALockFileThatAnotherUserMadeServesAsWell) {
  const passwd* nobody = ::getpwnam("nobody");
  if (::geteuid() != 0 || nobody == nullptr) {
    GTEST_SKIP() << "needs root and the user nobody to play two users";
  }
  char folder[] = "/tmp/vx-mutex-XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  ::chmod(folder, 0755);  // nobody may enter but create nothing
  ::setenv("XDG_RUNTIME_DIR", folder, 1);
  const std::string lock = std::string(folder) + "/VxGame.lock";

  // Root runs the game: it makes the lock file, which nobody may not write.
  uint32_t lastError = 0;
  platform::MutexHandle game = platform::CreateNamedMutex("VxGame", &lastError);
  ASSERT_NE(game, nullptr);
  EXPECT_EQ(lastError, 0u);
  ASSERT_EQ(::chmod(lock.c_str(), 0644), 0);
  EXPECT_EQ(ProbeAs(*nobody, "VxGame"), 1);
  platform::CloseMutex(game);
  EXPECT_EQ(ProbeAs(*nobody, "VxGame"), 0);

  ::unsetenv("XDG_RUNTIME_DIR");
  std::filesystem::remove_all(folder);
}

}  // namespace
