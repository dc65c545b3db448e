#include "platform/win32/checked_copy.h"

#include <cstdint>
#include <memory>

namespace platform::win32 {
namespace {

// Pieces of 1 MiB in a ring of four: the copy reads and writes one while the
// examining thread hashes those before it.
constexpr DWORD kPiece = DWORD{1} << 20;
constexpr uint64_t kSlots = 4;
// Smaller files are copied and examined on the caller's thread alone.
constexpr uint64_t kThreadFrom = uint64_t{4} << 20;

// The attributes the system's copy carries over to the new file.
constexpr DWORD kCarried = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                           FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

class Handle {
 public:
  explicit Handle(HANDLE h = nullptr) : m_h(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  ~Handle() {
    if (m_h != nullptr) CloseHandle(m_h);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return m_h; }
  explicit operator bool() const { return m_h != nullptr; }
  // Closes the handle held, if any, and holds h instead.
  void reset(HANDLE h = nullptr) {
    if (m_h != nullptr) CloseHandle(m_h);
    m_h = h == INVALID_HANDLE_VALUE ? nullptr : h;
  }

 private:
  HANDLE m_h;
};

// The ring of pieces between the copy and the examining thread: piece n
// lies in slot n % kSlots, written by the copy only once the thread has
// examined piece n - kSlots, and examined only once the copy has given it. A
// length of 0 ends the thread. Waits are on a slim lock and condition
// variables, which wait in the process itself (Wine: without a round trip
// to its server, which on two busy cores cost more than the hash).
class Ring {
 public:
  // Without threaded, or where no thread can be had, the copy examines
  // each piece itself.
  Ring(CopyContents* contents, bool threaded)
      : m_contents(contents), m_buffer(new char[kPiece * (threaded ? kSlots : 1)]) {
    InitializeSRWLock(&m_lock);
    InitializeConditionVariable(&m_work);
    InitializeConditionVariable(&m_room);
    if (threaded) m_thread.reset(CreateThread(nullptr, 0, Run, this, 0, nullptr));
  }

  // Ends and waits for the thread, which examines what it was given first.
  ~Ring() { Stop(); }

  // Where the next piece goes, once there is room for it.
  char* Slot() {
    if (m_thread) {
      AcquireSRWLockExclusive(&m_lock);
      while (m_given - m_examined == kSlots)
        SleepConditionVariableSRW(&m_room, &m_lock, INFINITE, 0);
      ReleaseSRWLockExclusive(&m_lock);
    }
    return m_buffer.get() + static_cast<size_t>(m_given % kSlots) * kPiece;
  }

  // The slot Slot gave now holds count written bytes: examined on the
  // thread, or here without one. False once the examination has failed.
  bool Give(DWORD count) {
    if (!m_thread) {
      m_failed = m_failed || !m_contents->Examine(Slot(), count);
      return !m_failed;
    }
    AcquireSRWLockExclusive(&m_lock);
    m_lengths[m_given % kSlots] = count;
    ++m_given;
    bool refused = m_refused;
    ReleaseSRWLockExclusive(&m_lock);
    WakeConditionVariable(&m_work);
    return !refused;
  }

  // Waits for the thread to examine everything it was given; true when
  // all of it passed Examine.
  bool Stop() {
    if (m_thread) {
      Slot();
      Give(0);
      WaitForSingleObject(m_thread.get(), INFINITE);
      m_thread.reset();
      m_failed = m_failed || m_refused;
    }
    return !m_failed;
  }

 private:
  // A new thread's stack is aligned to 4 bytes only in 32-bit Windows; the
  // hash keeps 16-byte vectors on it, so the entry aligns it first.
  __attribute__((force_align_arg_pointer)) static DWORD WINAPI Run(void* self) {
    static_cast<Ring*>(self)->Examine();
    return 0;
  }

  void Examine() {
    AcquireSRWLockExclusive(&m_lock);
    for (;;) {
      while (m_examined == m_given) SleepConditionVariableSRW(&m_work, &m_lock, INFINITE, 0);
      const size_t slot = static_cast<size_t>(m_examined % kSlots);
      const DWORD count = m_lengths[slot];
      const bool refused = m_refused;
      ReleaseSRWLockExclusive(&m_lock);
      if (count == 0) return;
      // After a refusal the rest is only let go, never examined.
      bool passed = refused || m_contents->Examine(m_buffer.get() + slot * kPiece, count);
      AcquireSRWLockExclusive(&m_lock);
      if (!passed) m_refused = true;
      ++m_examined;
      WakeConditionVariable(&m_room);
    }
  }

  CopyContents* m_contents;
  std::unique_ptr<char[]> m_buffer;
  Handle m_thread;
  SRWLOCK m_lock;
  CONDITION_VARIABLE m_work;  // a piece was given
  CONDITION_VARIABLE m_room;  // a piece was examined
  // Under m_lock:
  DWORD m_lengths[kSlots] = {};
  uint64_t m_given = 0;     // pieces given (the end included)
  uint64_t m_examined = 0;  // pieces examined
  bool m_refused = false;   // Examine refused a piece
  // The copy's own:
  bool m_failed = false;
};

// Sends a file's written pieces to the disk on a thread of its own while the
// copy writes the next ones, so that the flush before the file is put in
// place finds little left to write (Wine: most of a flush is waiting for the
// disk). Windows serialises the calls on one handle, so there it may merely
// take turns with the writes.
class Flusher {
 public:
  // Without threaded, nothing is flushed before the move.
  Flusher(HANDLE file, bool threaded) : m_file(file) {
    InitializeSRWLock(&m_lock);
    InitializeConditionVariable(&m_work);
    if (threaded) m_thread.reset(CreateThread(nullptr, 0, Run, this, 0, nullptr));
  }
  ~Flusher() {
    AcquireSRWLockExclusive(&m_lock);
    m_end = true;
    ReleaseSRWLockExclusive(&m_lock);
    WakeConditionVariable(&m_work);
    if (m_thread) WaitForSingleObject(m_thread.get(), INFINITE);
  }
  // count more bytes were written; every 32 MiB the thread flushes.
  void Written(DWORD count) {
    m_unsent += count;
    if (m_unsent < kFlushEvery || !m_thread) return;
    m_unsent = 0;
    AcquireSRWLockExclusive(&m_lock);
    ++m_asked;
    ReleaseSRWLockExclusive(&m_lock);
    WakeConditionVariable(&m_work);
  }

 private:
  static constexpr uint64_t kFlushEvery = uint64_t{32} << 20;
  static DWORD WINAPI Run(void* self) {
    static_cast<Flusher*>(self)->Flush();
    return 0;
  }
  void Flush() {
    AcquireSRWLockExclusive(&m_lock);
    for (;;) {
      while (m_asked == m_done && !m_end) SleepConditionVariableSRW(&m_work, &m_lock, INFINITE, 0);
      if (m_end) break;
      m_done = m_asked;
      ReleaseSRWLockExclusive(&m_lock);
      FlushFileBuffers(m_file);
      AcquireSRWLockExclusive(&m_lock);
    }
    ReleaseSRWLockExclusive(&m_lock);
  }
  HANDLE m_file;
  Handle m_thread;
  SRWLOCK m_lock;
  CONDITION_VARIABLE m_work;
  uint64_t m_asked = 0, m_done = 0;
  bool m_end = false;
  uint64_t m_unsent = 0;
};

// CheckedCopy, with the error to report in *error; the handles are closed
// when it returns, so that closing them can't change that error.
bool CopyAndCheck(const std::wstring& from, const std::wstring& to, CopyContents* contents,
                  DWORD* error) {
  Handle in(CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  BY_HANDLE_FILE_INFORMATION source;
  if (!in || !GetFileInformationByHandle(in.get(), &source)) {
    *error = GetLastError();
    return false;
  }
  Handle out(CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                         nullptr));
  if (!out) {
    *error = GetLastError();
    return false;
  }
  bool copied = true;
  bool examined = false;
  {
    // Threads pay only for files of several pieces.
    const bool threaded =
        ((static_cast<uint64_t>(source.nFileSizeHigh) << 32) | source.nFileSizeLow) > kThreadFrom;
    Flusher flusher(out.get(), threaded);
    Ring ring(contents, threaded);
    for (;;) {
      char* slot = ring.Slot();
      DWORD got = 0, put = 0;
      if (!ReadFile(in.get(), slot, kPiece, &got, nullptr) ||
          (got > 0 && (!WriteFile(out.get(), slot, got, &put, nullptr) || put != got))) {
        *error = GetLastError();
        copied = false;
        break;
      }
      flusher.Written(got);
      if (got == 0 || !ring.Give(got)) break;
    }
    examined = ring.Stop();
  }
  // Passed readies contents for the next file, so it is always asked.
  bool passed = contents->Passed();
  if (!copied) return false;
  if (!examined || !passed) {
    *error = ERROR_WRITE_FAULT;
    return false;
  }
  if (!SetFileTime(out.get(), &source.ftCreationTime, &source.ftLastAccessTime,
                   &source.ftLastWriteTime)) {
    *error = GetLastError();
    return false;
  }
  // Closed first: a read-only file could not be written to afterwards.
  out.reset();
  const DWORD carried = source.dwFileAttributes & kCarried;
  if (carried != 0 && !SetFileAttributesW(to.c_str(), carried)) {
    *error = GetLastError();
    return false;
  }
  return true;
}

}  // namespace

bool CheckedCopy(const std::wstring& from, const std::wstring& to, CopyContents* contents) {
  DWORD error = ERROR_SUCCESS;
  if (CopyAndCheck(from, to, contents, &error)) return true;
  SetLastError(error);
  return false;
}

}  // namespace platform::win32
