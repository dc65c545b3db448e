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
    : m_records(records), m_hashed(hashed), m_ordered(hashed), m_capacity(0) {
  // Records whose names the table can't hold are listed instead; the slots,
  // for the others, are half as many again as they, so that probes stay short.
  size_t inexact = 0;
  for (int32_t i = 0; i < count; ++i) {
    RecordName name(records[i]);
    if (!FoldsExactly(name.text, pack::kNameSize)) ++inexact;
    if (hashed && (records[i].hash != CFPK::HashName(name.text) ||
                   (i > 0 && records[i - 1].hash > records[i].hash))) {
      m_ordered = false;
    }
  }
  size_t exact = static_cast<size_t>(count) - inexact;
  m_capacity = static_cast<uint32_t>(exact + exact / 2 + 1);
  m_slots.reset(new uint32_t[m_capacity]);
  std::fill(m_slots.get(), m_slots.get() + m_capacity, kEmpty);
  m_inexact.reserve(inexact);
  uint8_t folded[pack::kNameSize + 8];
  for (int32_t i = 0; i < count; ++i) {
    RecordName name(records[i]);
    if (!FoldsExactly(name.text, pack::kNameSize)) {
      m_inexact.push_back(i);
      continue;
    }
    size_t length = FoldName(name.text, pack::kNameSize, folded);
    uint16_t hash = hashed ? records[i].hash : 0;
    uint64_t h = KeyHash(folded, length, hash);
    uint32_t tag = static_cast<uint32_t>(h & 0xFF) << 24;
    // Records go in in ascending order: an equal key already in the table
    // belongs to a lower record, which the scan would find first.
    for (uint32_t at = static_cast<uint32_t>(((h >> 32) * m_capacity) >> 32);;
         at = at + 1 == m_capacity ? 0 : at + 1) {
      uint32_t slot = m_slots[at];
      if (slot == kEmpty) {
        m_slots[at] = tag | static_cast<uint32_t>(i);
        break;
      }
      if ((slot & 0xFF000000u) == tag &&
          SameKey(static_cast<int32_t>(slot & 0x00FFFFFFu), folded, length, hash)) {
        break;
      }
    }
  }
}

uint64_t PackNameTable::KeyHash(const uint8_t* folded, size_t length, uint16_t hash) const {
  uint8_t padded[32] = {};
  std::memcpy(padded, folded, length);
  uint64_t h = (Load8(padded) * 0x9E3779B97F4A7C15ull) ^
               (Load8(padded + 8) * 0xC2B2AE3D27D4EB4Full) ^
               (Load8(padded + 16) * 0x165667B19E3779F9ull) ^ (length << 16) ^ hash;
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 32;
  return h;
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
  uint64_t h = KeyHash(folded, length, hash);
  uint32_t tag = static_cast<uint32_t>(h & 0xFF) << 24;
  for (uint32_t at = static_cast<uint32_t>(((h >> 32) * m_capacity) >> 32);;
       at = at + 1 == m_capacity ? 0 : at + 1) {
    uint32_t slot = m_slots[at];
    if (slot == kEmpty) return true;
    int32_t record = static_cast<int32_t>(slot & 0x00FFFFFFu);
    if ((slot & 0xFF000000u) == tag && SameKey(record, folded, length, hash)) {
      *found = record;
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

int32_t PackNameTable::FindInRun(const char* name, uint16_t key) const {
  // In order, every record of the key stands in the one run the search hit,
  // and no record past it can match: a match there would share the name's
  // hash. Records the table can't hold might compare equal all the same.
  if (!m_ordered || !m_inexact.empty()) return kUndecided;
  return Find(name, key);
}
