// The pack file's layout as the reader, the pack writer and the tools share
// it: head word, index records, trailer, and the heads of the entry codings.
// All integers are little-endian, as on both targets.
#ifndef VX_FILEACCESS_PACK_FORMAT_H_
#define VX_FILEACCESS_PACK_FORMAT_H_

#include <cstdint>
#include <memory>

#include "fileaccess/fpk.h"
#include "platform/file.h"

namespace pack {

// Head word: a zero top byte means the plain layout, whose head word is the
// record count; otherwise the low 24 bits are the count and bit 31 marks a
// scrambled, hash-sorted index.
constexpr uint32_t kExtendedMark = 0x01000000;
constexpr uint32_t kHashedMark = 0x80000000;
constexpr uint32_t kCountMask = 0x00FFFFFF;
constexpr uint32_t kPlainRecordSize = 32;
constexpr uint32_t kExtendedRecordSize = 36;
constexpr uint32_t kTrailerSize = 8;  // key, then index offset
constexpr uint32_t kNameSize = 24;    // name bytes of a record, terminator included
constexpr uint32_t kMaxNameLength = 23;

// Entry heads.
constexpr char kZlc2Magic[4] = {'Z', 'L', 'C', '2'};
constexpr char kRle0Magic[4] = {'R', 'L', 'E', '0'};
constexpr uint32_t kZlc2HeaderSize = 8;
constexpr uint32_t kRleHeaderSize = 24;
// The largest entry that GetSize's signed 32 bits can describe.
constexpr uint32_t kMaxEntrySize = 0x7FFFFFFF;

// A pack's index as read from its file.
struct Index {
  std::unique_ptr<PackEntry[]> records;  // count records and a zeroed spare one
  int32_t count = 0;
  bool hashed = false;
};

// Reads the index of the pack open in file. Only records that the file holds
// whole count, so the index never takes more memory than the file could
// fill; an index offset past the end gives no records. In an unscrambled
// index the hashes are dropped (held as 0). False when the head word or an
// extended pack's trailer can't be read whole.
bool ReadIndex(platform::FileHandle file, Index* index);

// What the first bytes of an entry say about it.
struct EntryHead {
  PackCoding coding = Stored;
  bool cut = false;   // a Zlc2 or Rle0 magic whose header the file ends inside
  uint32_t size = 0;  // Zlc2: the decoded size
  RleHeader rle{};    // Rle0: the header
};

// Reads the head of the entry at offset. A move or read that fails gives a
// Stored head. Afterwards the file stands behind the header of a Zlc2 or
// Rle0 entry; after a Stored head its position is unspecified.
EntryHead ReadEntryHead(platform::FileHandle file, uint32_t offset);

// Reads exactly count bytes; false when the read fails or comes short.
bool ReadExactly(platform::FileHandle file, void* dest, uint32_t count);

}  // namespace pack

#endif  // VX_FILEACCESS_PACK_FORMAT_H_
