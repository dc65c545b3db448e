#include "fileaccess/pack_name_table.h"

#include <algorithm>
#include <cstring>

#include "fileaccess/pack_format.h"
#include "platform/text.h"

namespace {

uint8_t FoldByte(uint8_t c) { return (c >= 'a' && c <= 'z') ? static_cast<uint8_t>(c - 0x20) : c; }

uint64_t Load8(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// A record's name as zero-terminated text, never read past its 24 bytes.
struct RecordName {
  explicit RecordName(const PackEntry& record) {
    std::memcpy(text, record.name, pack::kNameSize);
    text[pack::kNameSize] = '\0';
  }
  char text[pack::kNameSize + 1];
};

}  // namespace

size_t PackNameTable::FoldName(const char* name, size_t limit, uint8_t* out) {
  size_t i = 0;
  while (i < limit && name[i] != '\0') {
    uint8_t c = static_cast<uint8_t>(name[i]);
    if (platform::IsLeadByte(c) && i + 1 < limit && name[i + 1] != '\0') {
      out[i] = c;
      out[i + 1] = static_cast<uint8_t>(name[i + 1]);
      i += 2;
      continue;
    }
    out[i++] = FoldByte(c);
  }
  return i;
}

bool PackNameTable::FoldsExactly(const char* name, size_t limit) {
#ifdef _WIN32
  for (size_t i = 0; i < limit && name[i] != '\0'; ++i) {
    uint8_t c = static_cast<uint8_t>(name[i]);
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
#else
  (void)name;
  (void)limit;
  return true;
#endif
}

PackNameTable::PackNameTable(const PackEntry* records, int32_t count, bool hashed)
    : m_records(records), m_hashed(hashed), m_mask(0) {
  size_t capacity = 16;
  while (capacity < static_cast<size_t>(count) * 2) capacity *= 2;
  m_slots.assign(capacity, Slot{0, -1, -1});
  m_mask = static_cast<uint32_t>(capacity - 1);
  m_next.assign(static_cast<size_t>(count), -1);
  uint8_t folded[pack::kNameSize + 8];
  for (int32_t i = 0; i < count; ++i) {
    RecordName name(records[i]);
    if (!FoldsExactly(name.text, pack::kNameSize)) {
      m_inexact.push_back(i);
      continue;
    }
    size_t length = FoldName(name.text, pack::kNameSize, folded);
    uint16_t hash = hashed ? records[i].hash : 0;
    uint32_t fingerprint = Fingerprint(folded, length, hash);
    // Records go in in ascending order: an equal key already in the table
    // belongs to a lower record, which the scan would find first; the new
    // one joins the chain behind it.
    for (uint32_t at = fingerprint & m_mask;; at = (at + 1) & m_mask) {
      Slot& slot = m_slots[at];
      if (slot.record < 0) {
        slot = Slot{fingerprint, i, i};
        break;
      }
      if (slot.fingerprint == fingerprint && SameKey(slot.record, folded, length, hash)) {
        m_next[static_cast<size_t>(slot.last)] = i;
        slot.last = i;
        break;
      }
    }
  }
  if (hashed) {
    m_runStart.resize(static_cast<size_t>(count));
    m_runEnd.resize(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
      bool joins = i > 0 && records[i - 1].hash == records[i].hash;
      m_runStart[i] = joins ? m_runStart[i - 1] : i;
    }
    for (int32_t i = count - 1; i >= 0; --i) {
      bool joins = i + 1 < count && records[i + 1].hash == records[i].hash;
      m_runEnd[i] = joins ? m_runEnd[i + 1] : i;
    }
  }
}

uint32_t PackNameTable::Fingerprint(const uint8_t* folded, size_t length, uint16_t hash) const {
  uint8_t padded[32] = {};
  std::memcpy(padded, folded, length);
  uint64_t h = (Load8(padded) * 0x9E3779B97F4A7C15ull) ^
               (Load8(padded + 8) * 0xC2B2AE3D27D4EB4Full) ^
               (Load8(padded + 16) * 0x165667B19E3779F9ull) ^ (length << 16) ^ hash;
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 32;
  return static_cast<uint32_t>(h);
}

bool PackNameTable::SameKey(int32_t record, const uint8_t* folded, size_t length,
                            uint16_t hash) const {
  if (m_hashed && m_records[record].hash != hash) return false;
  RecordName name(m_records[record]);
  uint8_t other[pack::kNameSize + 8];
  return FoldName(name.text, pack::kNameSize, other) == length &&
         std::memcmp(other, folded, length) == 0;
}

bool PackNameTable::Lookup(const char* name, uint16_t hash, int32_t* found) const {
  // A name longer than 24 bytes matches no record; fold one byte more to see it.
  *found = -1;
  if (!FoldsExactly(name, pack::kNameSize + 1)) return false;
  uint8_t folded[pack::kNameSize + 8];
  size_t length = FoldName(name, pack::kNameSize + 1, folded);
  if (length > pack::kNameSize) return true;
  uint32_t fingerprint = Fingerprint(folded, length, hash);
  for (uint32_t at = fingerprint & m_mask;; at = (at + 1) & m_mask) {
    const Slot& slot = m_slots[at];
    if (slot.record < 0) return true;
    if (slot.fingerprint == fingerprint && SameKey(slot.record, folded, length, hash)) {
      *found = slot.record;
      return true;
    }
  }
}

bool PackNameTable::Matches(int32_t record, const char* name) const {
  RecordName stored(m_records[record]);
  return platform::CompareNoCase(name, stored.text) == 0;
}

int32_t PackNameTable::Find(const char* name, uint16_t key) const {
  int32_t found;
  if (!Lookup(name, m_hashed ? key : 0, &found)) return kUndecided;
  // Records the table could not hold are compared as the scan would, as far
  // as they come before the table's answer.
  for (int32_t record : m_inexact) {
    if (found >= 0 && record > found) break;
    if (m_hashed && m_records[record].hash != key) continue;
    if (Matches(record, name)) return record;
  }
  return found;
}

int32_t PackNameTable::FindInRun(const char* name, uint16_t key, int32_t mid, int32_t lo,
                                 int32_t hi) const {
  int32_t found;
  if (!m_hashed || !m_inexact.empty() || !Lookup(name, key, &found)) return kUndecided;
  int32_t first = std::max(m_runStart[mid], lo);
  int32_t end = std::min(m_runEnd[mid], hi);
  // Every record from first to end carries the key: the lowest one of the
  // name's chain in that range is what the walk meets first.
  while (found >= 0 && found < first) found = m_next[static_cast<size_t>(found)];
  if (found >= 0 && found <= end) return found;
  // The walk compares the name of the record after the run before it sees
  // that record's other hash.
  if (end < hi && Matches(end + 1, name)) return end + 1;
  return -1;
}
