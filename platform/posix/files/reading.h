// A file opened for reading: the stat its open took, kept for a moment so
// that the calls that follow the open (the file's time stamp, the copy of
// its contents) need no stat of their own, and the no-wait flag it is
// opened with.
#ifndef VX_PLATFORM_POSIX_FILES_READING_H_
#define VX_PLATFORM_POSIX_FILES_READING_H_

#include <sys/stat.h>

#include <string>

#include "platform/posix/files/path_case.h"

namespace platform::posix {

// What an open for reading found under a path as written, so that a copy to
// that path acts on the very file, or the very absence, that was examined.
struct Probe {
  std::string written;  // the Linux path as written
  std::string found;    // the path opened, or where a missing name was looked for
  bool exists = false;  // a regular file was opened there
  struct stat st {};    // its stat, when it exists
  FolderId folder;      // the folder a missing name was looked up in, when known
};

// The record for the open about to be made: a thread keeps the records of its
// last two opens, and this one replaces the older (its texts' room is reused).
Probe* NextProbe();

// Moves the record of the last open of written (a Linux path as written)
// into *probe and drops it; false when there is none.
bool TakeProbe(const std::string& written, Probe* probe);

// Notes st, taken just now of the file open as fd. A thread keeps the notes
// of its last two opens.
void NoteOpenedStat(int fd, const struct stat& st);

// Puts into *st the note of fd when it was taken within the last
// millisecond (a change to the file within it races with the call anyway),
// else fstat's answer. False when fstat fails.
bool OpenedStat(int fd, struct stat* st);

// Drops the note of fd; call it before fd is closed.
void ForgetOpenedStat(int fd);

// Files are opened for reading without waiting (O_NONBLOCK), so that a FIFO
// or a device can't hold the open up; only regular files are then kept, and
// the flag stays on them, where Linux's own file systems ignore it. A file
// system that answers a read with EAGAIN for it has the flag cleared by
// this call: true when it was on and is now off, and the read may be tried
// again.
bool ClearNoWait(int fd);

}  // namespace platform::posix

#endif  // VX_PLATFORM_POSIX_FILES_READING_H_
