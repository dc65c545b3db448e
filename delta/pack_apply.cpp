// The kPack body: segments of bytes against the whole installed pack, and
// entries rebuilt from the installed pack's decoded entries and encoded
// again.
#include <memory>

#include "delta/apply.h"
#include "delta/pack_entries.h"

namespace delta {
namespace internal {
namespace {

// Rebuilds one entry: reads the old entry's span from the base, decodes it,
// applies the steps to its decoded form and writes the result encoded.
ApplyResult ApplyEntry(PackModels* m, RangeDecoder* rc, Base* base, uint64_t room, Output* out,
                       uint8_t* buffer, uint64_t* written) {
  uint64_t offset = m->offset.Decode(rc);
  uint64_t span = m->span.Decode(rc);
  unsigned oldCoding = m->oldCoding.Decode(rc);
  unsigned newCoding = m->newCoding.Decode(rc);
  uint64_t size = m->size.Decode(rc);
  if (rc->bad() || oldCoding > 2 || newCoding > 2 || span > kMaxEntrySpan ||
      offset > base->Size() || span > base->Size() - offset || size > kMaxReencodedEntry) {
    return ApplyResult::kDamaged;
  }
  std::string oldDecoded;
  {
    std::string oldBytes(static_cast<size_t>(span), '\0');
    if (span > 0 && !base->ReadAt(offset, oldBytes.data(), static_cast<uint32_t>(span))) {
      return ApplyResult::kBaseUnread;
    }
    if (!DecodeEntry(static_cast<EntryCoding>(oldCoding),
                     reinterpret_cast<const uint8_t*>(oldBytes.data()), oldBytes.size(),
                     &oldDecoded)) {
      return ApplyResult::kDamaged;
    }
  }
  std::string decoded;
  decoded.reserve(static_cast<size_t>(size));
  {
    MemoryBase oldEntry(oldDecoded.data(), oldDecoded.size());
    StringOutput into(&decoded);
    uint64_t pos = 0;
    ApplyResult r = ApplySteps(&m->bytes, rc, &oldEntry, size, &pos, &into, buffer);
    if (r != ApplyResult::kApplied) return r;
  }
  oldDecoded = std::string();
  std::string encoded = EncodeEntry(static_cast<EntryCoding>(newCoding), decoded);
  if (encoded.empty() || encoded.size() > room) return ApplyResult::kDamaged;
  for (size_t at = 0; at < encoded.size(); at += kStepBuffer) {
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(kStepBuffer, encoded.size() - at));
    if (!out->Write(encoded.data() + at, n)) return ApplyResult::kWriteFailed;
  }
  *written = encoded.size();
  return ApplyResult::kApplied;
}

}  // namespace

ApplyResult ApplyPackBody(const DeltaHeader& header, RangeDecoder* rc, Base* base, Output* out) {
  if (base->Size() != header.baseSize) return ApplyResult::kWrongBase;
  std::unique_ptr<PackModels> models(new PackModels);
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kStepBuffer]);
  uint64_t done = 0;
  uint64_t pos = 0;
  while (done < header.resultSize) {
    uint64_t room = header.resultSize - done;
    if (rc->Bit(&models->op) == 0) {
      uint64_t n = models->length.Decode(rc);
      if (rc->bad() || n == 0 || n > room) return ApplyResult::kDamaged;
      ApplyResult r = ApplySteps(&models->bytes, rc, base, n, &pos, out, buffer.get());
      if (r != ApplyResult::kApplied) return r;
      done += n;
    } else {
      uint64_t written = 0;
      ApplyResult r = ApplyEntry(models.get(), rc, base, room, out, buffer.get(), &written);
      if (r != ApplyResult::kApplied) return r;
      done += written;
    }
  }
  return ApplyResult::kApplied;
}

}  // namespace internal
}  // namespace delta
