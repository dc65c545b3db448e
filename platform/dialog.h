// The dialogue: system message boxes with a fixed text, a caption and one of
// four styles, answered by one button. Tests put a double in place of the
// system's boxes at run time.
#ifndef VX_PLATFORM_DIALOG_H_
#define VX_PLATFORM_DIALOG_H_

#include <cstdint>

namespace platform {

// Box styles: buttons, icon, and the set-foreground flag (0x10000).
constexpr uint32_t kStyleError = 0x10010;        // OK, stop icon
constexpr uint32_t kStyleQuestion = 0x10021;     // OK and Cancel, question icon
constexpr uint32_t kStyleYesNo = 0x10024;        // Yes and No, question icon
constexpr uint32_t kStyleInformation = 0x10040;  // OK, information icon

// Buttons, as the system numbers them.
constexpr int kButtonOk = 1;
constexpr int kButtonCancel = 2;
constexpr int kButtonYes = 6;
constexpr int kButtonNo = 7;

// Whatever shows boxes and returns the button pressed.
class DialogueBackend {
 public:
  virtual ~DialogueBackend() = default;
  virtual int Show(const char* text, const char* caption, uint32_t style) = 0;
};

// Shows a box with no owner window: text and caption are code page 932.
// Returns the button pressed. Windows: MessageBoxA. Linux: the terminal
// dialogue on standard input and output (see platform/posix/dialog.h).
int ShowMessage(const char* text, const char* caption, uint32_t style);

// Makes backend answer every later box; nullptr restores the system's boxes.
// Returns the backend that was in place (nullptr for the system's).
DialogueBackend* SetDialogueBackend(DialogueBackend* backend);

// The Linux program's status line: while a long run goes on, one line on
// standard error that rewrites itself, cleared before every box. The
// Windows program has no console and stays windowless: it has none.
#ifdef _WIN32
inline bool StatusLineAvailable() { return false; }
inline void DrawStatusLine(const char*, const char*) {}
inline void ClearStatusLine() {}
#else
// True when standard error is a terminal a status line can be drawn on.
bool StatusLineAvailable();
// Draws head and then tail (code page 932) as the status line, in place of
// the one drawn before, cut to the terminal's width: tail loses its start
// first, then head its end.
void DrawStatusLine(const char* head, const char* tail);
// Removes the status line from the terminal; nothing when none is drawn.
// Every box does this first.
void ClearStatusLine();
#endif

}  // namespace platform

#endif  // VX_PLATFORM_DIALOG_H_
