// A file opened for reading: the stat its open took, kept for a moment so
// that the calls that follow the open (the file's time stamp, the copy of
// its contents) need no stat of their own, and the no-wait flag it is
// opened with.
#ifndef VX_PLATFORM_POSIX_FILES_READING_H_
#define VX_PLATFORM_POSIX_FILES_READING_H_

#include <sys/stat.h>

namespace platform::posix {

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
