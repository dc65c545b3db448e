#include "delta/range_coder.h"

namespace delta {

RangeDecoder::RangeDecoder(Input* in) : m_in(in), m_buffer(new uint8_t[kBufferSize]) {}

bool RangeDecoder::Refill() {
  uint32_t done = 0;
  if (m_bad || !m_in->Read(m_buffer.get(), kBufferSize, &done) || done == 0) {
    // Past the end of what the encoder wrote: the body is cut or forged.
    m_bad = true;
    return false;
  }
  m_at = 0;
  m_fill = done;
  return true;
}

bool RangeDecoder::Start() {
  if (NextByte() != 0 || m_bad) {
    m_bad = true;
    return false;
  }
  for (int i = 0; i < 4; ++i) m_code = (m_code << 8) | NextByte();
  return !m_bad;
}

NumberModel::NumberModel() {
  for (auto& row : m_high) {
    for (Prob& q : row) q = kProbInit;
  }
}

void NumberModel::Encode(RangeEncoder* rc, uint64_t value) {
  int length = 0;
  while (length < 64 && (value >> length) != 0) ++length;
  m_length.Encode(rc, static_cast<unsigned>(length));
  if (length <= 1) return;
  int rest = length - 1;
  int high = rest < kHighBits ? rest : kHighBits;
  unsigned node = 1;
  for (int i = rest - 1; i >= rest - high; --i) {
    unsigned bit = (value >> i) & 1;
    rc->Bit(&m_high[length][node], bit);
    node = (node << 1) | bit;
  }
  rc->Direct(value, rest - high);
}

uint64_t NumberModel::Decode(RangeDecoder* rc) {
  unsigned length = m_length.Decode(rc);
  if (length > 64) {
    rc->MarkBad();
    return 0;
  }
  if (length <= 1) return length;
  int rest = static_cast<int>(length) - 1;
  int high = rest < kHighBits ? rest : kHighBits;
  uint64_t value = 1;
  unsigned node = 1;
  for (int i = 0; i < high; ++i) {
    unsigned bit = rc->Bit(&m_high[length][node]);
    node = (node << 1) | bit;
    value = (value << 1) | bit;
  }
  int low = rest - high;
  return (value << low) | rc->Direct(low);
}

}  // namespace delta
