#include "delta/make.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "delta/delta_format.h"
#include "delta/suffix_array.h"

namespace delta {
namespace {

size_t MatchLength(const uint8_t* a, size_t aSize, const uint8_t* b, size_t bSize) {
  size_t n = std::min(aSize, bSize);
  size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// The longest prefix of want that some suffix of old starts with, by binary
// search over the suffix array; *pos receives that suffix's position.
size_t Search(const std::vector<int32_t>& sa, const uint8_t* old, size_t oldSize,
              const uint8_t* want, size_t wantSize, size_t* pos) {
  size_t lo = 0;
  size_t hi = sa.size() - 1;
  while (hi - lo >= 2) {
    size_t mid = lo + (hi - lo) / 2;
    size_t at = static_cast<size_t>(sa[mid]);
    size_t n = std::min(oldSize - at, wantSize);
    int c = std::memcmp(old + at, want, n);
    if (c < 0 || (c == 0 && n < wantSize)) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  size_t a = static_cast<size_t>(sa[lo]);
  size_t b = static_cast<size_t>(sa[hi]);
  size_t x = MatchLength(old + a, oldSize - a, want, wantSize);
  size_t y = MatchLength(old + b, oldSize - b, want, wantSize);
  if (x >= y) {
    *pos = a;
    return x;
  }
  *pos = b;
  return y;
}

}  // namespace

void MakeSteps(BytesWriter* writer, const uint8_t* old, size_t oldSize, uint64_t oldOffset,
               const uint8_t* next, size_t nextSize, uint64_t* basePos) {
  // Seeks count in the base as a whole, where old stands at oldOffset.
  auto seekTo = [&](size_t oldPosition) {
    uint64_t target = oldOffset + oldPosition;
    writer->Seek(static_cast<int64_t>(target - *basePos));
    *basePos = target;
  };
  if (nextSize == 0) return;
  if (oldSize == 0) {
    seekTo(0);
    writer->Add(nullptr, nullptr, 0);
    writer->Copy(next, nextSize);
    return;
  }
  std::vector<int32_t> sa = SuffixArray(old, oldSize);
  // The scan: scan runs over the new file looking for a match that is
  // clearly better than carrying on with the old offset (lastOffset); when
  // one is found, the stretch since the last match is split into a forward
  // extension of the last match, literal bytes, and a backward extension
  // of the new one.
  size_t scan = 0, len = 0, pos = 0;
  size_t lastScan = 0, lastPos = 0;
  int64_t lastOffset = 0;
  auto oldAt = [&](size_t newIndex) -> int {
    int64_t o = static_cast<int64_t>(newIndex) + lastOffset;
    return o >= 0 && static_cast<size_t>(o) < oldSize ? old[o] : -1;
  };
  while (scan < nextSize) {
    size_t oldScore = 0;
    size_t scsc = scan += len;
    for (; scan < nextSize; ++scan) {
      len = Search(sa, old, oldSize, next + scan, nextSize - scan, &pos);
      for (; scsc < scan + len; ++scsc) {
        if (oldAt(scsc) == next[scsc]) ++oldScore;
      }
      if ((len == oldScore && len != 0) || len > oldScore + 8) break;
      if (oldAt(scan) == next[scan]) --oldScore;
    }
    if (len == oldScore && scan != nextSize) continue;

    // Forward extension of the last match: the longest stretch where at
    // least half the bytes agree, counted as 2 * equal - length.
    size_t lenF = 0;
    {
      int64_t s = 0, best = 0;
      for (size_t i = 0; lastScan + i < scan && lastPos + i < oldSize;) {
        if (old[lastPos + i] == next[lastScan + i]) ++s;
        ++i;
        if (s * 2 - static_cast<int64_t>(i) > best * 2 - static_cast<int64_t>(lenF)) {
          best = s;
          lenF = i;
        }
      }
    }
    // Backward extension of the new match.
    size_t lenB = 0;
    if (scan < nextSize) {
      int64_t s = 0, best = 0;
      for (size_t i = 1; scan >= lastScan + i && pos >= i; ++i) {
        if (old[pos - i] == next[scan - i]) ++s;
        if (s * 2 - static_cast<int64_t>(i) > best * 2 - static_cast<int64_t>(lenB)) {
          best = s;
          lenB = i;
        }
      }
    }
    // Where the two overlap, split them where the forward one's agreement
    // is best against the backward one's.
    if (lastScan + lenF > scan - lenB) {
      size_t overlap = (lastScan + lenF) - (scan - lenB);
      int64_t s = 0, best = 0;
      size_t lenS = 0;
      for (size_t i = 0; i < overlap; ++i) {
        if (next[lastScan + lenF - overlap + i] == old[lastPos + lenF - overlap + i]) ++s;
        if (next[scan - lenB + i] == old[pos - lenB + i]) --s;
        if (s > best) {
          best = s;
          lenS = i + 1;
        }
      }
      lenF += lenS - overlap;
      lenB -= lenS;
    }
    size_t literal = (scan - lenB) - (lastScan + lenF);
    if (lenF > 0 || literal > 0) {
      seekTo(lastPos);
      writer->Add(next + lastScan, old + lastPos, lenF);
      writer->Copy(next + lastScan + lenF, literal);
      *basePos += lenF;
    }
    lastScan = scan - lenB;
    lastPos = pos - lenB;
    lastOffset = static_cast<int64_t>(pos) - static_cast<int64_t>(scan);
  }
}

std::string HeaderFor(DeltaKind kind, const uint8_t* old, size_t oldSize, const uint8_t* next,
                      size_t nextSize) {
  DeltaHeader header;
  header.kind = kind;
  header.baseSize = oldSize;
  header.resultSize = nextSize;
  header.baseHash = platform::Sha256::Of(old, oldSize);
  header.resultHash = platform::Sha256::Of(next, nextSize);
  return EncodeHeader(header);
}

std::string MakeDelta(const uint8_t* old, size_t oldSize, const uint8_t* next, size_t nextSize) {
  std::string out = HeaderFor(DeltaKind::kBytes, old, oldSize, next, nextSize);
  BytesWriter writer(&out);
  uint64_t basePos = 0;
  MakeSteps(&writer, old, oldSize, 0, next, nextSize, &basePos);
  writer.Finish();
  return out;
}

}  // namespace delta
