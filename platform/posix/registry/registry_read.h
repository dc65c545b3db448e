// The read side that the two Linux registry stores share (the file store in
// registry.cpp and the Wine prefix store in wine_prefix_registry.cpp): what
// a key's values and sub-keys give the registry calls, which handles are
// roots, and how a store tells that a registry file is unchanged since it
// was read.
#ifndef VX_PLATFORM_POSIX_REGISTRY_REGISTRY_READ_H_
#define VX_PLATFORM_POSIX_REGISTRY_REGISTRY_READ_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "platform/posix/registry/registry_tree.h"
#include "platform/registry.h"

namespace platform::posix {

// Answers QueryValue for the value of that name (null: the default value)
// of node: its type to *type when type is not null; with data null, its
// size to *size; else its bytes to data when *size bytes hold them. *size
// gets the value's size either way. False when there is no such value or
// it does not fit.
bool QueryNodeValue(const RegNode& node, const char* name, uint32_t* type, void* data,
                    uint32_t* size);

// Answers EnumSubKey: the name of node's sub-key at index in name order,
// with its terminating NUL, to name. False when there is no such sub-key or
// its name does not fit size bytes.
bool SubKeyName(const RegNode& node, uint32_t index, char* name, uint32_t size);

// Whether key is one of the predefined root keys rather than a handle that
// OpenKey or CreateKey gave.
bool IsPredefinedKey(RegKey key);

// The place in RegTree::roots of a predefined key that can be opened
// (kRegCurrentUser, kRegUsers), else -1.
int PredefinedRoot(RegKey key);

// What a file looked like when it was read or written. Two stamps are equal
// when both files are missing, or both are the same file with the same
// size, mode, owner and times.
struct FileStamp {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  mode_t mode = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  timespec mtime = {};
  timespec ctime = {};

  bool operator==(const FileStamp& o) const;
};

// The stamp of the file that st describes.
FileStamp StampOf(const struct stat& st);
// The stamp of the file at path now; exists is false when stat fails.
FileStamp StampOfPath(const std::string& path);

// Reads fd to its end into *out (cleared first); false on a read error.
bool ReadAll(int fd, std::string* out);

}  // namespace platform::posix

#endif  // VX_PLATFORM_POSIX_REGISTRY_REGISTRY_READ_H_
