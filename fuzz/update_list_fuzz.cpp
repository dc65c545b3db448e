// Feeds arbitrary bytes through the update list reader (lines, Find, tokens,
// Trim, the key table) and through the scanning operations it uses, and
// checks what must hold for any input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "app/update_list.h"
#include "app/update_list_internal.h"
#include "text/vx_string.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

template <std::size_t size>
void CheckTerminated(const char (&field)[size]) {
  Check(std::memchr(field, 0, size) != nullptr);
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Walks one line by tokens over delims; the walk must end within the line.
void WalkTokens(CVxString line, CVxString delims) {
  const int32_t length = line.GetLength();
  int32_t steps = 0;
  for (CVxString token = line.GetFirstToken(delims); !token.IsEmpty();
       token = line.GetNextToken(delims)) {
    Check(token.GetLength() <= length);
    Check(++steps <= length);
  }
}

// The scanning operations on their own: every line once, each within the text.
void WalkLines(CVxString text) {
  const int32_t length = text.GetLength();
  // A set with a double-byte character: 表 in code page 932.
  const CVxString tab("\t"), mixed("\t\x95\x5C "), blanks(" \t\n");
  CVxString previous;
  int32_t lines = 0, bytes = 0;
  for (CVxString line = text.GetFirstLine(); !text.IsLineEnd(); line = text.GetNextLine()) {
    Check(++lines <= length + 1);
    bytes += line.GetLength();
    Check(bytes <= length);
    const int32_t p = line.Find('=', 0);
    Check(p == -1 || (p < line.GetLength() && line.GetAt(p) == '='));
    WalkTokens(line, tab);
    WalkTokens(line, mixed);
    CVxString trimmed(line);
    trimmed.Trim(blanks);
    Check(trimmed.GetLength() <= line.GetLength());
    Check(trimmed.IsEmpty() || !IsBlank(trimmed.GetAt(0)));
    Check(!(previous < line && line < previous));
    Check(!(line < line));
    previous = line;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The text up to the first zero byte, as LoadFile takes a file.
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const CVxString text(bytes.c_str());
  WalkLines(text);

  const bool read = update_list_internal::ReadUpdateText(text);
  CheckTerminated(UpdateSettings.m_mutexName);
  CheckTerminated(UpdateSettings.m_patchName);
  CheckTerminated(UpdateSettings.m_regInstall);
  CheckTerminated(UpdateSettings.m_regBase);
  CheckTerminated(UpdateSettings.m_installDir);
  CheckTerminated(UpdateSettings.m_title);
  Check(read || (UpdateList.empty() && UpdateSettings.m_title[0] == '\0'));
  for (UpdateEntry& entry : UpdateList) {
    Check(entry.m_source.IsEmpty() || !IsBlank(entry.m_source.GetAt(0)));
    Check(entry.m_destination.IsEmpty() || !IsBlank(entry.m_destination.GetAt(0)));
  }
  return 0;
}
