// Applying a delta: streams the delta and the installed base into the
// result, in fixed buffers (well under 16 MiB whatever the sizes, 64-bit
// offsets in the 32-bit build too), checking every length and offset the
// delta names, the base's size and hash before anything is written, and
// the result's size and hash at the end.
#ifndef VX_DELTA_APPLY_H_
#define VX_DELTA_APPLY_H_

#include "delta/delta_format.h"
#include "delta/manifest.h"
#include "delta/streams.h"

namespace delta {

enum class ApplyResult {
  kApplied,      // the result is complete and has the recorded hash
  kNotADelta,    // no delta header of this version
  kWrongBase,    // the base is not the file the delta was made from
  kDamaged,      // the delta is malformed, cut, lengthened or not the listed one
  kBaseUnread,   // the base could not be read
  kWriteFailed,  // the output refused bytes
};

// A short English description of result, for the tools.
const char* ApplyResultText(ApplyResult result);

// Applies the delta read from delta to base, writing the result to out.
// Before anything is written, the base's size and SHA-256 must be those of
// the delta's header; with an entry (a manifest's delta entry), the header
// must also name the entry's base and result, and the delta input as a
// whole must have the entry's patch size and hash. Returns kApplied only
// when out received exactly the result with the recorded hash; on any other
// result, out may hold a part of it, which the caller discards.
ApplyResult ApplyDelta(Input* delta, Base* base, Output* out, const ManifestEntry* entry = nullptr);

// The same for files named by code page 932 paths, opened through the
// platform layer (the base shared for reading only, so that nobody writes
// it meanwhile).
ApplyResult ApplyDeltaFiles(const char* deltaPath, const char* basePath, Output* out,
                            const ManifestEntry* entry = nullptr);

namespace internal {
// The size of the buffer ApplySteps works in.
constexpr uint32_t kStepBuffer = 1u << 16;
// Decodes steps from rc until size bytes are written to out, against base
// from position *basePos on; *basePos is where the base position stands
// afterwards. buffer holds kStepBuffer bytes.
ApplyResult ApplySteps(BytesModels* models, RangeDecoder* rc, Base* base, uint64_t size,
                       uint64_t* basePos, Output* out, uint8_t* buffer);
// Decodes a kBytes body from rc onto out (already hashing), against base.
ApplyResult ApplyBytesBody(const DeltaHeader& header, RangeDecoder* rc, Base* base, Output* out);
// Decodes a kPack body.
ApplyResult ApplyPackBody(const DeltaHeader& header, RangeDecoder* rc, Base* base, Output* out);
}  // namespace internal

}  // namespace delta

#endif  // VX_DELTA_APPLY_H_
