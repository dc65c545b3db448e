// The LZ encoder for Zlc2 entries: greedy, with the longest match among the
// most recent positions of the same three bytes in the 4,096-byte window.
#include <algorithm>
#include <cstring>
#include <vector>

#include "fileaccess/lz_codec.h"

namespace lz {
namespace {

constexpr int kHashBits = 15;
constexpr int kMaxChain = 48;

inline uint32_t Hash3(const uint8_t* p) {
  uint32_t v = p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16);
  return (v * 2654435761u) >> (32 - kHashBits);
}

// Collects tokens into groups of a flag byte and eight tokens.
class TokenWriter {
 public:
  explicit TokenWriter(std::string* out) : m_out(out) {}
  void Literal(uint8_t b) {
    Flag(false);
    m_out->push_back(static_cast<char>(b));
  }
  void Reference(size_t distance, size_t length) {
    Flag(true);
    size_t d = distance & (kWindowSize - 1);  // 4,096 is written as 0
    m_out->push_back(static_cast<char>(d & 0xFF));
    m_out->push_back(static_cast<char>(((d >> 4) & 0xF0) | (length - kMinMatch)));
  }

 private:
  void Flag(bool reference) {
    if (m_bit == 0) {
      m_flagAt = m_out->size();
      m_out->push_back('\0');
      m_bit = 0x80;
    }
    if (reference) (*m_out)[m_flagAt] = static_cast<char>((*m_out)[m_flagAt] | m_bit);
    m_bit >>= 1;
  }

  std::string* m_out;
  size_t m_flagAt = 0;
  unsigned m_bit = 0;
};

}  // namespace

std::string Encode(const uint8_t* data, size_t size) {
  std::string out;
  out.reserve(size / 2 + 16);
  TokenWriter writer(&out);
  std::vector<int64_t> head(size_t{1} << kHashBits, -1);
  std::vector<int64_t> previous(kWindowSize, -1);
  auto insert = [&](size_t pos) {
    if (pos + kMinMatch > size) return;
    uint32_t h = Hash3(data + pos);
    previous[pos & (kWindowSize - 1)] = head[h];
    head[h] = static_cast<int64_t>(pos);
  };
  size_t pos = 0;
  while (pos < size) {
    size_t bestLength = 0;
    size_t bestDistance = 0;
    size_t most = std::min(kMaxMatch, size - pos);
    if (most >= kMinMatch) {
      int64_t candidate = head[Hash3(data + pos)];
      for (int chain = 0; chain < kMaxChain && candidate >= 0; ++chain) {
        size_t from = static_cast<size_t>(candidate);
        if (pos - from > kWindowSize) break;
        size_t length = 0;
        while (length < most && data[from + length] == data[pos + length]) ++length;
        if (length > bestLength) {
          bestLength = length;
          bestDistance = pos - from;
          if (length == most) break;
        }
        candidate = previous[from & (kWindowSize - 1)];
        if (candidate >= static_cast<int64_t>(from)) break;
      }
    }
    if (bestLength >= kMinMatch) {
      writer.Reference(bestDistance, bestLength);
      for (size_t i = 0; i < bestLength; ++i) insert(pos + i);
      pos += bestLength;
    } else {
      writer.Literal(data[pos]);
      insert(pos);
      ++pos;
    }
  }
  return out;
}

}  // namespace lz
