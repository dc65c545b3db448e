#include "platform/error_mode.h"

#include <windows.h>

namespace platform {

uint32_t SetFileErrorMode(uint32_t mode) { return SetErrorMode(mode); }

}  // namespace platform
