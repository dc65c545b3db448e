#include "platform/posix/files/written_examiner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>

namespace platform::posix {
namespace {

// Bytes read back at a time: small enough to stay in the processor's cache
// between the read and the hash.
constexpr size_t kRead = size_t{1} << 20;
// Files up to one piece of the copy are examined on the caller's thread.
constexpr uint64_t kThreadFrom = uint64_t{16} << 20;

}  // namespace

WrittenExaminer::WrittenExaminer(int out, CopyContents* contents, uint64_t size)
    : m_out(out), m_contents(contents), m_buffer(new char[kRead]) {
  // Opened again through the process's own descriptor, so that the reads
  // have a position of their own and the file needs no name.
  char self[40];
  std::snprintf(self, sizeof(self), "/proc/self/fd/%d", out);
  m_back.reset(::open(self, O_RDONLY | O_CLOEXEC));
  // Finish fails without the file; a small one is not worth a thread.
  if (m_back.get() < 0 || size <= kThreadFrom) return;
  // The installer's signal handlers run on the thread that copies, not on
  // this one: it starts with them blocked.
  sigset_t blocked, before;
  sigemptyset(&blocked);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&blocked, signal);
  pthread_sigmask(SIG_BLOCK, &blocked, &before);
  try {
    m_thread = std::thread(&WrittenExaminer::Run, this);
  } catch (const std::system_error&) {
    // No thread: Finish examines the whole file on the caller's thread.
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

WrittenExaminer::~WrittenExaminer() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
  }
  m_wake.notify_one();
  if (m_thread.joinable()) m_thread.join();
  if (!m_finished) m_contents->Passed();  // readies it for another attempt
}

bool WrittenExaminer::Written(uint64_t end) {
  // The piece goes to the disk now; the flush before the file is put in
  // place then finds little left to write.
  if (end > m_sent) {
    ::sync_file_range(m_out, static_cast<off_t>(m_sent), static_cast<off_t>(end - m_sent),
                      SYNC_FILE_RANGE_WRITE);
    m_sent = end;
  }
  bool failed;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_written = std::max(m_written, end);
    failed = m_failed;
  }
  m_wake.notify_one();
  return !failed;
}

void WrittenExaminer::Run() {
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    m_wake.wait(lock, [this] { return m_stop || m_done || m_written > m_examined; });
    if (m_stop || m_written == m_examined) return;  // stopped, or done with all
    const uint64_t from = m_examined;
    const uint64_t to = m_written;
    lock.unlock();
    bool examined = ExamineRange(from, to);
    lock.lock();
    if (!examined) {
      m_failed = true;
      return;
    }
    m_examined = to;
  }
}

bool WrittenExaminer::ExamineRange(uint64_t from, uint64_t to) {
  while (from < to) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(kRead, to - from));
    ssize_t n = ::pread(m_back.get(), m_buffer.get(), want, static_cast<off_t>(from));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || !m_contents->Examine(m_buffer.get(), static_cast<uint32_t>(n))) return false;
    from += static_cast<uint64_t>(n);
  }
  return true;
}

bool WrittenExaminer::Finish() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_done = true;
  }
  m_wake.notify_one();
  if (m_thread.joinable()) m_thread.join();
  // The thread is gone: what it left, and whatever the caller wrote that it
  // did not hear of, is examined here, up to the file's size as it stands.
  struct stat written;
  bool examined = m_back.get() >= 0 && !m_failed && ::fstat(m_back.get(), &written) == 0 &&
                  static_cast<uint64_t>(written.st_size) >= m_examined &&
                  ExamineRange(m_examined, static_cast<uint64_t>(written.st_size));
  // Passed also readies contents for the next file, so it is always asked.
  m_finished = true;
  bool passed = m_contents->Passed();
  return examined && passed;
}

}  // namespace platform::posix
