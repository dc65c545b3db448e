#include "fileaccess/pack_name_table.h"

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
  m_slots.assign(capacity, Slot{0, -1});
  m_mask = static_cast<uint32_t>(capacity - 1);
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
    // belongs to a lower record, which the scan would find first.
    for (uint32_t at = fingerprint & m_mask;; at = (at + 1) & m_mask) {
      Slot& slot = m_slots[at];
      if (slot.record < 0) {
        slot = Slot{fingerprint, i};
        break;
      }
      if (slot.fingerprint == fingerprint && SameKey(slot.record, folded, length, hash)) break;
    }
  }
}

uint32_t PackNameTable::Fingerprint(const uint8_t* folded, size_t length, uint16_t hash) const {
  uint8_t padded[32] = {};
  std::memcpy(padded, folded, length);
  uint64_t h = (Load8(padded) * 0x9E3779B97F4A7C15ull) ^ (Load8(padded + 8) * 0xC2B2AE3D27D4EB4Full) ^
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

int32_t PackNameTable::Find(const char* name, uint16_t key) const {
  // A name longer than 24 bytes matches no record; fold one byte more to see it.
  if (!FoldsExactly(name, pack::kNameSize + 1)) return kUndecided;
  uint8_t folded[pack::kNameSize + 8];
  size_t length = FoldName(name, pack::kNameSize + 1, folded);
  uint16_t hash = m_hashed ? key : 0;
  int32_t found = -1;
  if (length <= pack::kNameSize) {
    uint32_t fingerprint = Fingerprint(folded, length, hash);
    for (uint32_t at = fingerprint & m_mask;; at = (at + 1) & m_mask) {
      const Slot& slot = m_slots[at];
      if (slot.record < 0) break;
      if (slot.fingerprint == fingerprint && SameKey(slot.record, folded, length, hash)) {
        found = slot.record;
        break;
      }
    }
  }
  // Records the table could not hold are compared as the scan would, as far
  // as they come before the table's answer.
  for (int32_t record : m_inexact) {
    if (found >= 0 && record > found) break;
    if (m_hashed && m_records[record].hash != key) continue;
    RecordName other(m_records[record]);
    if (platform::CompareNoCase(name, other.text) == 0) return record;
  }
  return found;
}
