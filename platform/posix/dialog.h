// The Linux form of a message box: written to a stream and answered one line
// at a time from another.
#ifndef VX_PLATFORM_POSIX_DIALOG_H_
#define VX_PLATFORM_POSIX_DIALOG_H_

#include <cstdint>
#include <cstdio>
#include <string>

namespace platform::posix {

// Writes "== <caption> ==", the text line by line (converted to UTF-8, bytes
// that don't convert shown as `?`) and the prompt of the style's buttons
// ("[OK]", "[OK/Cancel]" or "[Yes/No]", no line feed, flushed) to out, then
// reads answers from in: ok/o, cancel/c, yes/y, no/n, without regard to case
// and blanks around them. An answer that is not a button of the box repeats
// the prompt. At the end of input the answer that consents to nothing more:
// Cancel (OK/Cancel), No (Yes/No) but Yes to the question whether to stop
// after a failed file (caption "中断確認"), else OK.
int TerminalDialogue(std::FILE* in, std::FILE* out, const char* text, const char* caption,
                     uint32_t style);

// The status line's text for a terminal of that many columns: head and then
// tail (UTF-8), the start of tail dropped (and "..." put in its place) until
// the whole fits in columns - 1 (so that the cursor never wraps), then the
// end of head. A wide character (CJK, full-width forms) takes two columns.
std::string FitStatusLine(const std::string& head, const std::string& tail, int columns);

}  // namespace platform::posix

#endif  // VX_PLATFORM_POSIX_DIALOG_H_
