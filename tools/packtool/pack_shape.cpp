// Whether a file is a well-formed pack: a head word, an index that lies
// whole inside the file (before the trailer of an extended pack), and
// entries whose bytes lie inside it too.
#include <cstdint>
#include <cstring>
#include <string>

#include "fileaccess/pack_format.h"
#include "tools/packtool/packtool.h"

namespace packtool {
namespace {

bool ReadWord(platform::FileHandle file, int64_t at, uint32_t* word) {
  return platform::Seek(file, at, platform::SeekFrom::kBegin) &&
         pack::ReadExactly(file, word, sizeof(*word));
}

}  // namespace

bool IndexFault(platform::FileHandle file, std::string* reason) {
  uint64_t size = 0;
  uint32_t head = 0;
  if (!platform::FileSize(file, &size) || size < 4 || !ReadWord(file, 0, &head)) {
    *reason = "shorter than a head word (4 bytes)";
    return true;
  }
  uint64_t count = head;
  uint64_t start = 4;
  uint64_t end = size;  // where the index must end by
  uint64_t recordSize = pack::kPlainRecordSize;
  if ((head >> 24) != 0) {
    count = head & pack::kCountMask;
    recordSize = pack::kExtendedRecordSize;
    uint32_t offset = 0;
    if (size < 4 + pack::kTrailerSize || !ReadWord(file, static_cast<int64_t>(size) - 4, &offset)) {
      *reason = "an extended head word (0x" + Hex(head) + ") but no room for the trailer";
      return true;
    }
    start = offset;
    end = size - pack::kTrailerSize;
    if (start < 4 || start >= 0x80000000u) {
      *reason = "the trailer's index offset " + std::to_string(start) + " lies outside the file";
      return true;
    }
  }
  if (start + count * recordSize > end) {
    *reason = "the index of " + std::to_string(count) + " records (head word 0x" + Hex(head) +
              ") needs bytes " + std::to_string(start) + " to " +
              std::to_string(start + count * recordSize) + ", but the file has " +
              std::to_string(size) + (end < size ? " with its trailer" : "");
    return true;
  }
  return false;
}

std::string EntryFault(platform::FileHandle file, const PackEntry& record,
                       const pack::EntryHead& head) {
  uint64_t size = 0;
  platform::FileSize(file, &size);
  if (std::memchr(record.name, '\0', pack::kNameSize) == nullptr) {
    return "its name fills all 24 bytes without an end";
  }
  uint64_t offset = record.offset;
  uint64_t last = offset + record.size;
  const char* what = "stored bytes";
  if (head.coding == Zlc2) {
    what = "Zlc2 header and stream";
    last = offset + pack::kZlc2HeaderSize + 1;
  } else if (head.coding == Rle0) {
    what = "Rle0 header and packed data";
    last = offset + pack::kRleHeaderSize + (head.cut ? 0 : head.rle.packedLength);
  }
  if (head.cut || offset >= size || last > size) {
    return std::string("its ") + what + " (from offset " + std::to_string(offset) +
           ") run past the end of the file (" + std::to_string(size) + " bytes)";
  }
  return "";
}

}  // namespace packtool
