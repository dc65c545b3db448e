#include "platform/posix/dialog.h"

#include <string>

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

}  // namespace

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
  // End of input: never consent to anything.
  switch (buttons) {
    case Buttons::kOkCancel:
      return kButtonCancel;
    case Buttons::kYesNo:
      return kButtonNo;
    default:
      return kButtonOk;
  }
}

}  // namespace posix

namespace {
DialogueBackend* g_backend = nullptr;
}  // namespace

int ShowMessage(const char* text, const char* caption, uint32_t style) {
  if (g_backend != nullptr) return g_backend->Show(text, caption, style);
  return posix::TerminalDialogue(stdin, stdout, text, caption, style);
}

DialogueBackend* SetDialogueBackend(DialogueBackend* backend) {
  DialogueBackend* previous = g_backend;
  g_backend = backend;
  return previous;
}

}  // namespace platform
