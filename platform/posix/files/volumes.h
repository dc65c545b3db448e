// The volumes the copy writes to: whether a file's new contents must be
// flushed before it is moved over the old file or given its name, and the flush of
// everything written before the run says it is done.
#ifndef VX_PLATFORM_POSIX_FILES_VOLUMES_H_
#define VX_PLATFORM_POSIX_FILES_VOLUMES_H_

#include <sys/types.h>

namespace platform::posix {

// True when a file written in the folder open as folder (on volume device)
// must be flushed (fdatasync) before a rename puts it over another file, for
// a power cut to leave the old contents or the new ones: the file system
// does not write such a file before the rename by itself. Decided once per
// volume.
bool FlushBeforeReplacing(int folder, dev_t device);

// True when a new file written in the folder open as folder (on volume
// device) must be flushed before it gets its name, for a power cut to leave
// the name absent or naming the whole file: no file system that outlives a
// power cut writes a new file's contents before its name by itself (ext4
// and btrfs only order a file renamed over another). Decided once per
// volume.
bool FlushBeforeNaming(int folder, dev_t device);

// True when, on the volume of the folder open as folder, a written file's
// own writeback, waited for (WrittenBack), is enough before it gets its
// name (a new one, or by a rename over the file it replaces): the file
// system logs the file's size and blocks as its writeback ends and replays
// its log in order, so that the name never outlives a power cut without the
// whole contents (a journaled ext4, XFS). No flush of the whole volume is
// then needed until the run's end. Decided once per volume.
bool WritebackOrdersNaming(int folder, dev_t device);

// Writes the contents of the file open as fd to its volume and waits until
// every write has ended (without a flush of the disk's cache, which the
// journal's next commit makes before it). False when a write failed.
bool WrittenBack(int fd);

// The two halves of WrittenBack, for many files at once: StartWriteback
// starts the writes of every dirty page of the file open as fd, and
// WaitWriteback writes any page still dirty and waits until every write has
// ended. False when a write failed.
bool StartWriteback(int fd);
bool WaitWriteback(int fd);

// Notes that a file was written in the folder open as folder, so that
// FlushVolumes puts its volume on disk. A descriptor of the volume is kept
// from now on, so that the flush also reports a write that failed before.
void NoteVolumeWritten(int folder, dev_t device);

// Puts every volume noted since the last call on disk (syncfs); false when
// that fails for one of them.
bool FlushVolumes();

}  // namespace platform::posix

#endif  // VX_PLATFORM_POSIX_FILES_VOLUMES_H_
