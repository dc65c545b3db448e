#include "platform/posix/files/wildcard.h"

#include <vector>

#include "platform/posix/text/ascii.h"

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

// Greedy matching that backs up to the last `*` on a mismatch. p and n are
// sequences of characters as Characters gives them, or of their like.
template <typename Sequence>
bool Match(const Sequence& p, const Sequence& n) {
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

// ASCII text as Characters would give it, without decoding it first: each
// byte is a character, letters in upper case.
class AsciiCharacters {
 public:
  explicit AsciiCharacters(std::string_view text) : m_text(text) {}
  size_t size() const { return m_text.size(); }
  char32_t operator[](size_t i) const {
    char c = m_text[i];
    return static_cast<char32_t>(c >= 'a' && c <= 'z' ? c - 0x20 : c);
  }
  void resize(size_t n) { m_text = m_text.substr(0, n); }
  char32_t back() const { return (*this)[size() - 1]; }

 private:
  std::string_view m_text;
};

// Matches name against pattern, then, for a pattern that ends in `.*`, the
// name without a dot against the pattern without it, as Windows does.
template <typename Sequence>
bool MatchName(Sequence p, const Sequence& n, std::string_view name) {
  if (Match(p, n)) return true;
  if (p.size() >= 2 && p[p.size() - 2] == '.' && p.back() == '*' && name.find('.') == name.npos) {
    p.resize(p.size() - 2);
    return Match(p, n);
  }
  return false;
}

// True when ASCII text a and b, of the same length, are equal with letters
// in upper case.
bool SameAscii(std::string_view a, std::string_view b) {
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiCharacters(a)[i] != AsciiCharacters(b)[i]) return false;
  }
  return true;
}

}  // namespace

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  // Most names and patterns are plain ASCII: no decoding needed.
  if (IsAscii(pattern) && IsAscii(name)) {
    // The usual pattern, one `*` and no `?` (as "*.dat"), matches a name
    // that starts and ends as it does; a trailing ".*" takes the walk below.
    size_t star = pattern.find('*');
    if (star != pattern.npos && pattern.find('*', star + 1) == pattern.npos &&
        pattern.find('?') == pattern.npos && !pattern.ends_with(".*")) {
      std::string_view head = pattern.substr(0, star), tail = pattern.substr(star + 1);
      return name.size() >= head.size() + tail.size() &&
             SameAscii(head, name.substr(0, head.size())) &&
             SameAscii(tail, name.substr(name.size() - tail.size()));
    }
    return MatchName(AsciiCharacters(pattern), AsciiCharacters(name), name);
  }
  return MatchName(Characters(pattern), Characters(name), name);
}

}  // namespace platform::posix
