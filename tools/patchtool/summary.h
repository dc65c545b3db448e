// What players will face, told by make and plan alike: the patch's size and
// largest files, and the questions a player is asked.
#ifndef VX_TOOLS_PATCHTOOL_SUMMARY_H_
#define VX_TOOLS_PATCHTOOL_SUMMARY_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tools/patchtool/patchtool.h"

namespace patchtool {

// Prints "# patch: N files, B bytes; largest: ..." (or a "patch" object)
// for the files of a patch folder.
void PrintPatchSize(Reporter& reporter, const std::vector<TreeEntry>& entries);

// 1234567 as "1,234,567".
std::string Grouped(uint64_t n);

// "# WHO is asked F folder and O overwrite questions".
std::string QuestionsLine(const std::string& who, int folders, int overwrites);

}  // namespace patchtool

#endif  // VX_TOOLS_PATCHTOOL_SUMMARY_H_
