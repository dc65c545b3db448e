// A delta file: a fixed 96-byte header that names the base it applies to
// and the result it makes (sizes and SHA-256), then a range-coded body
// (docs/patch-format.md). All integers are little-endian.
#ifndef VX_DELTA_DELTA_FORMAT_H_
#define VX_DELTA_DELTA_FORMAT_H_

#include <cstdint>
#include <string>

#include "delta/range_coder.h"
#include "delta/streams.h"
#include "platform/sha256.h"

namespace delta {

constexpr char kDeltaMagic[8] = {'V', 'X', 'D', 'E', 'L', 'T', 'A', 0x1A};
constexpr uint32_t kDeltaVersion = 1;
constexpr uint32_t kDeltaHeaderSize = 96;

// What the body describes.
enum class DeltaKind : uint32_t {
  kBytes = 0,  // the result byte by byte against the base
  kPack = 1,   // a pack entry by entry against the base pack
};

struct DeltaHeader {
  DeltaKind kind = DeltaKind::kBytes;
  uint64_t baseSize = 0;
  uint64_t resultSize = 0;
  platform::Sha256Digest baseHash{};
  platform::Sha256Digest resultHash{};
};

std::string EncodeHeader(const DeltaHeader& header);

// Reads and checks the header from the start of in. False when it is cut,
// is not a delta of this version, or names an unknown kind.
bool ReadHeader(Input* in, DeltaHeader* header);

// The models of a kBytes body. The body is a series of steps, until the
// result is complete:
//   seek   signed move of the base position (zigzag-coded), which starts at 0
//   add    number of bytes made from the base plus a difference: zero runs
//          and non-zero difference bytes, alternating
//   copy   number of bytes taken from the body as they are (order-1 coded
//          within the run)
// A step adds or copies at least one byte.
//
// Differences between two builds of a program sit mostly in address fields
// that moved by the same amount, a few bytes wide and some bytes apart. A
// zero run is coded in the context of the run before it (its bit length)
// and of the width of the field of differences before it; a difference
// right after another one in the context of that one, the first of a field
// in a context of its own.
struct BytesModels {
  static constexpr int kRunLengths = 17;  // bit lengths 0 to 15, and more
  static constexpr int kWidths = 4;       // fields of 0, 1, 2 and 3 or more bytes
  NumberModel add;
  NumberModel copy;
  NumberModel seek;
  NumberModel zeroRun[kRunLengths * kWidths];
  BitTree<8> difference[256];  // 0: the first of a field; else the one before
  BitTree<8> literal[256];     // by the literal before, 0 at a run's start
  unsigned lastDifference = 0;

  // The context of the zero run after a run whose bit length is runBits,
  // ended by a field of width differences (the first run of an add: 0, 0).
  static int RunContext(int runBits, int width) {
    return (runBits < kRunLengths - 1 ? runBits : kRunLengths - 1) +
           kRunLengths * (width < kWidths - 1 ? width : kWidths - 1);
  }
};

inline int BitLength(uint64_t v) {
  int n = 0;
  while (v != 0) {
    ++n;
    v >>= 1;
  }
  return n;
}

// Writes a kBytes body step by step.
class BytesWriter {
 public:
  // The coded bytes are appended to *out.
  explicit BytesWriter(std::string* out)
      : m_ownRc(new RangeEncoder(out)), m_ownModels(new BytesModels) {
    m_rc = m_ownRc.get();
    m_models = m_ownModels.get();
  }
  // Steps within another body, through its coder and models.
  BytesWriter(RangeEncoder* rc, BytesModels* models) : m_rc(rc), m_models(models) {}

  // n bytes of result made of the base: result[i] = base[i] + (next[i] -
  // old[i]); both pointers null stands for n unchanged bytes.
  void Add(const uint8_t* next, const uint8_t* old, uint64_t n);
  // n bytes of result as they are.
  void Copy(const uint8_t* bytes, uint64_t n);
  // Moves the base position.
  void Seek(int64_t distance);
  // Ends the body.
  void Finish() { m_rc->Flush(); }

 private:
  std::unique_ptr<RangeEncoder> m_ownRc;
  std::unique_ptr<BytesModels> m_ownModels;
  RangeEncoder* m_rc;
  BytesModels* m_models;
};

inline uint64_t ZigZag(int64_t v) {
  return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}
inline int64_t UnZigZag(uint64_t v) {
  return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1);
}

}  // namespace delta

#endif  // VX_DELTA_DELTA_FORMAT_H_
