#include "platform/error_mode.h"

namespace platform {
namespace {

// Linux has no error boxes; the mode is kept for the callers that read it back.
uint32_t g_errorMode = 0;

}  // namespace

uint32_t SetFileErrorMode(uint32_t mode) {
  uint32_t previous = g_errorMode;
  g_errorMode = mode;
  return previous;
}

}  // namespace platform
