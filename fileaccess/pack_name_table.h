// PackNameTable: finds a pack entry by name in constant time, with exactly
// the result of the record-by-record scan with the case-blind comparison.
#ifndef VX_FILEACCESS_PACK_NAME_TABLE_H_
#define VX_FILEACCESS_PACK_NAME_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fileaccess/fpk.h"

class PackNameTable {
 public:
  // Find's answer when the table can't decide for a name: the caller scans.
  static constexpr int32_t kUndecided = -2;

  // Builds the table over records[0, count), which must outlive it. In a
  // hashed index a record matches only when its stored hash is the key.
  PackNameTable(const PackEntry* records, int32_t count, bool hashed);
  PackNameTable(const PackNameTable&) = delete;
  PackNameTable& operator=(const PackNameTable&) = delete;

  // The lowest record whose name (within its 24 bytes) equals name without
  // regard to case and, in a hashed index, whose hash is key; -1 for none;
  // kUndecided for a name whose comparison the table can't reproduce.
  int32_t Find(const char* name, uint16_t key) const;

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
  struct Slot {
    uint32_t fingerprint;
    int32_t record;  // -1: empty
  };

  uint32_t Fingerprint(const uint8_t* folded, size_t length, uint16_t hash) const;
  bool SameKey(int32_t record, const uint8_t* folded, size_t length, uint16_t hash) const;

  const PackEntry* m_records;
  bool m_hashed;
  uint32_t m_mask;
  std::vector<Slot> m_slots;
  std::vector<int32_t> m_inexact;  // records the table can't hold, in record order
};

#endif  // VX_FILEACCESS_PACK_NAME_TABLE_H_
