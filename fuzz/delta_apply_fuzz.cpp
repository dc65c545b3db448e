// The delta applier's bodies on any bytes, against a small base: whatever
// the body says, the applier writes at most the result's size, reads only
// inside the base, and ends. The first bytes choose the result's size (up
// to 64 KiB), the base's size (up to 4 KiB) and the body's kind; the rest
// is the range-coded body.
#include <cstdint>
#include <cstring>
#include <string>

#include "delta/apply.h"

namespace {

class CountingOutput : public delta::Output {
 public:
  bool Write(const void*, uint32_t count) override {
    m_count += count;
    return true;
  }
  uint64_t m_count = 0;
};

// Fails the run on any read outside the base.
class StrictBase : public delta::MemoryBase {
 public:
  using MemoryBase::MemoryBase;
  bool ReadAt(uint64_t offset, void* dest, uint32_t count) override {
    if (offset > Size() || count > Size() - offset) __builtin_trap();
    return MemoryBase::ReadAt(offset, dest, count);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  delta::DeltaHeader header;
  header.resultSize = (data[0] | (uint32_t{data[1]} << 8)) % 65537;
  header.baseSize = (data[2] | (uint32_t{data[3]} << 8)) % 4097;
  header.kind = data[4] & 1 ? delta::DeltaKind::kPack : delta::DeltaKind::kBytes;
  std::string baseBytes(header.baseSize, '\0');
  for (size_t i = 0; i < baseBytes.size(); ++i)
    baseBytes[i] = static_cast<char>(i * 131 + (i >> 7));
  StrictBase base(baseBytes.data(), baseBytes.size());
  delta::MemoryInput in(data + 5, size - 5);
  delta::RangeDecoder rc(&in);
  if (!rc.Start()) return 0;
  CountingOutput out;
  delta::ApplyResult result = header.kind == delta::DeltaKind::kPack
                                  ? delta::internal::ApplyPackBody(header, &rc, &base, &out)
                                  : delta::internal::ApplyBytesBody(header, &rc, &base, &out);
  if (out.m_count > header.resultSize) __builtin_trap();
  if (result == delta::ApplyResult::kApplied && out.m_count != header.resultSize) __builtin_trap();
  // The whole file path: header checks on the same bytes.
  delta::MemoryInput whole(data, size);
  CountingOutput ignored;
  delta::ApplyDelta(&whole, &base, &ignored);
  return 0;
}
