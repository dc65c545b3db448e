#include "platform/dialog.h"

#include <windows.h>

namespace platform {
namespace {
DialogueBackend* g_backend = nullptr;
}  // namespace

int ShowMessage(const char* text, const char* caption, uint32_t style) {
  if (g_backend != nullptr) return g_backend->Show(text, caption, style);
  return MessageBoxA(nullptr, text, caption, style);
}

DialogueBackend* SetDialogueBackend(DialogueBackend* backend) {
  DialogueBackend* previous = g_backend;
  g_backend = backend;
  return previous;
}

}  // namespace platform
