// The name matching of the Linux file search.
#ifndef VX_PLATFORM_POSIX_FILES_WILDCARD_H_
#define VX_PLATFORM_POSIX_FILES_WILDCARD_H_

#include <string_view>

namespace platform::posix {

// True when the UTF-8 name matches the UTF-8 pattern: `*` takes any run of
// characters, `?` exactly one character (one code point, which is one code
// page 932 character, single- or double-byte), and ASCII letters match
// without regard to case. As on Windows, a pattern ending in ".*" also
// matches the names without a dot that match what comes before it, so "*.*"
// matches every name.
bool WildcardMatch(std::string_view pattern, std::string_view name);

}  // namespace platform::posix

#endif  // VX_PLATFORM_POSIX_FILES_WILDCARD_H_
