// Writes a base file of N GiB and a delta that changes 16 bytes in every
// 256 MiB of it, for timing and measuring the applier on files larger than
// a 32-bit offset holds (the delta maker does not take bases that large).
//   big_delta BASE DELTA N
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "delta/delta_format.h"

namespace {

constexpr size_t kBlock = 1 << 16;
constexpr uint64_t kStride = 256ull << 20;
constexpr uint32_t kChanged = 16;

// The base's bytes: a cheap pseudo-random stream, block by block.
void BaseBlock(uint64_t index, uint8_t* out) {
  uint64_t x = index * 0x9E3779B97F4A7C15ull + 1;
  for (size_t i = 0; i < kBlock; i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::memcpy(out + i, &x, 8);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: big_delta BASE DELTA GIB\n", stderr);
    return 64;
  }
  uint64_t size = std::strtoull(argv[3], nullptr, 10) << 30;
  std::FILE* base = std::fopen(argv[1], "wb");
  if (base == nullptr) return 1;
  std::vector<uint8_t> block(kBlock);
  const uint8_t changed[kChanged] = {'c', 'h', 'a', 'n', 'g', 'e', 'd', ' ',
                                     'b', 'y', 't', 'e', 's', '!', '!', '\n'};
  platform::Sha256 baseHash, resultHash;
  for (uint64_t at = 0; at < size; at += kBlock) {
    BaseBlock(at / kBlock, block.data());
    if (std::fwrite(block.data(), 1, kBlock, base) != kBlock) return 1;
    baseHash.Update(block.data(), kBlock);
    // The result: the same, but the last 16 bytes of every 256 MiB changed.
    if ((at + kBlock) % kStride == 0)
      std::memcpy(block.data() + kBlock - kChanged, changed, kChanged);
    resultHash.Update(block.data(), kBlock);
  }
  if (std::fclose(base) != 0) return 1;
  delta::DeltaHeader header;
  header.baseSize = header.resultSize = size;
  header.baseHash = baseHash.Finish();
  header.resultHash = resultHash.Finish();
  std::string out = delta::EncodeHeader(header);
  delta::BytesWriter writer(&out);
  for (uint64_t at = 0; at < size; at += kStride) {
    writer.Seek(at == 0 ? 0 : kChanged);
    writer.Add(nullptr, nullptr, kStride - kChanged);
    writer.Copy(changed, kChanged);
  }
  writer.Finish();
  std::FILE* file = std::fopen(argv[2], "wb");
  if (file == nullptr || std::fwrite(out.data(), 1, out.size(), file) != out.size() ||
      std::fclose(file) != 0) {
    return 1;
  }
  return 0;
}
