// The Linux path that a Windows path of the system's names: text converted,
// separators turned, drive paths of a Wine prefix mapped, letter case found.
#ifndef VX_PLATFORM_POSIX_FILES_NATIVE_PATH_H_
#define VX_PLATFORM_POSIX_FILES_NATIVE_PATH_H_

#include <string>

namespace platform::posix {

// Turns a code page 932 path into the Linux path that names it: converted
// to UTF-8 first, then every backslash becomes `/` (so the second byte of a
// double-byte character is never taken for a separator), in Wine prefix mode
// a drive path (`C:\...`) then starts at the prefix's folder of that drive
// (see wine_prefix.h), then letter case is resolved as a Windows file system
// would (ResolvePathCase). Every call that takes a path goes through here.
// False when it does not convert, or names a drive the prefix does not map.
bool ToNativePath(const char* path, std::string* out);

// As ToNativePath without resolving letter case: the path as written, for a
// call that tries it first and resolves (ResolvePathCase) only when it is
// missing. A path that opens as written is what the resolver would give.
bool ToWrittenPath(const char* path, std::string* out);

// As ToNativePath for a search pattern: *folder is the resolved folder part
// up to and including its last `/` (empty for the current directory) and
// *name the last component as written, wildcards and all.
bool ToNativePattern(const char* pattern, std::string* folder, std::string* name);

}  // namespace platform::posix

#endif  // VX_PLATFORM_POSIX_FILES_NATIVE_PATH_H_
