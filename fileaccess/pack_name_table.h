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

  // The binary search of a hashed index hit record mid between lo and hi:
  // the record that the walk over the run of equal hashes around mid finds
  // (lowest matching name from the run's start, at or above lo, up to the
  // record after the run, at most hi), or -1; kUndecided as Find.
  int32_t FindInRun(const char* name, uint16_t key, int32_t mid, int32_t lo, int32_t hi) const;

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
    int32_t record;  // the lowest record of this key; -1: empty
    int32_t last;    // the highest so far, while the table is built
  };

  uint32_t Fingerprint(const uint8_t* folded, size_t length, uint16_t hash) const;
  bool SameKey(int32_t record, const uint8_t* folded, size_t length, uint16_t hash) const;
  // The lowest record of the name's key, -1 for none; false for a name the
  // table can't decide.
  bool Lookup(const char* name, uint16_t hash, int32_t* found) const;
  bool Matches(int32_t record, const char* name) const;

  const PackEntry* m_records;
  bool m_hashed;
  uint32_t m_mask;
  std::vector<Slot> m_slots;
  std::vector<int32_t> m_next;     // the next higher record of the same key, -1 for none
  std::vector<int32_t> m_inexact;  // records the table can't hold, in record order
  // Hashed index: first and last record of the run of equal hashes that
  // holds each record.
  std::vector<int32_t> m_runStart;
  std::vector<int32_t> m_runEnd;
};

#endif  // VX_FILEACCESS_PACK_NAME_TABLE_H_
