// The Rle0 block decoder on its own, against a plain bounded decoder; and
// the encoder's output for the input must decode back to it.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fileaccess/fpk.h"
#include "fileaccess/rle_codec.h"

namespace {

// Token by token into a vector, every index checked; unreached bytes zero.
std::vector<uint8_t> PlainDecode(const uint8_t* packed, uint32_t length, uint32_t size,
                                 uint32_t method) {
  std::vector<uint8_t> out(size, 0);
  if (method == 0) {
    for (uint32_t i = 0; i < length && i < size; ++i) out[i] = packed[i];
    return out;
  }
  uint32_t in = 0;
  uint32_t at = 0;
  while (in < length && at < size) {
    uint8_t c = packed[in++];
    uint32_t n = (c & 0x3F) ? (c & 0x3F) : 64;
    uint32_t period = c >> 6;
    uint32_t operands = period == 0 ? n : period;
    if (length - in < operands) break;
    if (period == 0) {
      for (uint32_t i = 0; i < n && at < size; ++i) out.at(at++) = packed[in + i];
    } else {
      for (uint32_t k = 0; k <= n; ++k) {
        for (uint32_t j = 0; j < period && at < size; ++j) out.at(at++) = packed[in + j];
      }
    }
    in += operands;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  uint32_t unpacked = (data[0] | (data[1] << 8) | (uint32_t{data[2]} << 16)) % (1 << 16);
  uint32_t method = data[3] % 3;
  const uint8_t* packed = data + 4;
  uint32_t length = static_cast<uint32_t>(size - 4);
  RleHeader header{{'R', 'L', 'E', '0'}, 0, length, unpacked, method, 0};
  std::vector<uint8_t> out(unpacked + 1, 0xEE);
  // A private copy of the packed bytes, so that reads past them are caught.
  std::vector<uint8_t> copy(packed, packed + length);
  bool ok = CFPK::DecodeRle(out.data(), copy.empty() ? data : copy.data(), &header);
  if (ok != (method < 2)) __builtin_trap();
  if (out[unpacked] != 0xEE) __builtin_trap();  // nothing past the entry
  if (ok) {
    out.resize(unpacked);
    if (out != PlainDecode(packed, length, unpacked, method)) __builtin_trap();
  }
  std::string encoded = rle::Encode(packed, length);
  std::vector<uint8_t> decoded(length + 1, 0xEE);
  int64_t n =
      rle::DecodeTokens(decoded.data(), length, reinterpret_cast<const uint8_t*>(encoded.data()),
                        static_cast<uint32_t>(encoded.size()), 1);
  if (n != length || std::memcmp(decoded.data(), packed, length) != 0) __builtin_trap();
  return 0;
}
