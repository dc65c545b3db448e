#include "platform/sha256.h"

#include <cstring>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define VX_SHA256_X86 1
#endif

namespace platform {
namespace {

constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t LoadBig(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void Sha256BlocksScalar(uint32_t* state, const uint8_t* data, size_t blocks) {
  for (; blocks > 0; --blocks, data += 64) {
    const uint8_t* block = data;
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) w[i] = LoadBig(block + 4 * i);
    for (int i = 16; i < 64; ++i) {
      uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
      uint32_t t1 =
          h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
      uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

#ifdef VX_SHA256_X86
// The same rounds with the processor's SHA extensions: four rounds per two
// instructions, the message schedule four words at a time.
__attribute__((target("sha,sse4.1,ssse3"))) void Sha256BlocksX86(uint32_t* state,
                                                                 const uint8_t* data,
                                                                 size_t blocks) {
  const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  tmp = _mm_shuffle_epi32(tmp, 0xB1);                // CDAB
  state1 = _mm_shuffle_epi32(state1, 0x1B);          // EFGH
  __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);  // ABEF
  state1 = _mm_blend_epi16(state1, tmp, 0xF0);       // CDGH
  for (; blocks > 0; --blocks, data += 64) {
    __m128i abefSave = state0;
    __m128i cdghSave = state1;
    __m128i w[4];
    for (int i = 0; i < 4; ++i) {
      w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)),
                              byteSwap);
    }
    // Each group of four rounds starts the schedule of a later group, so
    // that the two chains overlap.
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i) {
      __m128i msg = _mm_add_epi32(
          w[i & 3], _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound + 4 * i)));
      state1 = _mm_sha256rnds2_epu32(state1, state0, msg);
      if (i >= 3 && i < 15) {
        // W[4(i+1) ..] from the sixteen words before them.
        __m128i t = _mm_sha256msg1_epu32(w[(i + 1) & 3], w[(i + 2) & 3]);
        t = _mm_add_epi32(t, _mm_alignr_epi8(w[i & 3], w[(i + 3) & 3], 4));
        w[(i + 1) & 3] = _mm_sha256msg2_epu32(t, w[i & 3]);
      }
      msg = _mm_shuffle_epi32(msg, 0x0E);
      state0 = _mm_sha256rnds2_epu32(state0, state1, msg);
    }
    state0 = _mm_add_epi32(state0, abefSave);
    state1 = _mm_add_epi32(state1, cdghSave);
  }
  tmp = _mm_shuffle_epi32(state0, 0x1B);        // FEBA
  state1 = _mm_shuffle_epi32(state1, 0xB1);     // DCHG
  state0 = _mm_blend_epi16(tmp, state1, 0xF0);  // DCBA
  state1 = _mm_alignr_epi8(state1, tmp, 8);     // ABEF
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), state0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), state1);
}

bool CpuHasSha() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & (1u << 9)) || !(c & (1u << 19))) return false;
  if (__get_cpuid_max(0, nullptr) < 7) return false;
  __cpuid_count(7, 0, a, b, c, d);
  return (b & (1u << 29)) != 0;
}
#endif

}  // namespace

namespace internal {

bool Sha256Accelerated() {
#ifdef VX_SHA256_X86
  static const bool has = CpuHasSha();
  return has;
#else
  return false;
#endif
}

void Sha256BlocksPortable(uint32_t* state, const uint8_t* data, size_t blocks) {
  Sha256BlocksScalar(state, data, blocks);
}

void Sha256Blocks(uint32_t* state, const uint8_t* data, size_t blocks) {
#ifdef VX_SHA256_X86
  if (Sha256Accelerated()) {
    Sha256BlocksX86(state, data, blocks);
    return;
  }
#endif
  Sha256BlocksScalar(state, data, blocks);
}

}  // namespace internal

void Sha256::Reset() {
  static constexpr uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::memcpy(m_state, kInitial, sizeof m_state);
  m_length = 0;
  m_fill = 0;
}

void Sha256::Compress(const uint8_t* block) { internal::Sha256Blocks(m_state, block, 1); }

void Sha256::Update(const void* data, size_t size) {
  const uint8_t* in = static_cast<const uint8_t*>(data);
  m_length += size;
  if (m_fill > 0) {
    size_t take = size < 64 - m_fill ? size : 64 - m_fill;
    std::memcpy(m_block + m_fill, in, take);
    m_fill += take;
    in += take;
    size -= take;
    if (m_fill < 64) return;
    Compress(m_block);
    m_fill = 0;
  }
  if (size >= 64) {
    internal::Sha256Blocks(m_state, in, size / 64);
    in += size & ~size_t{63};
    size &= 63;
  }
  if (size > 0) std::memcpy(m_block, in, size);
  m_fill = size;
}

Sha256Digest Sha256::Finish() {
  uint64_t bits = m_length * 8;
  uint8_t pad[72] = {0x80};
  size_t padLength = (m_fill < 56 ? 56 : 120) - m_fill;
  for (int i = 0; i < 8; ++i) pad[padLength + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  Update(pad, padLength + 8);
  Sha256Digest digest;
  for (int i = 0; i < 8; ++i) {
    for (int j = 0; j < 4; ++j)
      digest[4 * i + j] = static_cast<uint8_t>(m_state[i] >> (24 - 8 * j));
  }
  return digest;
}

Sha256Digest Sha256::Of(const void* data, size_t size) {
  Sha256 hash;
  hash.Update(data, size);
  return hash.Finish();
}

std::string HexDigest(const Sha256Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t byte : digest) {
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 15]);
  }
  return out;
}

bool ParseHexDigest(const char* text, size_t length, Sha256Digest* digest) {
  if (length != 64) return false;
  for (size_t i = 0; i < 32; ++i) {
    int high = HexValue(text[2 * i]);
    int low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    (*digest)[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

}  // namespace platform
