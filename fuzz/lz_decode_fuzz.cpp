// The Zlc2 block decoder on its own: the input is decoded block by block
// through buffers of varied size, with refills as the reader makes them, and
// must equal the byte-by-byte decoder; the encoder's output for the input
// must decode back to it.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fileaccess/lz_codec.h"

namespace {

std::vector<uint8_t> DecodeInBlocks(const uint8_t* stream, size_t length, size_t size,
                                    size_t inCapacity, size_t outCapacity) {
  std::vector<uint8_t> result;
  std::vector<uint8_t> in(inCapacity);
  std::vector<uint8_t> out(lz::kWindowSize + outCapacity);
  uint8_t* area = out.data() + lz::kWindowSize;
  size_t fed = 0;
  size_t inFill = 0;
  bool more = true;
  lz::Cursor c{0, 0, lz::kFlagsEmpty};
  while (result.size() < size) {
    size_t limit = std::min(outCapacity, size - result.size());
    for (;;) {
      lz::Stop stop = lz::DecodeTokens(&c, in.data(), inFill, more, area, outCapacity, limit);
      if (stop != lz::Stop::kInput || !more) break;
      // Refill: the unread bytes move to the front, new ones follow.
      size_t unread = inFill - c.inPos;
      std::memmove(in.data(), in.data() + c.inPos, unread);
      size_t n = std::min(inCapacity - unread, length - fed);
      std::memcpy(in.data() + unread, stream + fed, n);
      fed += n;
      c.inPos = 0;
      inFill = unread + n;
      if (n == 0) more = false;
    }
    if (c.outPos == 0) break;
    result.insert(result.end(), area, area + c.outPos);
    // The last 4,096 bytes produced become the next block's history.
    std::memmove(out.data(), area + c.outPos - lz::kWindowSize, lz::kWindowSize);
    c.outPos = 0;
  }
  if (result.size() > size) result.resize(size);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  // Up to 16 KiB of output, through small and full-size buffers.
  const size_t outCapacities[] = {25, 64, 301, 4099, 65536, 65536, 65536, 65536};
  size_t inCapacity = 128 + (data[3] & 0x0F) * 997;
  size_t outCapacity = outCapacities[data[3] >> 5];
  size_t most = std::min<size_t>(1 << 14, outCapacity * 64);
  size_t wanted = (data[0] | (data[1] << 8) | (size_t{data[2]} << 16)) % (most + 1);
  const uint8_t* stream = data + 4;
  size_t length = size - 4;
  std::vector<uint8_t> expected(wanted);
  expected.resize(lz::DecodeSimple(stream, length, expected.data(), wanted));
  if (DecodeInBlocks(stream, length, wanted, inCapacity, outCapacity) != expected) __builtin_trap();
  // The encoder's stream for the same bytes gives them back.
  std::string encoded = lz::Encode(stream, length);
  std::vector<uint8_t> decoded(length);
  size_t n = lz::DecodeSimple(reinterpret_cast<const uint8_t*>(encoded.data()), encoded.size(),
                              decoded.data(), length);
  if (n != length || (length > 0 && std::memcmp(decoded.data(), stream, length) != 0)) {
    __builtin_trap();
  }
  return 0;
}
