// The lines of an update list as the installer reads them, with the line
// numbers of the file itself.
#ifndef VX_TOOLS_PATCHTOOL_LIST_TEXT_H_
#define VX_TOOLS_PATCHTOOL_LIST_TEXT_H_

#include <string>
#include <vector>

namespace patchtool {

struct ListLine {
  int m_number;        // the file's line (from 1) where it starts
  std::string m_text;  // as the installer reads it: without the line feed and one CR before it
  int m_swallowed;     // line feeds inside it, each taken by a lead byte before it
};

// The lines that the installer reads from a list's bytes: up to the first
// NUL byte, split at line feeds that are not the second byte of a
// double-byte character.
std::vector<ListLine> SplitListText(const std::string& raw);

// Whether a text reads as UTF-8: kSure when it is well-formed UTF-8 with a
// character of three bytes or more (as Japanese text in UTF-8 has), kMaybe
// when well-formed with two-byte characters only, kNo otherwise.
enum class Utf8Kind { kNo, kMaybe, kSure };
Utf8Kind Utf8Of(const std::string& text);

}  // namespace patchtool

#endif  // VX_TOOLS_PATCHTOOL_LIST_TEXT_H_
