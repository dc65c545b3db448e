// The process's error mode: whether the system itself asks the user about a
// file that can't be opened (a drive without a disk, say).
#ifndef VX_PLATFORM_ERROR_MODE_H_
#define VX_PLATFORM_ERROR_MODE_H_

#include <cstdint>

namespace platform {

// The mode under which a failed open returns an error instead of showing a box.
constexpr uint32_t kNoOpenFileErrorBox = 0x8000;

// Sets the process's error mode to exactly mode and returns the one it had.
// Linux shows no such boxes: the mode is only remembered, so that callers
// that save and restore it behave the same on both systems.
uint32_t SetFileErrorMode(uint32_t mode);

}  // namespace platform

#endif  // VX_PLATFORM_ERROR_MODE_H_
