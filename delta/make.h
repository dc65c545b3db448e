// Making a delta: the publisher's side. The old file's suffix array finds,
// for each place in the new file, the longest equal run in the old one; runs
// that are mostly equal are extended into approximate matches whose few
// differing bytes cost little, and what matches nothing is shipped as it is.
#ifndef VX_DELTA_MAKE_H_
#define VX_DELTA_MAKE_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "delta/delta_format.h"

namespace delta {

// The largest old file a delta is made against (its suffix array has 32-bit
// positions). Making holds both files and a suffix array of 4 bytes per old
// byte (about 9 while our own sort builds it, in the Windows build).
constexpr size_t kMaxMakeBase = 0x7FFFFFFE;

// A whole delta file (header and body) that turns old into next. old is at
// most kMaxMakeBase bytes.
std::string MakeDelta(const uint8_t* old, size_t oldSize, const uint8_t* next, size_t nextSize);

// A delta for a pack made by packtool (docs/pack-format.md): entries that
// did not change are taken from the installed pack, changed entries are
// diffed in decoded form and encoded again as NEW has them where the
// encoder gives NEW's bytes exactly, and the rest is diffed as bytes. Falls
// back to MakeDelta when either file does not read as a pack or the two
// share no entry name, so it serves for any file.
std::string MakePackDelta(const uint8_t* old, size_t oldSize, const uint8_t* next, size_t nextSize);

// The header of a delta of kind that turns old into next.
std::string HeaderFor(DeltaKind kind, const uint8_t* old, size_t oldSize, const uint8_t* next,
                      size_t nextSize);

// Writes steps that make next (nextSize bytes) from old, which stands at
// oldOffset in the base; *basePos is the applier's base position before
// and after them.
void MakeSteps(BytesWriter* writer, const uint8_t* old, size_t oldSize, uint64_t oldOffset,
               const uint8_t* next, size_t nextSize, uint64_t* basePos);

}  // namespace delta

#endif  // VX_DELTA_MAKE_H_
