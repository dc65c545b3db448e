#include "platform/posix/wildcard.h"

#include <vector>

namespace platform::posix {
namespace {

// Splits UTF-8 text into characters, ASCII letters folded to upper case. A
// byte that starts no valid sequence stands for itself.
std::vector<char32_t> Characters(std::string_view text) {
  std::vector<char32_t> out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t len = c < 0x80           ? 1
                 : (c >> 5) == 0x6  ? 2
                 : (c >> 4) == 0xE  ? 3
                 : (c >> 3) == 0x1E ? 4
                                    : 1;
    if (i + len > text.size()) len = 1;
    char32_t value = len == 1 ? c : c & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) value = (value << 6) | (text[i + k] & 0x3F);
    if (value >= 'a' && value <= 'z') value -= 0x20;
    out.push_back(len == 1 && c >= 0x80 ? 0x110000 + c : value);
    i += len;
  }
  return out;
}

bool Match(const std::vector<char32_t>& p, const std::vector<char32_t>& n) {
  // Greedy matching that backs up to the last `*` on a mismatch.
  size_t pi = 0, ni = 0, starP = SIZE_MAX, starN = 0;
  while (ni < n.size()) {
    if (pi < p.size() && p[pi] == '*') {
      starP = pi++;
      starN = ni;
    } else if (pi < p.size() && (p[pi] == '?' || p[pi] == n[ni])) {
      ++pi;
      ++ni;
    } else if (starP != SIZE_MAX) {
      pi = starP + 1;
      ni = ++starN;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == '*') ++pi;
  return pi == p.size();
}

}  // namespace

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  std::vector<char32_t> p = Characters(pattern);
  std::vector<char32_t> n = Characters(name);
  if (Match(p, n)) return true;
  if (p.size() >= 2 && p[p.size() - 2] == '.' && p.back() == '*' && name.find('.') == name.npos) {
    p.resize(p.size() - 2);
    return Match(p, n);
  }
  return false;
}

}  // namespace platform::posix
