#include "platform/posix/files/temporary.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <tuple>
#include <utility>

namespace platform::posix {
namespace {

// `.~vxupdate.<pid>.<number>.tmp`: hidden, and unlike any name a game ships.
constexpr std::string_view kPrefix = ".~vxupdate.";
constexpr std::string_view kSuffix = ".tmp";

// The files being written or waiting for their move, for the signal
// handler: a slot is filled while the handler skips it (guarded is off),
// then switched on.
// (guarded is an atomic free of locks: the copy guards a file in one thread
// while the flush thread lets another go, and the handler reads it.)
struct Guarded {
  std::atomic<int> guarded;
  int folder;
  ino_t inode;
  char name[64];
};
static_assert(std::atomic<int>::is_always_lock_free);
Guarded g_slots[kMaxGuarded];

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_previous[3];

void RemoveAndEnd(int signal) {
  for (Guarded& slot : g_slots) {
    if (!slot.guarded) continue;
    struct stat st;
    if (::fstatat(slot.folder, slot.name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_ino == slot.inode) {
      ::unlinkat(slot.folder, slot.name, 0);
    }
    slot.guarded = 0;
  }
  // What was there before takes the signal: the default ends the process
  // once this handler returns.
  for (size_t i = 0; i < 3; ++i) {
    if (kSignals[i] == signal) ::sigaction(signal, &g_previous[i], nullptr);
  }
  ::raise(signal);
}

void InstallHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (size_t i = 0; i < 3; ++i) {
      struct sigaction now {};
      if (::sigaction(kSignals[i], nullptr, &g_previous[i]) != 0) continue;
      // A signal the process ignores (a run under nohup) stays ignored.
      if (g_previous[i].sa_handler == SIG_IGN) continue;
      now.sa_handler = RemoveAndEnd;
      sigemptyset(&now.sa_mask);
      ::sigaction(kSignals[i], &now, nullptr);
    }
  });
}

bool Digits(std::string_view text) {
  if (text.empty() || text.size() > 20) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

int CreateTemporary(int folder, mode_t mode, std::string* name) {
  static std::atomic<unsigned> counter{0};
  // The process's id, asked once (and again in a child after a fork).
  static pid_t pid = 0;
  static std::once_flag forks;
  std::call_once(forks, [] { ::pthread_atfork(nullptr, nullptr, [] { pid = 0; }); });
  if (pid == 0) pid = ::getpid();
  char text[64];
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::snprintf(text, sizeof(text), "%.*s%ld.%u%.*s", static_cast<int>(kPrefix.size()),
                  kPrefix.data(), static_cast<long>(pid), counter.fetch_add(1),
                  static_cast<int>(kSuffix.size()), kSuffix.data());
    int fd;
    do fd = ::openat(folder, text, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      name->assign(text);
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;  // every name taken: none of them is ours
}

bool IsTemporaryName(std::string_view name, pid_t* pid) {
  if (name.size() <= kPrefix.size() + kSuffix.size() || name.substr(0, kPrefix.size()) != kPrefix ||
      name.substr(name.size() - kSuffix.size()) != kSuffix) {
    return false;
  }
  std::string_view middle =
      name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  size_t dot = middle.find('.');
  if (dot == std::string_view::npos || !Digits(middle.substr(0, dot)) ||
      !Digits(middle.substr(dot + 1))) {
    return false;
  }
  long value = 0;
  for (char c : middle.substr(0, dot)) value = value * 10 + (c - '0');
  *pid = static_cast<pid_t>(value);
  return true;
}

int GuardTemporary(int folder, const std::string& name, ino_t inode) {
  InstallHandlers();
  for (int i = 0; i < kMaxGuarded; ++i) {
    Guarded& slot = g_slots[i];
    if (slot.guarded) continue;
    slot.folder = folder;
    slot.inode = inode;
    std::snprintf(slot.name, sizeof(slot.name), "%s", name.c_str());
    std::atomic_signal_fence(std::memory_order_seq_cst);
    slot.guarded = 1;
    return i;
  }
  return -1;
}

void UnguardTemporary(int slot) {
  if (slot < 0 || slot >= kMaxGuarded) return;
  g_slots[slot].guarded = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

void SweepLeftovers(int folder, const std::string& path, dev_t device, ino_t inode) {
  static std::mutex mutex;
  static std::set<std::tuple<dev_t, ino_t, std::string>> swept;
  // A run writes many files into one folder in a row.
  thread_local dev_t lastDevice = 0;
  thread_local ino_t lastInode = 0;
  thread_local std::string lastPath;
  if (inode == lastInode && device == lastDevice && path == lastPath) return;
  lastDevice = device;
  lastInode = inode;
  lastPath = path;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (swept.size() >= 4096) swept.clear();  // bounded: a folder may be swept again
    if (!swept.emplace(device, inode, path).second) return;
  }
  int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return;
  }
  const uid_t user = ::geteuid();
  while (dirent* d = ::readdir(dir)) {
    pid_t pid;
    if (!IsTemporaryName(d->d_name, &pid) || pid == ::getpid()) continue;
    // A process that still runs may be writing it.
    if (pid > 0 && (::kill(pid, 0) == 0 || errno != ESRCH)) continue;
    struct stat st;
    if (::fstatat(folder, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        (user != 0 && st.st_uid != user)) {
      continue;
    }
    ::unlinkat(folder, d->d_name, 0);
  }
  ::closedir(dir);
}

}  // namespace platform::posix
