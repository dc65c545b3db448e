// Pack entries as a pack delta handles them: the body's models, and an
// entry's bytes decoded and encoded again, in memory, within fixed bounds
// (docs/pack-format.md has the codings).
#ifndef VX_DELTA_PACK_ENTRIES_H_
#define VX_DELTA_PACK_ENTRIES_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "delta/delta_format.h"

namespace delta {

// The largest entry, decoded, that a pack delta encodes again; larger
// changed entries are diffed as bytes. With the encoded bytes and both
// decoded forms in memory, applying stays well under 16 MiB.
constexpr uint32_t kMaxReencodedEntry = 2u << 20;
// The most bytes of the installed pack read for one such entry.
constexpr uint32_t kMaxEntrySpan = kMaxReencodedEntry + kMaxReencodedEntry / 8 + 64;

enum class EntryCoding : unsigned { kStored = 0, kZlc2 = 1, kRle0 = 2 };

// The models of a kPack body: a series of segments until the result is
// complete, each
//   op 0  bytes: a length, then kBytes steps making that many bytes
//         against the whole base (the base position carries from one such
//         segment to the next)
//   op 1  entry: the base offset and span of an old entry, its coding, the
//         new entry's coding and decoded size, then kBytes steps making the
//         new decoded entry against the old decoded one; the result gets
//         the new entry encoded
struct PackModels {
  BytesModels bytes;
  Prob op = kProbInit;
  NumberModel length;
  NumberModel offset;
  NumberModel span;
  NumberModel size;
  BitTree<2> oldCoding;
  BitTree<2> newCoding;
};

// The coding an entry's first bytes announce.
EntryCoding CodingOf(const uint8_t* bytes, size_t size);

// Decodes the entry held in bytes[0, size) as coding says into *out. Bytes
// no token reaches are zeros. False when the header is cut, the decoded size
// is over kMaxReencodedEntry, or an Rle0 method is unknown.
bool DecodeEntry(EntryCoding coding, const uint8_t* bytes, size_t size, std::string* out);

// The entry's bytes for decoded data in coding, as packtool writes them.
std::string EncodeEntry(EntryCoding coding, const std::string& decoded);

}  // namespace delta

#endif  // VX_DELTA_PACK_ENTRIES_H_
