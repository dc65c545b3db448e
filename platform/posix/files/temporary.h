// The copy's temporary files: names that no other program's file carries,
// the removal of the one being written when a signal ends the process, and
// the removal of those that a killed run left behind.
#ifndef VX_PLATFORM_POSIX_FILES_TEMPORARY_H_
#define VX_PLATFORM_POSIX_FILES_TEMPORARY_H_

#include <sys/types.h>

#include <string>
#include <string_view>

namespace platform::posix {

// Makes a new empty file under a temporary name in the folder open as
// folder, with permission bits mode (less the umask), open for writing; its
// name goes into *name. -1 when none can be made (errno tells why).
int CreateTemporary(int folder, mode_t mode, std::string* name);

// True when name is one that CreateTemporary makes, with the id of the
// process that made it in *pid.
bool IsTemporaryName(std::string_view name, pid_t* pid);

// How many temporary files may be guarded at once.
constexpr int kMaxGuarded = 4200;

// From now until UnguardTemporary(slot), SIGINT, SIGTERM and SIGHUP remove
// the temporary file name (inode inode) in the folder open as folder before
// the process ends with the signal; the folder descriptor must stay open
// meanwhile. Returns the slot, or -1 when all are taken (the file is then
// left to a later run's sweep).
int GuardTemporary(int folder, const std::string& name, ino_t inode);
void UnguardTemporary(int slot);

// Removes the temporary files that processes which are gone left in the
// folder open as folder (at path, identity device and inode): a run killed
// while it wrote one. Done once per folder per process; only files of the
// process's own user are removed (root's: any).
void SweepLeftovers(int folder, const std::string& path, dev_t device, ino_t inode);

}  // namespace platform::posix

#endif  // VX_PLATFORM_POSIX_FILES_TEMPORARY_H_
