// PackNameTable: finds a pack entry by name in constant time, with exactly
// the result of the record-by-record scan with the case-blind comparison.
#ifndef VX_FILEACCESS_PACK_NAME_TABLE_H_
#define VX_FILEACCESS_PACK_NAME_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fileaccess/fpk.h"

class PackNameTable {
 public:
  // Find's answer when the table can't decide for a name: the caller scans.
  static constexpr int32_t kUndecided = -2;

  // Builds the table over records[0, count), which must outlive it. In a
  // hashed index a record matches only when its stored hash is the key.
  // Takes at most 6 bytes per record. Throws std::bad_alloc when memory for
  // it can't be had.
  PackNameTable(const PackEntry* records, int32_t count, bool hashed);
  PackNameTable(const PackNameTable&) = delete;
  PackNameTable& operator=(const PackNameTable&) = delete;

  // The lowest record whose name (within its 24 bytes) equals name without
  // regard to case and, in a hashed index, whose hash is key; -1 for none;
  // kUndecided for a name whose comparison the table can't reproduce.
  int32_t Find(const char* name, uint16_t key) const;

  // The binary search of a hashed index hit a record of hash key: the record
  // that the walk over the run of equal hashes finds, or -1. In an index in
  // order (sorted by hash, every hash its name's) the walk covers the whole
  // run and finds what Find finds; in any other index, and where Find can't
  // decide, kUndecided.
  int32_t FindInRun(const char* name, uint16_t key) const;

  // Folds name, within limit bytes, to the form in which two names compare
  // equal exactly when the case-blind comparison says they do: ASCII letters
  // become capitals, except the second byte of a double-byte character.
  // Returns the folded length.
  static size_t FoldName(const char* name, size_t limit, uint8_t* out);

  // True when the case-blind comparison of this name with any other is
  // exactly the comparison of folded forms. Always so on Linux; Windows'
  // comparison also folds letters beyond ASCII, so there only plain ASCII
  // text qualifies.
  static bool FoldsExactly(const char* name, size_t limit);

 private:
  // A slot holds a record number (below 2^24) and, in its top byte, 8 bits
  // of the key's hash, which spare most name comparisons.
  static constexpr uint32_t kEmpty = 0xFFFFFFFF;

  uint64_t KeyHash(const uint8_t* folded, size_t length, uint16_t hash) const;
  bool SameKey(int32_t record, const uint8_t* folded, size_t length, uint16_t hash) const;
  // The lowest record of the name's key, -1 for none; false for a name the
  // table can't decide.
  bool Lookup(const char* name, uint16_t hash, int32_t* found) const;
  bool Matches(int32_t record, const char* name) const;

  const PackEntry* m_records;
  bool m_hashed;
  bool m_ordered;  // hashed, sorted by hash, every hash its name's
  uint32_t m_capacity;
  std::unique_ptr<uint32_t[]> m_slots;
  std::vector<int32_t> m_inexact;  // records the table can't hold, in record order
};

#endif  // VX_FILEACCESS_PACK_NAME_TABLE_H_
