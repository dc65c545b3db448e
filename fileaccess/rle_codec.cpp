// Decoding and encoding of the run-length block of Rle0 entries.
#include "fileaccess/rle_codec.h"

#include <algorithm>
#include <cstring>

#include "fileaccess/fpk.h"
#include "fileaccess/pack_format.h"

namespace rle {
namespace {

constexpr uint32_t kMaxCount = 64;  // literal bytes per token; run copies minus one
constexpr uint32_t kMaxCopies = 65;

// Writes length bytes of the period-byte pattern at dest: the pattern once,
// then doubling copies of what is already written.
void FillPattern(uint8_t* dest, const uint8_t* pattern, size_t period, size_t length) {
  size_t done = std::min(period, length);
  std::memcpy(dest, pattern, done);
  while (done < length) {
    size_t n = std::min(done, length - done);
    std::memcpy(dest + done, dest, n);
    done += n;
  }
}

}  // namespace

int64_t DecodeTokens(uint8_t* dest, uint32_t unpackedLength, const uint8_t* packed,
                     uint32_t packedLength, uint32_t method) {
  if (method == 0) {
    uint32_t n = std::min(packedLength, unpackedLength);
    if (n > 0 && dest != nullptr) std::memcpy(dest, packed, n);
    return n;
  }
  if (method != 1) return -1;
  uint32_t in = 0;
  uint32_t out = 0;
  while (in < packedLength && out < unpackedLength) {
    uint8_t c = packed[in++];
    uint32_t n = c & 0x3F;
    if (n == 0) n = kMaxCount;
    uint32_t period = c >> 6;  // 0: literal, else the pattern's length
    uint32_t operands = period == 0 ? n : period;
    if (packedLength - in < operands) break;
    uint32_t length = period == 0 ? n : period * (n + 1);
    length = std::min(length, unpackedLength - out);
    if (dest == nullptr) {
      // Counting only.
    } else if (period == 0) {
      std::memcpy(dest + out, packed + in, length);
    } else {
      FillPattern(dest + out, packed + in, period, length);
    }
    in += operands;
    out += length;
  }
  return out;
}

std::string Encode(const uint8_t* data, size_t size) {
  std::string out;
  out.reserve(size / 2 + 16);
  size_t literalStart = 0;
  auto flushLiterals = [&](size_t end) {
    while (literalStart < end) {
      size_t n = std::min<size_t>(kMaxCount, end - literalStart);
      out.push_back(static_cast<char>(n & 0x3F));
      out.append(reinterpret_cast<const char*>(data + literalStart), n);
      literalStart += n;
    }
  };
  size_t pos = 0;
  while (pos < size) {
    // The run (of period 1, 2 or 3) that saves the most bytes here.
    size_t bestPeriod = 0;
    size_t bestCopies = 0;
    size_t bestGain = 0;
    for (size_t period = 1; period <= 3; ++period) {
      size_t copies = 1;
      while (copies < kMaxCopies && pos + (copies + 1) * period <= size &&
             std::memcmp(data + pos + copies * period, data + pos, period) == 0) {
        ++copies;
      }
      if (copies < 2) continue;
      size_t covered = copies * period;
      size_t cost = 1 + period;
      if (covered > cost + 1 && covered - cost > bestGain) {
        bestGain = covered - cost;
        bestPeriod = period;
        bestCopies = copies;
      }
    }
    if (bestPeriod == 0) {
      ++pos;
      continue;
    }
    flushLiterals(pos);
    out.push_back(static_cast<char>((bestPeriod << 6) | ((bestCopies - 1) & 0x3F)));
    out.append(reinterpret_cast<const char*>(data + pos), bestPeriod);
    pos += bestPeriod * bestCopies;
    literalStart = pos;
  }
  flushLiterals(size);
  return out;
}

}  // namespace rle

bool CFPK::DecodeRle(uint8_t* dest, const uint8_t* packed, const RleHeader* header) {
  if (dest == nullptr || packed == nullptr || header == nullptr ||
      std::memcmp(header->magic, pack::kRle0Magic, 4) != 0) {
    return false;
  }
  int64_t written =
      rle::DecodeTokens(dest, header->unpackedLength, packed, header->packedLength, header->method);
  if (written < 0) return false;
  // Bytes that no token reached read as zeros.
  std::memset(dest + written, 0, header->unpackedLength - static_cast<size_t>(written));
  return true;
}
