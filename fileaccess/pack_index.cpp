// The archive branch of OpenPack: the pack's layout, its index, the name
// hash, the scrambling of the index, and the lookup of an entry by name.
#include <algorithm>
#include <cstring>
#include <new>

#include "fileaccess/fpk.h"
#include "fileaccess/pack_format.h"
#include "fileaccess/pack_name_table.h"
#include "platform/error_mode.h"
#include "platform/text.h"

namespace {

// Records read per call while an index is loaded: large reads, few calls.
constexpr uint32_t kRecordsPerRead = 65536;

// Opening a pack must not make the system ask about a missing disk; the
// previous error mode comes back on every path.
class ErrorModeScope {
 public:
  ErrorModeScope() : m_saved(platform::SetFileErrorMode(platform::kNoOpenFileErrorBox)) {}
  ~ErrorModeScope() { platform::SetFileErrorMode(m_saved); }
  ErrorModeScope(const ErrorModeScope&) = delete;
  ErrorModeScope& operator=(const ErrorModeScope&) = delete;

 private:
  uint32_t m_saved;
};

// Reads up to count records of recordSize bytes into 36-byte slots; returns
// the number read whole, or count + 1 when memory for the reads can't be had.
uint32_t ReadRecords(platform::FileHandle file, uint32_t count, uint32_t recordSize,
                     PackEntry* records) {
  if (recordSize == pack::kExtendedRecordSize) {
    // The 36-byte records are their in-memory form: read straight into place.
    uint32_t read = 0;
    while (read < count) {
      uint32_t n = std::min(count - read, kRecordsPerRead);
      uint32_t done = 0;
      if (!platform::ReadBytes(file, records + read, n * recordSize, &done)) break;
      read += done / recordSize;
      if (done < n * recordSize) break;
    }
    return read;
  }
  std::unique_ptr<uint8_t[]> chunk(new (
      std::nothrow) uint8_t[static_cast<size_t>(std::min(count, kRecordsPerRead)) * recordSize]);
  if (chunk == nullptr) return count + 1;
  uint32_t read = 0;
  while (read < count) {
    uint32_t n = std::min(count - read, kRecordsPerRead);
    uint32_t done = 0;
    if (!platform::ReadBytes(file, chunk.get(), n * recordSize, &done)) break;
    uint32_t whole = done / recordSize;
    for (uint32_t i = 0; i < whole; ++i) {
      PackEntry& record = records[read + i];
      std::memcpy(&record, chunk.get() + static_cast<size_t>(i) * recordSize, recordSize);
    }
    read += whole;
    if (whole < n) break;
  }
  return read;
}

}  // namespace

namespace pack {

bool ReadExactly(platform::FileHandle file, void* dest, uint32_t count) {
  uint32_t done = 0;
  return platform::ReadBytes(file, dest, count, &done) && done == count;
}

bool ReadIndex(platform::FileHandle file, Index* index) {
  uint32_t head = 0;
  if (!ReadExactly(file, &head, sizeof(head))) return false;
  uint32_t count = head;
  uint32_t recordSize = kPlainRecordSize;
  uint64_t indexOffset = sizeof(head);
  bool scrambled = false;
  uint32_t key = 0;
  if ((head >> 24) != 0) {
    scrambled = (head & kHashedMark) != 0;
    count = head & kCountMask;
    recordSize = kExtendedRecordSize;
    uint32_t trailer[2];
    if (!platform::Seek(file, -static_cast<int64_t>(kTrailerSize), platform::SeekFrom::kEnd) ||
        !ReadExactly(file, &trailer[0], 4) || !ReadExactly(file, &trailer[1], 4)) {
      return false;
    }
    key = trailer[0];
    indexOffset = trailer[1];
  }
  // Only records that the file holds whole count: the memory taken follows
  // the file, not the head word. An offset of 2^31 or more can't be reached.
  uint64_t fileSize = 0;
  if (!platform::FileSize(file, &fileSize)) fileSize = 0;
  uint64_t room = 0;
  if (indexOffset < fileSize && indexOffset < 0x80000000u) room = fileSize - indexOffset;
  uint32_t whole = static_cast<uint32_t>(std::min<uint64_t>(count, room / recordSize));
  if (whole > 0 &&
      !platform::Seek(file, static_cast<int64_t>(indexOffset), platform::SeekFrom::kBegin)) {
    whole = 0;
  }
  std::unique_ptr<PackEntry[]> records(new (std::nothrow)
                                           PackEntry[static_cast<size_t>(whole) + 1]);
  if (records == nullptr) return false;
  uint32_t read = whole > 0 ? ReadRecords(file, whole, recordSize, records.get()) : 0;
  if (read > whole) return false;
  std::memset(&records[read], 0, sizeof(PackEntry) * (static_cast<size_t>(whole) + 1 - read));
  if (scrambled) {
    CFPK::UnscrambleIndex(static_cast<int32_t>(read), key, records.get());
  } else {
    for (uint32_t i = 0; i < read; ++i) {
      records[i].hash = 0;
      records[i].reserved = 0;
    }
  }
  index->records = std::move(records);
  index->count = static_cast<int32_t>(read);
  index->hashed = scrambled;
  return true;
}

}  // namespace pack

void CFPK::NameTableDeleter::operator()(PackNameTable* table) const { delete table; }

bool CFPK::OpenPackFile(const char* packName) {
  // OpenPack closed whatever was open: the object is idle here.
  m_direct = 0;
  m_hashed = 0;
  // A longer name does not fit m_packName; it is refused rather than cut.
  if (std::strlen(packName) >= sizeof(m_packName)) return false;
  ErrorModeScope errorMode;
  platform::File file(platform::OpenExisting(packName, platform::Share::kRead));
  if (!file) return false;
  pack::Index index;
  if (!pack::ReadIndex(file.get(), &index)) return false;
  std::memcpy(m_packName, packName, std::strlen(packName) + 1);
  m_fileName[0] = '\0';
  m_count = index.count;
  m_index = std::move(index.records);
  m_hashed = index.hashed ? 1 : 0;
  m_names.reset();
  m_lookups = 0;
  m_namesFailed = false;
  m_file = std::move(file);
  return true;
}

uint16_t CFPK::HashName(const char* name) {
  if (name == nullptr) return 0;
  // Up to 23 bytes count, each raised to capitals when a lower-case ASCII
  // letter (also as the second byte of a double-byte character) and read as
  // a signed byte, weighted by its position.
  uint32_t h = 0;
  for (int i = 0; i + 1 < static_cast<int>(pack::kNameSize) && name[i] != '\0'; ++i) {
    uint8_t c = static_cast<uint8_t>(name[i]);
    if (c >= 'a' && c <= 'z') c = static_cast<uint8_t>(c - 0x20);
    h += static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(c)) * (i + 1));
  }
  return static_cast<uint16_t>(h);
}

void CFPK::UnscrambleIndex(int32_t count, uint32_t key, PackEntry* records) {
  if (records == nullptr) return;
  // 8-byte units with the key in both halves: the index's 36 * count bytes,
  // rounded up into the spare record, and at least one unit.
  int64_t units = (9 * static_cast<int64_t>(count) + 1) / 2;
  if (units < 1) units = 1;
  uint64_t key2 = (static_cast<uint64_t>(key) << 32) | key;
  uint8_t* p = reinterpret_cast<uint8_t*>(records);
  for (int64_t i = 0; i < units; ++i, p += 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    word ^= key2;
    std::memcpy(p, &word, 8);
  }
}

bool CFPK::NameMatches(int32_t record, const char* name) const {
  // The record's name is compared within its 24 bytes, terminated or not.
  char stored[pack::kNameSize + 1];
  std::memcpy(stored, m_index[record].name, pack::kNameSize);
  stored[pack::kNameSize] = '\0';
  return platform::CompareNoCase(name, stored) == 0;
}

int32_t CFPK::ScanIndex(const char* name, uint16_t key) const {
  // Where folding is exact, a record whose first byte folds differently
  // can't match: most records are passed over without a full comparison.
  bool prefilter = PackNameTable::FoldsExactly(name, pack::kNameSize + 1);
  uint8_t first = 0;
  if (prefilter) PackNameTable::FoldName(name, 1, &first);
  for (int32_t i = 0; i < m_count; ++i) {
    const PackEntry& record = m_index[i];
    if (m_hashed && record.hash != key) continue;
    if (prefilter && PackNameTable::FoldsExactly(record.name, 1)) {
      uint8_t other = 0;
      PackNameTable::FoldName(record.name, 1, &other);
      if (other != first) continue;
    }
    if (NameMatches(i, name)) return i;
  }
  return -1;
}

int32_t CFPK::FindEntry(const char* name) const {
  if (name == nullptr || m_index == nullptr || m_count <= 0) return -1;
  uint16_t key = HashName(name);
  // From the second lookup in a pack on, a table gives the answers of the
  // walks and scans below without walking or scanning.
  if (m_names == nullptr && !m_namesFailed && ++m_lookups > 1) {
    // Without memory for the table, lookups go the long way.
    try {
      m_names.reset(new PackNameTable(m_index.get(), m_count, m_hashed != 0));
    } catch (const std::bad_alloc&) {
      m_namesFailed = true;
    }
  }
  if (m_hashed) {
    // Binary search by hash; then the run of equal hashes around the hit.
    int32_t lo = 0;
    int32_t hi = m_count - 1;
    int32_t mid = hi / 2;
    bool hit = false;
    for (;;) {
      uint16_t h = m_index[mid].hash;
      if (h == key) {
        hit = true;
        break;
      }
      if (lo >= hi) break;
      if (h < key) {
        lo = mid + 1;
      } else {
        hi = mid - 1;
      }
      mid = lo + (hi - lo) / 2;
    }
    if (hit && m_names != nullptr) {
      int32_t found = m_names->FindInRun(name, key);
      if (found >= 0) return found;
      if (found == -1) hit = false;
    }
    if (hit) {
      int32_t first = mid;
      while (first - 1 >= lo && m_index[first - 1].hash == key) --first;
      for (int32_t i = first; i <= hi; ++i) {
        if (NameMatches(i, name)) return i;
        if (m_index[i].hash != key) break;
      }
    }
  }
  // The scan in record order (in a hashed index over the records of the
  // name's hash, so that an index out of order still finds every entry).
  if (m_names != nullptr) {
    int32_t found = m_names->Find(name, key);
    if (found != PackNameTable::kUndecided) return found;
  }
  return ScanIndex(name, key);
}
