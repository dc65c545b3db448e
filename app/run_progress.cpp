#include "app/run_progress.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "platform/dialog.h"
#include "platform/file.h"

namespace {

// The line shows once the run has lasted this long, and is redrawn at most
// this often: a clock read per file, a write to the terminal ten times a
// second at most.
constexpr int64_t kQuietMs = 1000;
constexpr int64_t kRedrawEveryMs = 100;

// A monotonic clock in milliseconds; read through the vDSO, no system call.
// Only the Linux program has a status line to time.
int64_t NowMs() {
#ifdef _WIN32
  return 0;
#else
  timespec now = {};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
#endif
}

}  // namespace

std::string FormatProgressHead(uint32_t done, uint32_t matched, uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  char size[32];
  if (bytes < 1024) {
    std::snprintf(size, sizeof(size), "%" PRIu64 " B", bytes);
  } else {
    double value = static_cast<double>(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 3) {
      value /= 1024;
      ++unit;
    }
    std::snprintf(size, sizeof(size), "%.1f %s", value, kUnits[unit]);
  }
  char head[96];
  if (matched != 0) {
    std::snprintf(head, sizeof(head), "%" PRIu32 "/%" PRIu32 " files, %s, ", done,
                  done > matched ? done : matched, size);
  } else {
    std::snprintf(head, sizeof(head), "%" PRIu32 " files, %s, ", done, size);
  }
  return head;
}

RunProgress::RunProgress(bool draw)
    : m_previous(SetCopyRunObserver(this)), m_draw(draw), m_start(NowMs()), m_lastDraw(m_start) {}

RunProgress::~RunProgress() {
  Finish();
  SetCopyRunObserver(m_previous);
}

void RunProgress::RunStarting(const char* installDir) {
  m_start = NowMs();
  m_lastDraw = m_start;
  m_draw = m_draw && platform::StatusLineAvailable();
  if (!m_draw) return;
  // "Files matched" takes a pass over the searches before the copy: one
  // listing of each rule's folder, short beside copying the files, and
  // only made where the line is shown.
  m_matched = 0;
  ForEachMatchedFile(installDir, [this](MatchedFile&) {
    ++m_matched;
    return true;
  });
}

void RunProgress::FileStarting(const MatchedFile& file, const CopyDecision& decision) {
  m_currentSize = 0;
  if (!m_draw) return;
  // The probe's open already knows the size; asking costs no system call.
  if (decision.m_source != nullptr) platform::FileSize(decision.m_source, &m_currentSize);
  int64_t now = NowMs();
  if (now - m_start < kQuietMs || now - m_lastDraw < kRedrawEveryMs) return;
  m_lastDraw = now;
  Draw(file.m_wholePath);
}

void RunProgress::FileDone(bool copied) {
  ++m_done;
  if (copied) {
    m_bytes += m_currentSize;
  } else {
    ++m_notCopied;
  }
}

void RunProgress::Finish() {
  if (m_draw) platform::ClearStatusLine();
}

void RunProgress::Draw(const std::string& name) {
  platform::DrawStatusLine(FormatProgressHead(m_done, m_matched, m_bytes).c_str(), name.c_str());
}
