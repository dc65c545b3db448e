#include "delta/apply.h"

#include <algorithm>
#include <memory>

namespace delta {
namespace {

// True when base has the size and hash the header records; reads it whole
// in chunks. *unread tells a read failure from a mismatch.
bool BaseMatches(Base* base, const DeltaHeader& header, bool* unread) {
  *unread = false;
  if (base->Size() != header.baseSize) return false;
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[internal::kStepBuffer]);
  platform::Sha256 hash;
  for (uint64_t at = 0; at < header.baseSize;) {
    uint32_t n =
        static_cast<uint32_t>(std::min<uint64_t>(internal::kStepBuffer, header.baseSize - at));
    if (!base->ReadAt(at, buffer.get(), n)) {
      *unread = true;
      return false;
    }
    hash.Update(buffer.get(), n);
    at += n;
  }
  return hash.Finish() == header.baseHash;
}

}  // namespace

const char* ApplyResultText(ApplyResult result) {
  switch (result) {
    case ApplyResult::kApplied:
      return "applied";
    case ApplyResult::kNotADelta:
      return "not a delta";
    case ApplyResult::kWrongBase:
      return "the installed file is not the one the delta was made from";
    case ApplyResult::kDamaged:
      return "the delta is damaged";
    case ApplyResult::kBaseUnread:
      return "the installed file can't be read";
    case ApplyResult::kWriteFailed:
      return "the result can't be written";
  }
  return "?";
}

namespace internal {

ApplyResult ApplySteps(BytesModels* models, RangeDecoder* rc, Base* base, uint64_t size,
                       uint64_t* basePos, Output* out, uint8_t* buffer) {
  uint64_t done = 0;  // result bytes written
  uint64_t pos = *basePos;
  const uint64_t baseSize = base->Size();
  while (done < size) {
    // seek: a signed move of the base position, which stays within it.
    int64_t move = UnZigZag(models->seek.Decode(rc));
    if (rc->bad()) return ApplyResult::kDamaged;
    if (move < 0) {
      uint64_t back = 0 - static_cast<uint64_t>(move);
      if (back > pos) return ApplyResult::kDamaged;
      pos -= back;
    } else {
      if (static_cast<uint64_t>(move) > baseSize - pos) return ApplyResult::kDamaged;
      pos += static_cast<uint64_t>(move);
    }
    // add: base bytes plus differences.
    uint64_t n = models->add.Decode(rc);
    if (rc->bad() || n > size - done || pos > baseSize || n > baseSize - pos) {
      return ApplyResult::kDamaged;
    }
    uint64_t next = n;  // region offset of the next difference byte
    bool runWasEmpty = false;
    int context = 0;
    int width = 0;
    auto decodeRun = [&](uint64_t from) {
      uint64_t run = models->zeroRun[context].Decode(rc);
      if (rc->bad() || run > n - from) return false;
      next = from + run;
      runWasEmpty = run == 0;
      context = BytesModels::RunContext(BitLength(run), width);
      return true;
    };
    if (n > 0 && !decodeRun(0)) return ApplyResult::kDamaged;
    for (uint64_t start = 0; start < n;) {
      uint32_t c = static_cast<uint32_t>(std::min<uint64_t>(kStepBuffer, n - start));
      if (!base->ReadAt(pos + start, buffer, c)) return ApplyResult::kBaseUnread;
      while (next < start + c) {
        unsigned d = models->difference[runWasEmpty ? models->lastDifference : 0].Decode(rc);
        models->lastDifference = d;
        width = runWasEmpty ? width + 1 : 1;
        buffer[next - start] = static_cast<uint8_t>(buffer[next - start] + d);
        uint64_t from = next + 1;
        if (from == n) {
          next = n;
        } else if (!decodeRun(from)) {
          return ApplyResult::kDamaged;
        }
      }
      if (rc->bad()) return ApplyResult::kDamaged;
      if (!out->Write(buffer, c)) return ApplyResult::kWriteFailed;
      start += c;
    }
    done += n;
    pos += n;
    // copy: bytes from the body.
    uint64_t k = models->copy.Decode(rc);
    if (rc->bad() || k > size - done || (n == 0 && k == 0)) {
      return ApplyResult::kDamaged;
    }
    unsigned previous = 0;
    for (uint64_t start = 0; start < k;) {
      uint32_t c = static_cast<uint32_t>(std::min<uint64_t>(kStepBuffer, k - start));
      for (uint32_t i = 0; i < c; ++i) {
        previous = models->literal[previous].Decode(rc);
        buffer[i] = static_cast<uint8_t>(previous);
      }
      if (rc->bad()) return ApplyResult::kDamaged;
      if (!out->Write(buffer, c)) return ApplyResult::kWriteFailed;
      start += c;
    }
    done += k;
  }
  *basePos = pos;
  return ApplyResult::kApplied;
}

ApplyResult ApplyBytesBody(const DeltaHeader& header, RangeDecoder* rc, Base* base, Output* out) {
  if (base->Size() != header.baseSize) return ApplyResult::kWrongBase;
  std::unique_ptr<BytesModels> models(new BytesModels);
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kStepBuffer]);
  uint64_t pos = 0;
  return ApplySteps(models.get(), rc, base, header.resultSize, &pos, out, buffer.get());
}

}  // namespace internal

ApplyResult ApplyDelta(Input* deltaInput, Base* base, Output* out, const ManifestEntry* entry) {
  HashingInput delta(deltaInput);
  DeltaHeader header;
  if (!ReadHeader(&delta, &header)) return ApplyResult::kNotADelta;
  if (header.baseSize > kMaxFileSize || header.resultSize > kMaxFileSize) {
    return ApplyResult::kDamaged;
  }
  if (entry != nullptr &&
      (header.baseSize != entry->baseSize || header.baseHash != entry->baseHash ||
       header.resultSize != entry->size || header.resultHash != entry->hash)) {
    // The delta is not the one the manifest lists (swapped with another).
    return ApplyResult::kDamaged;
  }
  bool unread = false;
  if (!BaseMatches(base, header, &unread)) {
    return unread ? ApplyResult::kBaseUnread : ApplyResult::kWrongBase;
  }
  HashingOutput result(out);
  ApplyResult applied;
  {
    RangeDecoder rc(&delta);
    if (!rc.Start()) return ApplyResult::kDamaged;
    applied = header.kind == DeltaKind::kPack
                  ? internal::ApplyPackBody(header, &rc, base, &result)
                  : internal::ApplyBytesBody(header, &rc, base, &result);
  }
  if (applied != ApplyResult::kApplied) return applied;
  if (result.count() != header.resultSize || result.Finish() != header.resultHash) {
    return ApplyResult::kDamaged;
  }
  if (entry != nullptr) {
    if (!delta.Drain() || delta.count() != entry->patchSize || delta.Finish() != entry->patchHash) {
      return ApplyResult::kDamaged;
    }
  }
  return ApplyResult::kApplied;
}

ApplyResult ApplyDeltaFiles(const char* deltaPath, const char* basePath, Output* out,
                            const ManifestEntry* entry) {
  platform::File deltaFile(platform::OpenExisting(deltaPath, platform::Share::kRead));
  if (!deltaFile) return ApplyResult::kDamaged;
  platform::File baseFile(platform::OpenExisting(basePath, platform::Share::kRead));
  uint64_t baseSize = 0;
  if (!baseFile) return ApplyResult::kWrongBase;
  if (!platform::FileSize(baseFile.get(), &baseSize)) return ApplyResult::kBaseUnread;
  FileInput input(deltaFile.get());
  FileBase base(baseFile.get(), baseSize);
  return ApplyDelta(&input, &base, out, entry);
}

}  // namespace delta
