// Making a delta: the publisher's side. The old file's suffix array finds,
// for each place in the new file, the longest equal run in the old one; runs
// that are mostly equal are extended into approximate matches whose few
// differing bytes cost little, and what matches nothing is shipped as it is.
#ifndef VX_DELTA_MAKE_H_
#define VX_DELTA_MAKE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace delta {

// The largest old file a delta is made against (its suffix array has 32-bit
// positions). Making needs about 10 times the old file's size in memory.
constexpr size_t kMaxMakeBase = 0x7FFFFFFE;

// A whole delta file (header and body) that turns old into next. old is at
// most kMaxMakeBase bytes.
std::string MakeDelta(const uint8_t* old, size_t oldSize, const uint8_t* next, size_t nextSize);

}  // namespace delta

#endif  // VX_DELTA_MAKE_H_
