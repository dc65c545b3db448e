// The volumes the copy writes to: whether a replaced file's new contents
// must be flushed before it is moved over the old file, and the flush of
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

// Notes that a file was written in the folder open as folder, so that
// FlushVolumes puts its volume on disk. A descriptor of the volume is kept
// from now on, so that the flush also reports a write that failed before.
void NoteVolumeWritten(int folder, dev_t device);

// Puts every volume noted since the last call on disk (syncfs); false when
// that fails for one of them.
bool FlushVolumes();

}  // namespace platform::posix

#endif  // VX_PLATFORM_POSIX_FILES_VOLUMES_H_
