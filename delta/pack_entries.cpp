#include "delta/pack_entries.h"

#include <algorithm>
#include <cstring>

#include "fileaccess/lz_codec.h"
#include "fileaccess/pack_format.h"
#include "fileaccess/pack_writer.h"
#include "fileaccess/rle_codec.h"

namespace delta {
namespace {

uint32_t Le32(const uint8_t* p) {
  return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

}  // namespace

EntryCoding CodingOf(const uint8_t* bytes, size_t size) {
  if (size >= 4 && std::memcmp(bytes, pack::kZlc2Magic, 4) == 0) return EntryCoding::kZlc2;
  if (size >= 4 && std::memcmp(bytes, pack::kRle0Magic, 4) == 0) return EntryCoding::kRle0;
  return EntryCoding::kStored;
}

bool DecodeEntry(EntryCoding coding, const uint8_t* bytes, size_t size, std::string* out) {
  out->clear();
  switch (coding) {
    case EntryCoding::kStored:
      if (size > kMaxReencodedEntry) return false;
      out->assign(reinterpret_cast<const char*>(bytes), size);
      return true;
    case EntryCoding::kZlc2: {
      if (size < pack::kZlc2HeaderSize) return false;
      uint32_t decoded = Le32(bytes + 4);
      if (decoded > kMaxReencodedEntry) return false;
      out->assign(decoded, '\0');
      lz::DecodeSimple(bytes + pack::kZlc2HeaderSize, size - pack::kZlc2HeaderSize,
                       reinterpret_cast<uint8_t*>(out->data()), decoded);
      return true;
    }
    case EntryCoding::kRle0: {
      if (size < pack::kRleHeaderSize) return false;
      uint32_t packed = Le32(bytes + 8);
      uint32_t decoded = Le32(bytes + 12);
      uint32_t method = Le32(bytes + 16);
      if (decoded > kMaxReencodedEntry) return false;
      uint32_t held = static_cast<uint32_t>(std::min<size_t>(packed, size - pack::kRleHeaderSize));
      out->assign(decoded, '\0');
      return rle::DecodeTokens(reinterpret_cast<uint8_t*>(out->data()), decoded,
                               bytes + pack::kRleHeaderSize, held, method) >= 0;
    }
  }
  return false;
}

std::string EncodeEntry(EntryCoding coding, const std::string& decoded) {
  const uint8_t* data = reinterpret_cast<const uint8_t*>(decoded.data());
  switch (coding) {
    case EntryCoding::kZlc2:
      return pack::Zlc2Entry(data, decoded.size());
    case EntryCoding::kRle0:
      return pack::Rle0Entry(data, decoded.size());
    case EntryCoding::kStored:
      break;
  }
  return decoded;
}

}  // namespace delta
