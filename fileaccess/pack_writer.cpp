#include "fileaccess/pack_writer.h"

#include <algorithm>
#include <cstring>

#include "fileaccess/lz_codec.h"
#include "fileaccess/pack_format.h"
#include "fileaccess/rle_codec.h"

namespace pack {
namespace {

void Append32(std::string* out, uint32_t v) {
  char bytes[4];
  std::memcpy(bytes, &v, 4);
  out->append(bytes, 4);
}

}  // namespace

std::string Zlc2Entry(const uint8_t* data, size_t size) {
  std::string out(kZlc2Magic, 4);
  Append32(&out, static_cast<uint32_t>(size));
  out += lz::Encode(data, size);
  // The reader wants at least one byte of stream, even for no data: a flag
  // byte whose bits carry nothing.
  if (size == 0) out.push_back('\0');
  return out;
}

std::string Rle0Entry(const uint8_t* data, size_t size) {
  std::string packed = rle::Encode(data, size);
  uint32_t method = 1;
  if (packed.size() >= size) {
    packed.assign(reinterpret_cast<const char*>(data), size);
    method = 0;
  }
  std::string out(kRle0Magic, 4);
  Append32(&out, 0);
  Append32(&out, static_cast<uint32_t>(packed.size()));
  Append32(&out, static_cast<uint32_t>(size));
  Append32(&out, method);
  Append32(&out, 0);
  return out + packed;
}

bool StorableAsIs(const uint8_t* data, size_t size) {
  return size < 4 ||
         (std::memcmp(data, kZlc2Magic, 4) != 0 && std::memcmp(data, kRle0Magic, 4) != 0);
}

PackEntry MakeRecord(const std::string& name, uint32_t offset, uint32_t size) {
  PackEntry record{};
  record.offset = offset;
  record.size = size;
  std::memcpy(record.name, name.data(), std::min<size_t>(name.size(), kNameSize));
  return record;
}

uint32_t HeadWord(Layout layout, uint32_t count) {
  switch (layout) {
    case Layout::kPlain:
      return count;
    case Layout::kExtended:
      return kExtendedMark | (count & kCountMask);
    case Layout::kHashed:
      return kHashedMark | (count & kCountMask);
  }
  return count;
}

void SortForHashedIndex(std::vector<PackEntry>* records) {
  for (PackEntry& record : *records) {
    char name[kNameSize + 1] = {};
    std::memcpy(name, record.name, kNameSize);
    record.hash = CFPK::HashName(name);
    record.reserved = 0;
  }
  std::stable_sort(records->begin(), records->end(),
                   [](const PackEntry& a, const PackEntry& b) { return a.hash < b.hash; });
}

std::string IndexBytes(Layout layout, uint32_t key, const std::vector<PackEntry>& records) {
  size_t recordSize = layout == Layout::kPlain ? kPlainRecordSize : kExtendedRecordSize;
  std::string out;
  out.reserve(records.size() * recordSize);
  for (const PackEntry& record : records) {
    PackEntry copy = record;
    if (layout == Layout::kExtended) copy.hash = copy.reserved = 0;
    out.append(reinterpret_cast<const char*>(&copy), recordSize);
  }
  if (layout == Layout::kHashed) {
    for (size_t i = 0; i + 4 <= out.size(); i += 4) {
      uint32_t word;
      std::memcpy(&word, out.data() + i, 4);
      word ^= key;
      std::memcpy(out.data() + i, &word, 4);
    }
  }
  return out;
}

std::string Trailer(uint32_t key, uint32_t indexOffset) {
  std::string out;
  Append32(&out, key);
  Append32(&out, indexOffset);
  return out;
}

std::string BuildPack(Layout layout, uint32_t key, const std::vector<Item>& items) {
  size_t recordSize = layout == Layout::kPlain ? kPlainRecordSize : kExtendedRecordSize;
  uint32_t indexOffset = 4;
  size_t at = indexOffset + items.size() * recordSize;
  std::vector<PackEntry> records;
  std::string data;
  for (const Item& item : items) {
    records.push_back(MakeRecord(item.name, static_cast<uint32_t>(at + data.size()),
                                 static_cast<uint32_t>(item.bytes.size())));
    data += item.bytes;
    if (item.bytes.size() < kMinEntrySpan) data.append(kMinEntrySpan - item.bytes.size(), '\0');
  }
  if (layout == Layout::kHashed) SortForHashedIndex(&records);
  std::string out;
  Append32(&out, HeadWord(layout, static_cast<uint32_t>(items.size())));
  out += IndexBytes(layout, key, records);
  out += data;
  if (layout != Layout::kPlain) out += Trailer(key, indexOffset);
  return out;
}

}  // namespace pack
