// CVxString::LoadFile: a whole text file, read through a local CFPK, taken
// into the string up to its first zero byte.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "fileaccess/fpk.h"
#include "text/vx_string.h"

namespace {

// Bytes read per Read once a file is larger than one piece.
constexpr int32_t kPiece = 65536;

// Reads size bytes of the open file. The text up to the first zero byte goes
// into *text (zero-terminated); the bytes after it are read and dropped. So
// the memory taken follows the bytes that really arrive, not the size that
// an entry's header claims (an Rle0 entry of 2 GiB of zeros holds a few
// bytes of text). False when fewer than size bytes arrive or memory can't be
// had.
bool ReadText(CFPK& fpk, int32_t size, std::unique_ptr<char[]>* text) {
  // A file of at most one piece is read with one Read into its own buffer.
  size_t capacity = static_cast<size_t>(std::min(size, kPiece)) + 1;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[capacity]);
  if (buffer == nullptr) return false;
  size_t length = 0;    // text bytes held
  bool ended = false;   // the first zero byte was read
  int32_t left = size;  // bytes still to read
  std::unique_ptr<char[]> scratch;
  while (left > 0) {
    if (ended) {
      if (scratch == nullptr) {
        scratch.reset(new (std::nothrow) char[kPiece]);
        if (scratch == nullptr) return false;
      }
      int32_t n = fpk.Read(scratch.get(), std::min(left, kPiece));
      if (n <= 0) return false;
      left -= n;
      continue;
    }
    if (length + 1 == capacity) {
      size_t grown = std::min(capacity * 2, static_cast<size_t>(size) + 1);
      std::unique_ptr<char[]> larger(new (std::nothrow) char[grown]);
      if (larger == nullptr) return false;
      std::memcpy(larger.get(), buffer.get(), length);
      buffer = std::move(larger);
      capacity = grown;
    }
    int32_t want = static_cast<int32_t>(std::min<size_t>(capacity - 1 - length, left));
    int32_t n = fpk.Read(buffer.get() + length, want);
    if (n <= 0) return false;
    const void* zero = std::memchr(buffer.get() + length, '\0', static_cast<size_t>(n));
    if (zero != nullptr) {
      length = static_cast<size_t>(static_cast<const char*>(zero) - buffer.get());
      ended = true;
    } else {
      length += static_cast<size_t>(n);
    }
    left -= n;
  }
  buffer[length] = '\0';
  *text = std::move(buffer);
  return true;
}

}  // namespace

bool CVxString::LoadFile(const char* fileName, const char* packName) {
  // Memory that can't be had fails the load: the string is then empty, or
  // as it was if even emptying it failed.
  try {
    Empty();
    // The local object closes whatever is still open on every way out.
    CFPK fpk;
    if (!fpk.OpenPack(packName)) return false;
    if (!fpk.OpenFile(fileName)) return false;
    // GetSize reports only 32 bits: a file of 2 GiB or more would read as a
    // negative or a much smaller size, so it is refused instead of being
    // taken as empty or read in part.
    const int64_t fullSize = fpk.GetFullSize();
    if (fullSize < 0 || fullSize > std::numeric_limits<int32_t>::max()) return false;
    const int32_t size = fpk.GetSize();
    std::unique_ptr<char[]> data;
    if (size >= 1 && !ReadText(fpk, size, &data)) return false;
    const CVxString text(data.get());
    AssignCopy(text);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}
