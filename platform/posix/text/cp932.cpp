#include "platform/posix/text/cp932.h"

#include <errno.h>
#include <iconv.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/posix/text/ascii.h"

namespace platform::posix {
namespace {

// One direction of conversion, opened once per thread: opening it costs
// more than converting a path.
class Converter {
 public:
  Converter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
  ~Converter() {
    if (valid()) iconv_close(m_cd);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return m_cd; }

 private:
  iconv_t m_cd;
};

iconv_t Open(bool toUtf8) {
  thread_local Converter fromCp932("UTF-8", "CP932");
  thread_local Converter toCp932("CP932", "UTF-8");
  return toUtf8 ? fromCp932.get() : toCp932.get();
}

// Runs one whole conversion. With lossy set, an unconvertible or cut
// sequence is replaced by `?` and one input byte is skipped.
bool Convert(bool toUtf8, std::string_view in, std::string* out, bool lossy) {
  // Plain ASCII is the same text in both encodings.
  if (IsAscii(in)) {
    out->assign(in);
    return true;
  }
  iconv_t cd = Open(toUtf8);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // a fresh start
  out->clear();
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  char chunk[1024];
  bool ok = true;
  while (srcLeft > 0) {
    char* dst = chunk;
    size_t dstLeft = sizeof(chunk);
    size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    out->append(chunk, static_cast<size_t>(dst - chunk));
    if (r != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    if (!lossy) {
      ok = false;
      break;
    }
    out->push_back('?');
    ++src;
    --srcLeft;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  return ok;
}

}  // namespace

bool Cp932ToUtf8(std::string_view in, std::string* out) { return Convert(true, in, out, false); }

bool Utf8ToCp932(std::string_view in, std::string* out) {
  if (IsAscii(in)) {  // the same text in both, nothing to check
    out->assign(in);
    return true;
  }
  // Counts only when it comes back the same: several characters map to one
  // code page 932 character, which would silently name another file.
  std::string back;
  return Convert(false, in, out, false) && Convert(true, *out, &back, false) && back == in;
}

std::string Cp932ToUtf8Lossy(std::string_view in) {
  std::string out;
  Convert(true, in, &out, true);
  return out;
}

}  // namespace platform::posix
