#include "delta/delta_format.h"

#include <cstring>

namespace delta {
namespace {

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get32(const uint8_t* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
uint64_t Get64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

std::string EncodeHeader(const DeltaHeader& header) {
  uint8_t bytes[kDeltaHeaderSize] = {};
  std::memcpy(bytes, kDeltaMagic, 8);
  Put32(bytes + 8, kDeltaVersion);
  Put32(bytes + 12, static_cast<uint32_t>(header.kind));
  Put64(bytes + 16, header.baseSize);
  Put64(bytes + 24, header.resultSize);
  std::memcpy(bytes + 32, header.baseHash.data(), 32);
  std::memcpy(bytes + 64, header.resultHash.data(), 32);
  return std::string(reinterpret_cast<const char*>(bytes), kDeltaHeaderSize);
}

bool ReadHeader(Input* in, DeltaHeader* header) {
  uint8_t bytes[kDeltaHeaderSize];
  uint32_t got = 0;
  while (got < kDeltaHeaderSize) {
    uint32_t done = 0;
    if (!in->Read(bytes + got, kDeltaHeaderSize - got, &done) || done == 0) return false;
    got += done;
  }
  if (std::memcmp(bytes, kDeltaMagic, 8) != 0 || Get32(bytes + 8) != kDeltaVersion) return false;
  uint32_t kind = Get32(bytes + 12);
  if (kind != static_cast<uint32_t>(DeltaKind::kBytes) &&
      kind != static_cast<uint32_t>(DeltaKind::kPack)) {
    return false;
  }
  header->kind = static_cast<DeltaKind>(kind);
  header->baseSize = Get64(bytes + 16);
  header->resultSize = Get64(bytes + 24);
  std::memcpy(header->baseHash.data(), bytes + 32, 32);
  std::memcpy(header->resultHash.data(), bytes + 64, 32);
  return true;
}

void BytesWriter::Add(const uint8_t* next, const uint8_t* old, uint64_t n) {
  BytesModels& m = *m_models;
  m.add.Encode(m_rc, n);
  uint64_t i = 0;
  int context = 0;
  int width = 0;
  while (i < n) {
    uint64_t j = i;
    if (next != nullptr) {
      while (j < n && next[j] == old[j]) ++j;
    } else {
      j = n;
    }
    m.zeroRun[context].Encode(m_rc, j - i);
    if (j == n) break;
    context = BytesModels::RunContext(BitLength(j - i), width);
    unsigned d = static_cast<uint8_t>(next[j] - old[j]);
    m.difference[j == i ? m.lastDifference : 0].Encode(m_rc, d);
    m.lastDifference = d;
    width = j == i ? width + 1 : 1;
    i = j + 1;
  }
}

void BytesWriter::Copy(const uint8_t* bytes, uint64_t n) {
  BytesModels& m = *m_models;
  m.copy.Encode(m_rc, n);
  unsigned previous = 0;
  for (uint64_t i = 0; i < n; ++i) {
    m.literal[previous].Encode(m_rc, bytes[i]);
    previous = bytes[i];
  }
}

void BytesWriter::Seek(int64_t distance) { m_models->seek.Encode(m_rc, ZigZag(distance)); }

}  // namespace delta
