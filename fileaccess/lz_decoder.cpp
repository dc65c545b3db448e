// Decoding of Zlc2 entries: the block decoder, and the delivery of decoded
// bytes through the output area with its 4,096 bytes of history.
#include <algorithm>
#include <cstring>

#include "fileaccess/fpk.h"
#include "fileaccess/lz_codec.h"

namespace lz {
namespace {

// A group of eight tokens writes at most 8 * 18 bytes, and a wide copy may
// write up to 32 bytes from where its token starts. It reads at most 17
// bytes, and a wide literal copy up to 8 bytes from where it starts.
constexpr size_t kGroupOutput = 8 * kMaxMatch + 32;
constexpr size_t kGroupInput = 1 + 8 * 2 + 8;

inline void Copy8(uint8_t* dest, const uint8_t* src) {
  uint64_t v;
  std::memcpy(&v, src, 8);
  std::memcpy(dest, &v, 8);
}

inline void Copy16(uint8_t* dest, const uint8_t* src) {
  uint8_t v[16];
  std::memcpy(v, src, 16);
  std::memcpy(dest, v, 16);
}

// A reference with room for 32 bytes at op. Copies that start 8 or more
// bytes back move 8 or 16 bytes at a time: each piece is read only after the
// piece before it is written, and never reaches past it, so overlaps repeat
// bytes as a byte-by-byte copy does. Bytes past the reference's length are
// overwritten later.
inline uint8_t* CopyReference(uint8_t* op, size_t distance, size_t length) {
  const uint8_t* src = op - distance;
  if (distance >= 16) {
    Copy16(op, src);
    Copy16(op + 16, src + 16);
  } else if (distance >= 8) {
    Copy8(op, src);
    Copy8(op + 8, src + 8);
    Copy8(op + 16, src + 16);
  } else if (distance == 1) {
    uint64_t v = src[0] * 0x0101010101010101ull;
    std::memcpy(op, &v, 8);
    std::memcpy(op + 8, &v, 8);
    std::memcpy(op + 16, &v, 8);
  } else {
    for (size_t i = 0; i < length; ++i) op[i] = src[i];
  }
  return op + length;
}

inline void ReadReference(const uint8_t* ip, size_t* distance, size_t* length) {
  *length = (ip[1] & 0x0F) + kMinMatch;
  size_t d = ip[0] | (static_cast<size_t>(ip[1] & 0xF0) << 4);
  *distance = d == 0 ? kWindowSize : d;
}

}  // namespace

Stop DecodeTokens(Cursor* c, const uint8_t* in, size_t inLength, bool moreInput, uint8_t* out,
                  size_t outCapacity, size_t outLimit) {
  const uint8_t* ip = in + c->inPos;
  const uint8_t* const iend = in + inLength;
  uint8_t* op = out + c->outPos;
  uint8_t* const oend = out + outCapacity;
  uint8_t* const olimit = out + std::min(outLimit, outCapacity);
  uint32_t flags = c->flags;
  // Whole groups run without checks while both buffers have room for one.
  size_t inReserve = moreInput ? std::max(kRefillMark, kGroupInput) : kGroupInput;
  const uint8_t* const ifast = inLength >= inReserve ? iend - inReserve : in;
  uint8_t* const ofast = outCapacity >= kGroupOutput ? oend - kGroupOutput : out;
  Stop stop;
  for (;;) {
    if (flags == kFlagsEmpty) {
      while (ip <= ifast && op <= ofast && op < olimit && inLength >= inReserve &&
             outCapacity >= kGroupOutput) {
        // Flag bits at the top; a run of literals is one wide copy.
        uint32_t bits = uint32_t{*ip++} << 24;
        int left = 8;
        for (;;) {
          int literals = bits == 0 ? left : std::min(__builtin_clz(bits), left);
          Copy8(op, ip);
          op += literals;
          ip += literals;
          left -= literals;
          if (left == 0) break;
          size_t distance, length;
          ReadReference(ip, &distance, &length);
          ip += 2;
          op = CopyReference(op, distance, length);
          bits <<= literals + 1;
          if (--left == 0) break;
        }
      }
    }
    // One token at a time, every bound checked.
    if (op >= olimit) {
      stop = Stop::kLimit;
      break;
    }
    if (static_cast<size_t>(oend - op) <= kOutputSlack) {
      stop = Stop::kOutput;
      break;
    }
    if (moreInput && static_cast<size_t>(iend - ip) < kRefillMark) {
      stop = Stop::kInput;
      break;
    }
    if (flags == kFlagsEmpty) {
      if (ip == iend) {
        stop = Stop::kInput;
        break;
      }
      flags = FlagBits(*ip++);
    }
    if (flags & 0x80000000u) {
      if (iend - ip < 2) {
        stop = Stop::kInput;
        break;
      }
      size_t distance, length;
      ReadReference(ip, &distance, &length);
      ip += 2;
      const uint8_t* src = op - distance;
      for (size_t i = 0; i < length; ++i) op[i] = src[i];
      op += length;
    } else {
      if (ip == iend) {
        stop = Stop::kInput;
        break;
      }
      *op++ = *ip++;
    }
    flags <<= 1;
  }
  c->inPos = static_cast<size_t>(ip - in);
  c->outPos = static_cast<size_t>(op - out);
  c->flags = flags;
  return stop;
}

size_t DecodeSimple(const uint8_t* in, size_t inLength, uint8_t* out, size_t size) {
  uint8_t ring[kWindowSize] = {};
  size_t r = 0;
  size_t ip = 0;
  size_t op = 0;
  unsigned flags = 0;
  int bitsLeft = 0;
  while (op < size) {
    if (bitsLeft == 0) {
      if (ip >= inLength) break;
      flags = in[ip++];
      bitsLeft = 8;
    }
    bool reference = (flags & 0x80) != 0;
    flags <<= 1;
    --bitsLeft;
    if (!reference) {
      if (ip >= inLength) break;
      uint8_t b = in[ip++];
      out[op++] = b;
      ring[r] = b;
      r = (r + 1) & (kWindowSize - 1);
      continue;
    }
    if (ip + 2 > inLength) break;
    size_t length = (in[ip + 1] & 0x0F) + kMinMatch;
    size_t distance = in[ip] | (static_cast<size_t>(in[ip + 1] & 0xF0) << 4);
    if (distance == 0) distance = kWindowSize;
    ip += 2;
    size_t from = (r + kWindowSize - distance) & (kWindowSize - 1);
    for (size_t i = 0; i < length && op < size; ++i) {
      uint8_t b = ring[(from + i) & (kWindowSize - 1)];
      out[op++] = b;
      ring[r] = b;
      r = (r + 1) & (kWindowSize - 1);
    }
  }
  return op;
}

}  // namespace lz

namespace {

// The flag state of the block decoder from CFPK's flag byte and the mask of
// its unused bits (high bits first), and back.
uint32_t FlagBitsFrom(uint8_t flags, uint8_t mask) {
  int left = __builtin_popcount(mask);
  return (uint32_t{flags} << 24) | (1u << (31 - left));
}

void FlagBitsTo(uint32_t bits, uint8_t* flags, uint8_t* mask) {
  int left = 31 - __builtin_ctz(bits);
  *mask = static_cast<uint8_t>(left == 0 ? 0 : (0xFF << (8 - left)) & 0xFF);
  *flags = static_cast<uint8_t>((bits >> 24) & *mask);
}

}  // namespace

int32_t CFPK::DecodeLz() {
  int32_t room = m_outCapacity - m_outFill;
  if (room <= static_cast<int32_t>(lz::kOutputSlack) || m_decoded >= m_size) return 0;
  // Decoding stops once the entry's size is reached: what follows the
  // stream in the pack is not part of it.
  size_t limit = static_cast<size_t>(m_outFill) +
                 std::min<size_t>(static_cast<size_t>(room), m_size - m_decoded);
  lz::Cursor cursor{static_cast<size_t>(m_inRead), static_cast<size_t>(m_outFill),
                    FlagBitsFrom(m_flags, m_flagMask)};
  for (;;) {
    lz::Stop stop =
        lz::DecodeTokens(&cursor, m_inBuffer.get(), static_cast<size_t>(m_inFill), !m_inEnd,
                         m_outData, static_cast<size_t>(m_outCapacity), limit);
    if (stop != lz::Stop::kInput || m_inEnd) break;
    m_inRead = static_cast<int32_t>(cursor.inPos);
    if (FillInput() <= 0) m_inEnd = true;
    cursor.inPos = static_cast<size_t>(m_inRead);
  }
  int32_t produced = static_cast<int32_t>(cursor.outPos) - m_outFill;
  m_outFill = static_cast<int32_t>(cursor.outPos);
  m_inRead = static_cast<int32_t>(cursor.inPos);
  FlagBitsTo(cursor.flags, &m_flags, &m_flagMask);
  m_decoded += static_cast<uint32_t>(produced);
  return produced;
}

int32_t CFPK::ReadLz(uint8_t* dest, int32_t count) {
  if (dest == nullptr || count <= 0) return 0;
  // Reads stop at the entry's end.
  if (static_cast<uint32_t>(count) > m_left) count = static_cast<int32_t>(m_left);
  int32_t delivered = 0;
  while (delivered < count) {
    int32_t available = m_outFill - m_outRead;
    if (available == 0) {
      // The last 4,096 bytes produced become the history of the next block
      // (in an early, short block they reach into the history area itself).
      std::memmove(m_outBuffer.get(), m_outData + m_outFill - kHistorySize, kHistorySize);
      m_outRead = m_outFill = 0;
      if (DecodeLz() == 0) break;
      continue;
    }
    int32_t k = std::min(available, count - delivered);
    std::memcpy(dest + delivered, m_outData + m_outRead, static_cast<size_t>(k));
    m_outRead += k;
    delivered += k;
  }
  m_left -= static_cast<uint32_t>(delivered);
  return delivered;
}
