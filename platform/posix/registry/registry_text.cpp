#include "platform/posix/registry/registry_text.h"

#include "platform/registry.h"

namespace platform::posix {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHex(std::string_view s, size_t max, uint32_t* out) {
  if (s.empty() || s.size() > max) return false;
  uint32_t v = 0;
  for (char c : s) {
    int d = HexDigit(c);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  *out = v;
  return true;
}

bool IsRegTextType(uint32_t type) {
  return type == kRegTypeSz || type == kRegTypeExpandSz || type == 7;  // 7: REG_MULTI_SZ
}

void AppendUtf16Unit(uint32_t unit, std::string* utf16) {
  utf16->push_back(static_cast<char>(unit & 0xFF));
  utf16->push_back(static_cast<char>((unit >> 8) & 0xFF));
}

bool TakeUtf8(std::string_view* s, std::string* utf16) {
  unsigned char c = static_cast<unsigned char>(s->front());
  int extra = c < 0x80             ? 0
              : (c & 0xE0) == 0xC0 ? 1
              : (c & 0xF0) == 0xE0 ? 2
              : (c & 0xF8) == 0xF0 ? 3
                                   : -1;
  if (extra < 0 || s->size() <= static_cast<size_t>(extra)) return false;
  uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
  for (int k = 1; k <= extra; ++k) {
    unsigned char d = static_cast<unsigned char>((*s)[k]);
    if ((d & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (d & 0x3F);
  }
  s->remove_prefix(static_cast<size_t>(extra) + 1);
  if (cp >= 0x10000) {
    cp -= 0x10000;
    AppendUtf16Unit(0xD800 | (cp >> 10), utf16);
    AppendUtf16Unit(0xDC00 | (cp & 0x3FF), utf16);
  } else {
    AppendUtf16Unit(cp, utf16);
  }
  return true;
}

bool NextTextLine(std::string_view text, size_t* pos, std::string_view* line) {
  if (*pos >= text.size()) return false;
  size_t end = text.find('\n', *pos);
  if (end == std::string_view::npos) end = text.size();
  *line = text.substr(*pos, end - *pos);
  if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
  *pos = end + 1;
  return true;
}

bool ParseDword(std::string_view digits, std::string* data) {
  uint32_t v;
  if (!ParseHex(digits, 8, &v)) return false;
  data->assign(4, '\0');
  for (int i = 0; i < 4; ++i) (*data)[i] = static_cast<char>(v >> (8 * i));
  return true;
}

bool TakeHexPrefix(std::string_view* s, uint32_t* type) {
  if (s->substr(0, 3) != "hex") return false;
  s->remove_prefix(3);
  *type = kRegTypeBinary;
  if (!s->empty() && s->front() == '(') {
    size_t close = s->find(')');
    if (close == std::string_view::npos || !ParseHex(s->substr(1, close - 1), 8, type)) {
      return false;
    }
    s->remove_prefix(close + 1);
  }
  if (s->empty() || s->front() != ':') return false;
  s->remove_prefix(1);
  return true;
}

}  // namespace platform::posix
