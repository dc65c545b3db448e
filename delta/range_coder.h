// An adaptive binary range coder and the models a delta's body is coded
// with. Each modelled bit carries an 11-bit probability that moves 1/8 of
// the way towards every bit it sees (quick to follow the changes from one
// part of a file to the next, which pays more than precision here); the encoder's first byte is
// always 0, and the decoder reads exactly as many bytes as the encoder wrote.
#ifndef VX_DELTA_RANGE_CODER_H_
#define VX_DELTA_RANGE_CODER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "delta/streams.h"

namespace delta {

using Prob = uint16_t;
constexpr int kProbBits = 11;
constexpr Prob kProbInit = 1 << (kProbBits - 1);
constexpr int kMoveBits = 3;
constexpr uint32_t kTopValue = 1u << 24;

class RangeEncoder {
 public:
  // Appends the coded bytes to *out, which the caller may drain and clear
  // between calls.
  explicit RangeEncoder(std::string* out) : m_out(out) {}

  void Bit(Prob* p, unsigned bit) {
    uint32_t bound = (m_range >> kProbBits) * *p;
    if (bit == 0) {
      m_range = bound;
      *p = static_cast<Prob>(*p + (((1u << kProbBits) - *p) >> kMoveBits));
    } else {
      m_low += bound;
      m_range -= bound;
      *p = static_cast<Prob>(*p - (*p >> kMoveBits));
    }
    while (m_range < kTopValue) {
      m_range <<= 8;
      ShiftLow();
    }
  }

  // The low `bits` bits of value, high first, each with probability 1/2.
  void Direct(uint64_t value, int bits) {
    while (bits-- > 0) {
      m_range >>= 1;
      if ((value >> bits) & 1) m_low += m_range;
      while (m_range < kTopValue) {
        m_range <<= 8;
        ShiftLow();
      }
    }
  }

  // Writes the last bytes; the encoder is spent afterwards.
  void Flush() {
    for (int i = 0; i < 5; ++i) ShiftLow();
  }

 private:
  void ShiftLow() {
    if (static_cast<uint32_t>(m_low) < 0xFF000000u || (m_low >> 32) != 0) {
      uint8_t carry = static_cast<uint8_t>(m_low >> 32);
      uint8_t byte = m_cache;
      do {
        m_out->push_back(static_cast<char>(static_cast<uint8_t>(byte + carry)));
        byte = 0xFF;
      } while (--m_cacheSize != 0);
      m_cache = static_cast<uint8_t>(m_low >> 24);
    }
    ++m_cacheSize;
    m_low = (m_low & 0x00FFFFFFu) << 8;
  }

  std::string* m_out;
  uint64_t m_low = 0;
  uint32_t m_range = 0xFFFFFFFFu;
  uint8_t m_cache = 0;
  uint64_t m_cacheSize = 1;
};

class RangeDecoder {
 public:
  // Reads from in through a buffer of its own (64 KiB).
  explicit RangeDecoder(Input* in);

  // Reads the first five bytes. False when they are not there or the
  // first is not 0.
  bool Start();

  unsigned Bit(Prob* p) {
    uint32_t bound = (m_range >> kProbBits) * *p;
    unsigned bit;
    if (m_code < bound) {
      m_range = bound;
      *p = static_cast<Prob>(*p + (((1u << kProbBits) - *p) >> kMoveBits));
      bit = 0;
    } else {
      m_code -= bound;
      m_range -= bound;
      *p = static_cast<Prob>(*p - (*p >> kMoveBits));
      bit = 1;
    }
    Normalize();
    return bit;
  }

  uint64_t Direct(int bits) {
    uint64_t value = 0;
    while (bits-- > 0) {
      m_range >>= 1;
      unsigned bit = m_code >= m_range;
      if (bit) m_code -= m_range;
      value = (value << 1) | bit;
      Normalize();
    }
    return value;
  }

  // True once the input failed or ran out, or a model met a value no
  // encoder writes: everything decoded since is meaningless.
  bool bad() const { return m_bad; }
  void MarkBad() { m_bad = true; }

 private:
  void Normalize() {
    while (m_range < kTopValue) {
      m_range <<= 8;
      m_code = (m_code << 8) | NextByte();
    }
  }
  uint8_t NextByte() {
    if (m_at == m_fill && !Refill()) return 0;
    return m_buffer[m_at++];
  }
  bool Refill();

  static constexpr uint32_t kBufferSize = 1u << 16;
  Input* m_in;
  std::unique_ptr<uint8_t[]> m_buffer;
  uint32_t m_at = 0;
  uint32_t m_fill = 0;
  uint32_t m_range = 0xFFFFFFFFu;
  uint32_t m_code = 0;
  bool m_bad = false;
};

// A symbol of N bits coded bit by bit, high first, each bit in the context
// of the bits before it.
template <int N>
struct BitTree {
  Prob p[1 << N];
  BitTree() {
    for (Prob& q : p) q = kProbInit;
  }
  void Encode(RangeEncoder* rc, unsigned symbol) {
    unsigned node = 1;
    for (int i = N - 1; i >= 0; --i) {
      unsigned bit = (symbol >> i) & 1;
      rc->Bit(&p[node], bit);
      node = (node << 1) | bit;
    }
  }
  unsigned Decode(RangeDecoder* rc) {
    unsigned node = 1;
    for (int i = 0; i < N; ++i) node = (node << 1) | rc->Bit(&p[node]);
    return node - (1u << N);
  }
};

// A number from 0 to 2^64 - 1: its bit length (0 to 64) modelled, the four
// bits below its top bit modelled by length, the rest plain.
class NumberModel {
 public:
  NumberModel();
  void Encode(RangeEncoder* rc, uint64_t value);
  // Marks the decoder bad for a bit length over 64.
  uint64_t Decode(RangeDecoder* rc);

 private:
  static constexpr int kHighBits = 4;
  BitTree<7> m_length;
  Prob m_high[65][1 << kHighBits];
};

}  // namespace delta

#endif  // VX_DELTA_RANGE_CODER_H_
