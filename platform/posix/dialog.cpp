#include "platform/posix/dialog.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/dialog.h"
#include "platform/posix/text/cp932.h"

namespace platform {
namespace posix {
namespace {

enum class Buttons { kOk, kOkCancel, kYesNo };

Buttons ButtonsOf(uint32_t style) {
  switch (style & 0x0F) {
    case 0x01:
      return Buttons::kOkCancel;
    case 0x04:
      return Buttons::kYesNo;
    default:
      return Buttons::kOk;
  }
}

const char* PromptOf(Buttons buttons) {
  switch (buttons) {
    case Buttons::kOkCancel:
      return "[OK/Cancel]";
    case Buttons::kYesNo:
      return "[Yes/No]";
    default:
      return "[OK]";
  }
}

// Reads one line without its line feed; false at the end of input.
bool ReadLine(std::FILE* in, std::string* line) {
  line->clear();
  int c;
  bool any = false;
  while ((c = std::getc(in)) != EOF) {
    any = true;
    if (c == '\n') return true;
    line->push_back(static_cast<char>(c));
  }
  return any;
}

// The answer with blanks around it removed and ASCII letters in lower case.
std::string Normalise(const std::string& line) {
  const char* blanks = " \t\r\v\f";
  size_t first = line.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  size_t last = line.find_last_not_of(blanks);
  std::string word = line.substr(first, last - first + 1);
  for (char& c : word) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return word;
}

// The button an answer names, or 0 when it names none of the box's buttons.
int ButtonOf(const std::string& word, Buttons buttons) {
  switch (buttons) {
    case Buttons::kOk:
      return (word == "ok" || word == "o") ? kButtonOk : 0;
    case Buttons::kOkCancel:
      if (word == "ok" || word == "o") return kButtonOk;
      return (word == "cancel" || word == "c") ? kButtonCancel : 0;
    case Buttons::kYesNo:
      if (word == "yes" || word == "y") return kButtonYes;
      return (word == "no" || word == "n") ? kButtonNo : 0;
  }
  return 0;
}

// The caption of the question asked after a file was not copied, "stop?"
// (code page 932): there Yes is the answer that lets nothing more happen.
const char kStopCaption[] = "中断確認";

// The answer a box gets at the end of input: the one that consents to
// nothing more. Cancel and No decline; an unattended run that hits a failed
// file stops instead of going on with the rest.
int EndOfInputAnswer(const char* caption, Buttons buttons) {
  switch (buttons) {
    case Buttons::kOkCancel:
      return kButtonCancel;
    case Buttons::kYesNo:
      return caption != nullptr && std::strcmp(caption, kStopCaption) == 0 ? kButtonYes : kButtonNo;
    default:
      return kButtonOk;
  }
}

// The code point of the UTF-8 sequence at text[*at], which moves past it.
uint32_t NextCodePoint(const std::string& text, size_t* at) {
  unsigned char c = static_cast<unsigned char>(text[*at]);
  int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
  uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
  ++*at;
  for (int i = 0; i < extra && *at < text.size(); ++i, ++*at) {
    cp = (cp << 6) | (static_cast<unsigned char>(text[*at]) & 0x3F);
  }
  return cp;
}

// Columns a character takes on a terminal: two for the wide East Asian
// ranges (kana, kanji, hangul, full-width forms), one for the rest.
int ColumnsOf(uint32_t cp) {
  bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
              (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
              (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
              (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD);
  return wide ? 2 : 1;
}

// The characters of text as (byte offset, columns) pairs, and their total.
int Measure(const std::string& text, std::vector<std::pair<size_t, int>>* chars) {
  int total = 0;
  for (size_t at = 0; at < text.size();) {
    size_t start = at;
    int w = ColumnsOf(NextCodePoint(text, &at));
    chars->emplace_back(start, w);
    total += w;
  }
  return total;
}

bool g_statusShown = false;

void WriteToError(const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = ::write(STDERR_FILENO, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a status line is never worth failing for
    done += static_cast<size_t>(n);
  }
}

}  // namespace

std::string FitStatusLine(const std::string& head, const std::string& tail, int columns) {
  const int room = columns - 1;
  if (room <= 0) return std::string();
  std::vector<std::pair<size_t, int>> headChars;
  std::vector<std::pair<size_t, int>> tailChars;
  int headWidth = Measure(head, &headChars);
  int tailWidth = Measure(tail, &tailChars);
  if (headWidth + tailWidth <= room) return head + tail;
  const std::string cut = "...";
  const int cutWidth = 3;
  if (headWidth + cutWidth < room) {
    // Drop characters from the start of tail until the rest fits.
    int left = tailWidth;
    size_t i = 0;
    while (i < tailChars.size() && headWidth + cutWidth + left > room)
      left -= tailChars[i++].second;
    return head + cut + tail.substr(i < tailChars.size() ? tailChars[i].first : tail.size());
  }
  int used = 0;
  size_t end = 0;
  for (const auto& c : headChars) {
    if (used + c.second > room) break;
    used += c.second;
    end = c.first + 1;
    while (end < head.size() && (static_cast<unsigned char>(head[end]) & 0xC0) == 0x80) ++end;
  }
  return head.substr(0, end);
}

int TerminalDialogue(std::FILE* in, std::FILE* out, const char* text, const char* caption,
                     uint32_t style) {
  Buttons buttons = ButtonsOf(style);
  std::string box = "== " + Cp932ToUtf8Lossy(caption != nullptr ? caption : "") + " ==\n";
  box += Cp932ToUtf8Lossy(text != nullptr ? text : "");
  box += '\n';
  std::fputs(box.c_str(), out);
  std::string line;
  for (;;) {
    std::fputs(PromptOf(buttons), out);
    std::fflush(out);
    if (!ReadLine(in, &line)) break;
    int button = ButtonOf(Normalise(line), buttons);
    if (button != 0) return button;
  }
  return EndOfInputAnswer(caption, buttons);
}

}  // namespace posix

namespace {
DialogueBackend* g_backend = nullptr;
}  // namespace

using posix::g_statusShown;
using posix::WriteToError;

bool StatusLineAvailable() { return ::isatty(STDERR_FILENO) == 1; }

void DrawStatusLine(const char* head, const char* tail) {
  winsize size = {};
  int columns =
      ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
  // Built by appending: GCC 12's -O3 takes "\r" + string for an overlapping copy.
  std::string line = "\r";
  line += posix::FitStatusLine(posix::Cp932ToUtf8Lossy(head != nullptr ? head : ""),
                               posix::Cp932ToUtf8Lossy(tail != nullptr ? tail : ""), columns);
  // A file name may hold control characters; none reaches the terminal.
  for (size_t i = 1; i < line.size(); ++i) {
    if (static_cast<unsigned char>(line[i]) < 0x20 || line[i] == 0x7F) line[i] = '?';
  }
  line += "\x1b[K";  // erases what a longer line drawn before left
  WriteToError(line);
  g_statusShown = true;
}

void ClearStatusLine() {
  if (!g_statusShown) return;
  WriteToError("\r\x1b[K");
  g_statusShown = false;
}

int ShowMessage(const char* text, const char* caption, uint32_t style) {
  ClearStatusLine();
  if (g_backend != nullptr) return g_backend->Show(text, caption, style);
  return posix::TerminalDialogue(stdin, stdout, text, caption, style);
}

DialogueBackend* SetDialogueBackend(DialogueBackend* backend) {
  DialogueBackend* previous = g_backend;
  g_backend = backend;
  return previous;
}

}  // namespace platform
