// The check of a new file copied as it stands: its bytes, read back from the
// file itself, go to CopyContents::Examine in order, and the file is fit to
// be put in place only when every byte was examined and Passed agrees. A
// thread of its own reads each piece back while the copy writes the next,
// and each piece is sent to the disk as soon as it is written, so that
// copying, hashing and the disk's writing overlap.
#ifndef VX_PLATFORM_POSIX_FILES_WRITTEN_EXAMINER_H_
#define VX_PLATFORM_POSIX_FILES_WRITTEN_EXAMINER_H_

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/fs.h"
#include "platform/posix/files/descriptor.h"

namespace platform::posix {

class WrittenExaminer {
 public:
  // Examines out, a new file open for writing that only the caller writes,
  // from its start; size is what the caller means to write. A file of one
  // piece, or where no thread can be had, is examined all by Finish.
  WrittenExaminer(int out, CopyContents* contents, uint64_t size);
  // Stops the examining thread, whatever it had left; contents is ready
  // for another attempt.
  ~WrittenExaminer();
  WrittenExaminer(const WrittenExaminer&) = delete;
  WrittenExaminer& operator=(const WrittenExaminer&) = delete;

  // The caller has written the file's first end bytes (end never falls).
  // False once the examination has failed: the copy may stop.
  bool Written(uint64_t end);

  // Once the caller has written everything: examines what is left up to the
  // file's size as it stands, then asks Passed. True only when every byte
  // of the file was examined in order and passed. contents is ready for
  // another file afterwards, whatever the answer.
  bool Finish();

 private:
  void Run();
  // Reads [from, to) back and examines it; false at a read error or a
  // refusal.
  bool ExamineRange(uint64_t from, uint64_t to);

  const int m_out;
  CopyContents* const m_contents;
  Descriptor m_back;  // the file open again for reading
  std::unique_ptr<char[]> m_buffer;
  uint64_t m_sent = 0;      // bytes handed to the disk (the caller's thread)
  bool m_finished = false;  // Finish asked Passed

  std::mutex m_mutex;
  std::condition_variable m_wake;
  uint64_t m_written = 0;   // bytes the caller has written
  uint64_t m_examined = 0;  // bytes examined
  bool m_done = false;      // Finish waits for the rest
  bool m_stop = false;      // the destructor: stop at once
  bool m_failed = false;    // a read failed or Examine refused
  std::thread m_thread;
};

}  // namespace platform::posix

#endif  // VX_PLATFORM_POSIX_FILES_WRITTEN_EXAMINER_H_
