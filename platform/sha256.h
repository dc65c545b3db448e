// SHA-256, fed in pieces: the hash that patch manifests record for every
// file and that the installer checks while it copies. Our own code serves
// both builds, so that the Windows program imports nothing for it: portable
// C++, and on processors with the SHA extensions (x86, 32 and 64 bits,
// checked at run time) those instructions, six to nine times faster.
#ifndef VX_PLATFORM_SHA256_H_
#define VX_PLATFORM_SHA256_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

using Sha256Digest = std::array<uint8_t, 32>;

class Sha256 {
 public:
  Sha256() { Reset(); }

  // Starts a new hash, forgetting everything fed so far.
  void Reset();
  // Feeds size bytes; any piece sizes give the same digest.
  void Update(const void* data, size_t size);
  // The digest of everything fed since the last Reset. The object is then
  // spent: Reset it before feeding it again.
  Sha256Digest Finish();

  // The digest of one buffer.
  static Sha256Digest Of(const void* data, size_t size);

 private:
  void Compress(const uint8_t* block);

  uint32_t m_state[8];
  uint64_t m_length;  // bytes fed
  uint8_t m_block[64];
  size_t m_fill;  // bytes waiting in m_block
};

// The digest as 64 lower-case hexadecimal digits.
std::string HexDigest(const Sha256Digest& digest);

// Reads 64 hexadecimal digits (either case) into *digest; false for
// anything else.
bool ParseHexDigest(const char* text, size_t length, Sha256Digest* digest);

namespace internal {
// Runs the compression function over blocks of 64 bytes: by the SHA
// extensions where the processor has them, else portably.
void Sha256Blocks(uint32_t* state, const uint8_t* data, size_t blocks);
// The portable code alone, and whether Sha256Blocks uses the extensions;
// for tests that compare the two.
void Sha256BlocksPortable(uint32_t* state, const uint8_t* data, size_t blocks);
bool Sha256Accelerated();
}  // namespace internal

}  // namespace platform

#endif  // VX_PLATFORM_SHA256_H_
