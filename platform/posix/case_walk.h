// Letter case on the way down a drive of a Wine prefix, as a Windows file
// system has it: a stand-in until the path resolver of the whole Linux layer
// takes the same rules for every path; then AppendMatchingCase goes away and
// the drive's remaining components go through that resolver.
#ifndef VX_PLATFORM_POSIX_CASE_WALK_H_
#define VX_PLATFORM_POSIX_CASE_WALK_H_

#include <string>
#include <string_view>

namespace platform::posix {

// Appends rest (UTF-8 components separated by `/`, the separators kept as
// they are) to *path, which names an existing folder and ends in `/`. Each
// component is the entry of that name when one exists, else the first entry,
// in the order a search lists them, whose name is the same without regard to
// ASCII letter case; else it stays as written, and so does everything after
// it (nothing below a missing entry exists).
void AppendMatchingCase(std::string* path, std::string_view rest);

}  // namespace platform::posix

#endif  // VX_PLATFORM_POSIX_CASE_WALK_H_
