// Writing packs: entry bytes in each coding, the index in each layout, and
// whole packs in memory. Packs written here put the index right after the
// head word, then the entries, then (extended layouts) the trailer.
#ifndef VX_FILEACCESS_PACK_WRITER_H_
#define VX_FILEACCESS_PACK_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fileaccess/fpk.h"

namespace pack {

enum class Layout {
  kPlain,     // head word = count, 32-byte records
  kExtended,  // 36-byte records, not scrambled, no hashes kept
  kHashed,    // 36-byte records sorted by name hash, scrambled with a key
};

// The bytes of an entry as the pack holds them, for size bytes of data
// (at most kMaxEntrySize).
std::string Zlc2Entry(const uint8_t* data, size_t size);
// Run-length coded (method 1), or the bytes as they are (method 0) when
// coding would not make them smaller.
std::string Rle0Entry(const uint8_t* data, size_t size);
// True when data can stand as a Stored entry: its first bytes do not read
// as the head of a Zlc2 or Rle0 entry.
bool StorableAsIs(const uint8_t* data, size_t size);

// Bytes that a Stored entry shorter than four bytes is followed by, so that
// its first four bytes never read as another coding's head.
constexpr size_t kMinEntrySpan = 4;

// A record for name (at most 24 bytes; 24 leave no terminator).
PackEntry MakeRecord(const std::string& name, uint32_t offset, uint32_t size);

// The head word of a pack of count records.
uint32_t HeadWord(Layout layout, uint32_t count);

// Sets each record's hash to HashName of its name and sorts the records by
// hash, keeping the order of records with equal hashes.
void SortForHashedIndex(std::vector<PackEntry>* records);

// The index as the file holds it, records in the given order (32 or 36
// bytes each); for kHashed every 32-bit word is XORed with key.
std::string IndexBytes(Layout layout, uint32_t key, const std::vector<PackEntry>& records);

// The trailer of an extended pack: key, then index offset.
std::string Trailer(uint32_t key, uint32_t indexOffset);

// One entry of a pack built in memory: its name and its bytes as stored.
struct Item {
  std::string name;
  std::string bytes;
};

// A whole pack. Entries keep their order; the index of a hashed pack is
// sorted by hash.
std::string BuildPack(Layout layout, uint32_t key, const std::vector<Item>& items);

}  // namespace pack

#endif  // VX_FILEACCESS_PACK_WRITER_H_
