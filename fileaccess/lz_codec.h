// The LZ stream of Zlc2 entries: groups of a flag byte (used from bit 7
// down) and eight tokens; a 0 bit is a literal byte, a 1 bit a reference of
// two bytes b0 b1: length (b1 & 0x0F) + 3, distance b0 | (b1 & 0xF0) << 4,
// where 0 stands for 4,096. The 4,096 bytes before the output count as zeros.
#ifndef VX_FILEACCESS_LZ_CODEC_H_
#define VX_FILEACCESS_LZ_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace lz {

constexpr size_t kWindowSize = 4096;
constexpr size_t kMinMatch = 3;
constexpr size_t kMaxMatch = 18;
// A block ends when at most this many bytes of the output area are free.
constexpr size_t kOutputSlack = 24;
// With more input to come, decoding pauses for a refill below this many
// unread bytes.
constexpr size_t kRefillMark = 64;

// Flag bits not yet used, above a marker bit; kFlagsEmpty when the next
// token needs a new flag byte.
constexpr uint32_t kFlagsEmpty = 0x80000000u;
inline uint32_t FlagBits(uint8_t flagByte) { return (uint32_t{flagByte} << 24) | 0x00800000u; }

// Where decoding stands.
struct Cursor {
  size_t inPos;
  size_t outPos;
  uint32_t flags;
};

enum class Stop {
  kInput,   // refill wanted, or the next token's bytes are not all held
  kOutput,  // at most kOutputSlack bytes of the output area are free
  kLimit,   // outLimit reached (the last token may reach past it)
};

// Decodes tokens from in[c->inPos, inLength) to out[c->outPos, outCapacity).
// The kWindowSize bytes before out[0] are the history and must be readable.
// With moreInput, stops when fewer than kRefillMark bytes are unread;
// without, at the first token whose bytes (flag byte included) are not all
// in the input. Never reads input past inLength or writes past outCapacity.
Stop DecodeTokens(Cursor* c, const uint8_t* in, size_t inLength, bool moreInput, uint8_t* out,
                  size_t outCapacity, size_t outLimit);

// Decodes a whole stream byte by byte through a 4,096-byte ring, the
// textbook way: the plain reference that the block decoder must equal.
// Writes at most size bytes to out; returns the number written, fewer when
// the stream ends first.
size_t DecodeSimple(const uint8_t* in, size_t inLength, uint8_t* out, size_t size);

// Encodes data as an LZ stream (greedy matches found through hash chains).
std::string Encode(const uint8_t* data, size_t size);

}  // namespace lz

#endif  // VX_FILEACCESS_LZ_CODEC_H_
