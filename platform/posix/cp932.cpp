#include "platform/posix/cp932.h"

#include <errno.h>
#include <iconv.h>

#include <algorithm>

namespace platform::posix {
namespace {

// Runs one whole conversion. With lossy set, an unconvertible or cut
// sequence is replaced by `?` and one input byte is skipped.
// Owns an open conversion: closed on every way out, also when appending to
// the output throws.
class Converter {
 public:
  Converter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(m_cd);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return m_cd; }

 private:
  iconv_t m_cd;
};

bool Convert(const char* to, const char* from, std::string_view in, std::string* out, bool lossy) {
  Converter converter(to, from);
  if (!converter.ok()) return false;
  iconv_t cd = converter.get();
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

bool Cp932ToUtf8(std::string_view in, std::string* out) {
  return Convert("UTF-8", "CP932", in, out, false);
}

bool Utf8ToCp932(std::string_view in, std::string* out) {
  return Convert("CP932", "UTF-8", in, out, false);
}

std::string Cp932ToUtf8Lossy(std::string_view in) {
  std::string out;
  Convert("UTF-8", "CP932", in, &out, true);
  return out;
}

bool ToNativePath(const char* path, std::string* out) {
  if (path == nullptr) return false;
  if (!Cp932ToUtf8(path, out)) return false;
  std::replace(out->begin(), out->end(), '\\', '/');
  return true;
}

}  // namespace platform::posix
