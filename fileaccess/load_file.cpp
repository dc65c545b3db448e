// CVxString::LoadFile: a whole text file, read through a local CFPK in one
// Read, taken into the string up to its first zero byte.
#include <cstdint>
#include <limits>
#include <memory>

#include "fileaccess/fpk.h"
#include "text/vx_string.h"

bool CVxString::LoadFile(const char* fileName, const char* packName) {
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
  if (size >= 1) {
    data.reset(new char[static_cast<size_t>(size) + 1]);
    if (fpk.Read(data.get(), size) != size) return false;
    data[size] = '\0';
  }
  const CVxString text(data.get());
  AssignCopy(text);
  return true;
}
