// Making a pack delta: both packs are cut at their structure (head word,
// index, trailer) and at every entry's offset; each piece of NEW is made
// from the same piece of OLD, found by role or by entry name.
#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "delta/make.h"
#include "delta/pack_entries.h"
#include "fileaccess/pack_format.h"

namespace delta {
namespace {

uint32_t Le32(const uint8_t* p) {
  return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

enum class Role { kHead, kIndex, kTrailer, kEntry, kGap };

struct Piece {
  Role role;
  uint64_t offset;
  uint64_t length;
  std::string name;  // an entry's name, ASCII letters in upper case
};

// Cuts a pack into pieces; false when data does not read as a whole pack
// (its index or an entry lying outside the file, or an entry inside the
// index).
bool CutPack(const uint8_t* data, size_t size, std::vector<Piece>* pieces) {
  if (size < 4) return false;
  uint32_t head = Le32(data);
  bool plain = (head >> 24) == 0;
  uint64_t count = plain ? head : (head & pack::kCountMask);
  uint64_t recordSize = plain ? pack::kPlainRecordSize : pack::kExtendedRecordSize;
  uint64_t indexStart = 4;
  uint64_t trailerStart = size;
  uint32_t key = 0;
  if (!plain) {
    if (size < 4 + pack::kTrailerSize) return false;
    trailerStart = size - pack::kTrailerSize;
    key = (head & pack::kHashedMark) ? Le32(data + size - 8) : 0;
    indexStart = Le32(data + size - 4);
  }
  uint64_t indexEnd = indexStart + count * recordSize;
  if (indexStart < 4 || indexEnd > trailerStart) return false;

  std::map<uint64_t, Piece> cuts;  // by offset; the first piece named there wins
  cuts[0] = {Role::kHead, 0, 0, ""};
  if (indexEnd > indexStart) cuts[indexStart] = {Role::kIndex, indexStart, 0, ""};
  if (!plain) cuts[trailerStart] = {Role::kTrailer, trailerStart, 0, ""};
  cuts.emplace(indexEnd, Piece{Role::kGap, indexEnd, 0, ""});
  for (uint64_t i = 0; i < count; ++i) {
    uint8_t record[pack::kExtendedRecordSize];
    std::memcpy(record, data + indexStart + i * recordSize, recordSize);
    for (uint64_t w = 0; w + 4 <= recordSize; w += 4) {
      uint32_t word = Le32(record + w) ^ key;
      std::memcpy(record + w, &word, 4);
    }
    uint64_t offset = Le32(record);
    if (offset >= trailerStart || (offset >= indexStart && offset < indexEnd) || offset < 4) {
      return false;
    }
    std::string name(reinterpret_cast<const char*>(record + 8),
                     strnlen(reinterpret_cast<const char*>(record + 8), pack::kNameSize));
    for (char& c : name) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
    }
    auto [it, added] = cuts.emplace(offset, Piece{Role::kEntry, offset, 0, name});
    if (!added && it->second.role == Role::kGap) it->second = Piece{Role::kEntry, offset, 0, name};
  }
  cuts.emplace(size, Piece{Role::kGap, size, 0, ""});
  pieces->clear();
  for (auto it = cuts.begin(); std::next(it) != cuts.end(); ++it) {
    Piece piece = it->second;
    piece.length = std::next(it)->first - it->first;
    if (piece.length > 0) pieces->push_back(piece);
  }
  return true;
}

// True when some entry name is in both packs. Two files that merely happen
// to read as packs (an executable may) share none, and are better diffed as
// bytes.
bool ShareAnEntry(const std::vector<Piece>& oldPieces, const std::vector<Piece>& newPieces) {
  std::set<std::string> names;
  for (const Piece& piece : oldPieces) {
    if (piece.role == Role::kEntry) names.insert(piece.name);
  }
  for (const Piece& piece : newPieces) {
    if (piece.role == Role::kEntry && names.count(piece.name) != 0) return true;
  }
  return false;
}

class PackMaker {
 public:
  PackMaker(const uint8_t* old, const uint8_t* next, std::string* out)
      : m_old(old), m_next(next), m_rc(out), m_models(new PackModels) {}

  void Make(const std::vector<Piece>& oldPieces, const std::vector<Piece>& newPieces) {
    std::map<std::string, const Piece*> entries;
    std::map<Role, const Piece*> structure;
    for (const Piece& piece : oldPieces) {
      if (piece.role == Role::kEntry) {
        entries.emplace(piece.name, &piece);
      } else if (piece.role != Role::kGap) {
        structure.emplace(piece.role, &piece);
      }
    }
    for (const Piece& piece : newPieces) {
      const Piece* old = nullptr;
      if (piece.role == Role::kEntry) {
        auto it = entries.find(piece.name);
        if (it != entries.end()) old = it->second;
      } else if (piece.role != Role::kGap) {
        auto it = structure.find(piece.role);
        if (it != structure.end()) old = it->second;
      }
      if (piece.role == Role::kEntry && old != nullptr && !Same(*old, piece) &&
          Reencoded(*old, piece)) {
        continue;
      }
      Bytes(old, piece);
    }
    FlushBytes();
    m_rc.Flush();
  }

 private:
  bool Same(const Piece& old, const Piece& piece) const {
    return old.length == piece.length &&
           std::memcmp(m_old + old.offset, m_next + piece.offset, piece.length) == 0;
  }

  // The piece as bytes, from the old piece when there is one. Pieces in a
  // row are written as one bytes segment.
  void Bytes(const Piece* old, const Piece& piece) {
    m_pending.push_back({old, piece});
    m_pendingLength += piece.length;
  }

  void FlushBytes() {
    if (m_pendingLength == 0) return;
    m_rc.Bit(&m_models->op, 0);
    m_models->length.Encode(&m_rc, m_pendingLength);
    BytesWriter writer(&m_rc, &m_models->bytes);
    // Unchanged pieces that follow each other in OLD too are taken in one
    // step.
    uint64_t runStart = 0, runLength = 0;
    auto flushRun = [&] {
      if (runLength == 0) return;
      writer.Seek(static_cast<int64_t>(runStart - m_basePos));
      writer.Add(nullptr, nullptr, runLength);
      writer.Copy(nullptr, 0);
      m_basePos = runStart + runLength;
      runLength = 0;
    };
    for (const auto& [old, piece] : m_pending) {
      const uint8_t* next = m_next + piece.offset;
      if (old != nullptr && Same(*old, piece)) {
        if (runLength > 0 && old->offset != runStart + runLength) flushRun();
        if (runLength == 0) runStart = old->offset;
        runLength += piece.length;
        continue;
      }
      flushRun();
      if (old != nullptr) {
        MakeSteps(&writer, m_old + old->offset, old->length, old->offset, next, piece.length,
                  &m_basePos);
      } else {
        MakeSteps(&writer, nullptr, 0, m_basePos, next, piece.length, &m_basePos);
      }
    }
    flushRun();
    m_pending.clear();
    m_pendingLength = 0;
  }

  // A changed entry diffed in decoded form, when both decode within bounds
  // and encoding NEW's decoded entry gives NEW's bytes exactly.
  bool Reencoded(const Piece& old, const Piece& piece) {
    if (old.length > kMaxEntrySpan || piece.length > kMaxEntrySpan) return false;
    const uint8_t* oldBytes = m_old + old.offset;
    const uint8_t* newBytes = m_next + piece.offset;
    EntryCoding oldCoding = CodingOf(oldBytes, old.length);
    EntryCoding newCoding = CodingOf(newBytes, piece.length);
    std::string oldDecoded, newDecoded;
    if (!DecodeEntry(oldCoding, oldBytes, old.length, &oldDecoded) ||
        !DecodeEntry(newCoding, newBytes, piece.length, &newDecoded)) {
      return false;
    }
    std::string again = EncodeEntry(newCoding, newDecoded);
    if (again.empty() || again.size() != piece.length ||
        std::memcmp(again.data(), newBytes, piece.length) != 0) {
      return false;
    }
    FlushBytes();
    m_rc.Bit(&m_models->op, 1);
    m_models->offset.Encode(&m_rc, old.offset);
    m_models->span.Encode(&m_rc, old.length);
    m_models->oldCoding.Encode(&m_rc, static_cast<unsigned>(oldCoding));
    m_models->newCoding.Encode(&m_rc, static_cast<unsigned>(newCoding));
    m_models->size.Encode(&m_rc, newDecoded.size());
    BytesWriter writer(&m_rc, &m_models->bytes);
    uint64_t pos = 0;
    MakeSteps(&writer, reinterpret_cast<const uint8_t*>(oldDecoded.data()), oldDecoded.size(), 0,
              reinterpret_cast<const uint8_t*>(newDecoded.data()), newDecoded.size(), &pos);
    return true;
  }

  const uint8_t* m_old;
  const uint8_t* m_next;
  RangeEncoder m_rc;
  std::unique_ptr<PackModels> m_models;
  uint64_t m_basePos = 0;
  std::vector<std::pair<const Piece*, Piece>> m_pending;
  uint64_t m_pendingLength = 0;
};

}  // namespace

std::string MakePackDelta(const uint8_t* old, size_t oldSize, const uint8_t* next,
                          size_t nextSize) {
  std::vector<Piece> oldPieces, newPieces;
  if (!CutPack(old, oldSize, &oldPieces) || !CutPack(next, nextSize, &newPieces) ||
      !ShareAnEntry(oldPieces, newPieces)) {
    return MakeDelta(old, oldSize, next, nextSize);
  }
  std::string out = HeaderFor(DeltaKind::kPack, old, oldSize, next, nextSize);
  PackMaker maker(old, next, &out);
  maker.Make(oldPieces, newPieces);
  return out;
}

}  // namespace delta
