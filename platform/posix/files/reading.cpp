#include "platform/posix/files/reading.h"

#include <fcntl.h>

#include <cstdint>

#include "platform/posix/files/monotonic.h"

namespace platform::posix {
namespace {

struct Note {
  int fd = -1;
  int64_t takenAt = 0;
  struct stat st {};
};

// A copy run opens the source and then the destination: two notes serve it.
thread_local Note t_notes[2];
thread_local unsigned t_nextNote = 0;

thread_local Probe t_probes[2];
thread_local unsigned t_nextProbe = 0;

}  // namespace

Probe* NextProbe() {
  Probe* probe = &t_probes[t_nextProbe];
  t_nextProbe ^= 1;
  probe->exists = false;
  probe->folder = FolderId();
  return probe;
}

bool TakeProbe(const std::string& written, Probe* probe) {
  for (Probe& p : t_probes) {
    if (!p.written.empty() && p.written == written) {
      std::swap(*probe, p);
      p.written.clear();
      return true;
    }
  }
  return false;
}

void NoteOpenedStat(int fd, const struct stat& st) {
  // A descriptor number noted before belongs to a file closed since.
  Note* note = &t_notes[t_nextNote];
  for (Note& n : t_notes) {
    if (n.fd == fd) note = &n;
  }
  if (note == &t_notes[t_nextNote]) t_nextNote ^= 1;
  note->fd = fd;
  note->takenAt = MonotonicNow();
  note->st = st;
}

bool OpenedStat(int fd, struct stat* st) {
  for (const Note& n : t_notes) {
    if (n.fd == fd && fd >= 0 && MonotonicNow() - n.takenAt < kMoment) {
      *st = n.st;
      return true;
    }
  }
  return ::fstat(fd, st) == 0;
}

void ForgetOpenedStat(int fd) {
  for (Note& n : t_notes) {
    if (n.fd == fd) n.fd = -1;
  }
}

bool ClearNoWait(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && (flags & O_NONBLOCK) != 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

}  // namespace platform::posix
