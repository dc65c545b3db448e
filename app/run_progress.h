// What the copy run has done so far: the count of files not copied, which
// the Linux program's exit status reports, and, on a terminal, the status
// line that shows how far a long run is.
#ifndef VX_APP_RUN_PROGRESS_H_
#define VX_APP_RUN_PROGRESS_H_

#include <cstdint>
#include <string>

#include "app/copy_run.h"

// Watches one copy run while it is alive (it puts itself in place as the
// run's observer and restores the one before when destroyed).
class RunProgress : public CopyRunObserver {
 public:
  // With draw set, and only when the platform has a status line (a terminal
  // on standard error), the line shows once the run has lasted over a
  // second: files done of files matched, bytes copied, the current file.
  explicit RunProgress(bool draw);
  RunProgress(const RunProgress&) = delete;
  RunProgress& operator=(const RunProgress&) = delete;
  ~RunProgress() override;

  void RunStarting(const char* installDir) override;
  void FileStarting(const MatchedFile& file, const CopyDecision& decision) override;
  void FileDone(bool copied) override;

  // Removes the status line; the run is over.
  void Finish();

  uint32_t filesDone() const { return m_done; }
  uint32_t filesNotCopied() const { return m_notCopied; }
  uint64_t bytesCopied() const { return m_bytes; }

 private:
  void Draw(const std::string& name);

  CopyRunObserver* m_previous;
  bool m_draw;
  int64_t m_start;  // milliseconds of a monotonic clock
  int64_t m_lastDraw;
  uint32_t m_matched = 0;  // counted before the run, when drawing
  uint32_t m_done = 0;
  uint32_t m_notCopied = 0;
  uint64_t m_bytes = 0;
  uint64_t m_currentSize = 0;
};

// The counting part of the status line: "12/340 files, 1.5 MiB, " (ASCII).
// A matched count of 0 (not counted) shows the files done alone.
std::string FormatProgressHead(uint32_t done, uint32_t matched, uint64_t bytes);

#endif  // VX_APP_RUN_PROGRESS_H_
