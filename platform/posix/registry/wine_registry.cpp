// Wine's registry file format, as Wine 8 writes it:
//
//   WINE REGISTRY Version 2
//   ;; All keys relative to REGISTRY\\User\\S-1-5-21-0-0-0-1000
//
//   #arch=win32
//
//   [Software\\Vendor\\Product] 1796657451
//   #time=1dd865ff1551502
//   @="default"
//   "InstallDir"="C:\\Games\\\x661f\x6d77"
//   "Path"=str(2):"%SystemRoot%\\x"
//   "List"=str(7):"a\0b\0"
//   "Count"=dword:0000002a
//   "Blob"=hex:01,02,<backslash>   (the list goes on in the next line)
//     03
//   "Quad"=hex(b):2a,00,00,00,00,00,00,00
//
// The file is ASCII. A key line holds the key's path relative to the file's
// root, with `\\` between names, then the time it was written; `#` lines
// carry options of the key or file (`#link`: the key is a link to the key
// that its value SymbolicLinkValue, of type 6, names as a full path such
// as \REGISTRY\User\S-1-5-21-0-0-0-1000\Software\Vendor). Names and strings are UTF-16 written
// with C escapes: `\\`, `\"`, `\[`, `\]`, `\a \b \e \f \n \r \t \v`, `\x`
// with one to four hex digits and `\` with one to three octal digits (both
// as many as follow, which is why Wine pads them when a digit comes next:
// `\x00e9a`, `\0017`). A string's data is its text and a terminating zero.
#include "platform/posix/registry/wine_registry.h"

#include <cstdint>
#include <string>

#include "platform/posix/registry/registry_file.h"
#include "platform/posix/registry/registry_text.h"
#include "platform/registry.h"

namespace platform::posix {

const char kWineRegistryHeader[] = "WINE REGISTRY Version 2";

namespace {

bool IsOctal(char c) { return c >= '0' && c <= '7'; }

// Reads escaped text from the start of *s up to the unescaped character end,
// as UTF-16LE bytes into *utf16; leaves *s after end.
bool Unescape(std::string_view* s, char end, std::string* utf16) {
  utf16->clear();
  while (!s->empty()) {
    char c = s->front();
    if (c == end) {
      s->remove_prefix(1);
      return true;
    }
    if (static_cast<unsigned char>(c) >= 0x80) {
      // Wine escapes every character above 0x7F, but a file edited by hand
      // may hold UTF-8.
      if (!TakeUtf8(s, utf16)) return false;
      continue;
    }
    s->remove_prefix(1);
    if (c != '\\') {
      AppendUtf16Unit(static_cast<unsigned char>(c), utf16);
      continue;
    }
    if (s->empty()) return false;
    char e = s->front();
    s->remove_prefix(1);
    uint32_t unit = static_cast<unsigned char>(e);
    switch (e) {
      case 'a':
        unit = 0x07;
        break;
      case 'b':
        unit = 0x08;
        break;
      case 'e':
        unit = 0x1B;
        break;
      case 'f':
        unit = 0x0C;
        break;
      case 'n':
        unit = 0x0A;
        break;
      case 'r':
        unit = 0x0D;
        break;
      case 't':
        unit = 0x09;
        break;
      case 'v':
        unit = 0x0B;
        break;
      case 'x':
        if (s->empty() || HexDigit(s->front()) < 0) break;  // a lone `\x` is an x
        unit = 0;
        for (int n = 0; n < 4 && !s->empty() && HexDigit(s->front()) >= 0; ++n) {
          unit = unit * 16 + static_cast<uint32_t>(HexDigit(s->front()));
          s->remove_prefix(1);
        }
        break;
      default:
        if (!IsOctal(e)) break;  // `\\`, `\"`, `\[`, `\]`: the character itself
        unit = static_cast<uint32_t>(e - '0');
        for (int n = 1; n < 3 && !s->empty() && IsOctal(s->front()); ++n) {
          unit = unit * 8 + static_cast<uint32_t>(s->front() - '0');
          s->remove_prefix(1);
        }
        break;
    }
    AppendUtf16Unit(unit, utf16);
  }
  return false;
}

bool Blank(char c) { return c == ' ' || c == '\t'; }

void SkipBlanks(std::string_view* s) {
  while (!s->empty() && Blank(s->front())) s->remove_prefix(1);
}

// UTF-16LE text to code page 932. ASCII, which most of a registry is, has
// the same bytes in both; anything else goes through the exact conversion.
bool ToCp932(std::string_view utf16, std::string* out) {
  out->clear();
  for (size_t i = 0; i < utf16.size(); i += 2) {
    if (i + 1 >= utf16.size() || utf16[i + 1] != '\0' ||
        static_cast<unsigned char>(utf16[i]) >= 0x80) {
      return Utf16leToCp932(utf16, out);
    }
    out->push_back(utf16[i]);
  }
  return true;
}

class Parser {
 public:
  Parser(std::string_view text, RegNode* root) : text_(text), root_(root) {}

  bool Run() {
    std::string_view line;
    if (!NextLine(&line) || line != kWineRegistryHeader) return false;
    while (NextLine(&line)) {
      if (line.empty()) continue;
      if (line.front() == '[') {
        current_ = Key(line.substr(1));
      } else if (line.front() == '@' || line.front() == '"') {
        // A value whose data goes on in the next lines must be read to its
        // end even when it is passed over.
        RegValue value;
        bool ok = Value(line, &value);
        if (ok && current_ != nullptr) {
          current_->SetValue(value.name, value.type, std::move(value.data));
        }
      } else if (line == "#link") {
        if (current_ != nullptr) current_->link = true;
      }
      // `;` comments, other `#` options of the file or the key, and lines
      // of no known form are passed over.
    }
    return true;
  }

 private:
  bool NextLine(std::string_view* line) { return NextTextLine(text_, &pos_, line); }

  // The key a key line names, made where missing; null when it can't be
  // named in code page 932 or lies too deep.
  RegNode* Key(std::string_view s) {
    std::string utf16;
    if (!Unescape(&s, ']', &utf16)) return nullptr;
    RegNode* node = root_;
    size_t start = 0;
    for (size_t i = 0; i <= utf16.size(); i += 2) {
      bool cut = i == utf16.size() || (utf16[i] == '\\' && utf16[i + 1] == '\0');
      if (!cut) continue;
      std::string name;
      if (i == start || !ToCp932(std::string_view(utf16).substr(start, i - start), &name) ||
          name.empty() || name.size() > kRegMaxKeyName || name.find('\0') != std::string::npos) {
        return nullptr;
      }
      RegNode* child = node->FindOrAddChild(name, node->depth() < kRegMaxDepth);
      if (child == nullptr) return nullptr;  // too deep
      node = child;
      start = i + 2;
    }
    return node;
  }

  // Reads a value line (and the lines its data goes on in). False when it
  // can't be read or has no code page 932 form.
  bool Value(std::string_view s, RegValue* value) {
    bool named = s.front() == '"';
    s.remove_prefix(1);
    std::string utf16;
    if (named && !Unescape(&s, '"', &utf16)) return false;
    if (!ToCp932(utf16, &value->name) || value->name.find('\0') != std::string::npos) {
      value->name.clear();
      Data(s, value);  // still read to its end
      return false;
    }
    return Data(s, value);
  }

  bool Data(std::string_view s, RegValue* value) {
    SkipBlanks(&s);
    if (s.empty() || s.front() != '=') return false;
    s.remove_prefix(1);
    SkipBlanks(&s);
    if (!s.empty() && s.front() == '"') return Text(s, kRegTypeSz, value);
    if (s.substr(0, 4) == "str(") {
      size_t close = s.find(')');
      uint32_t type;
      if (close == std::string_view::npos || !ParseHex(s.substr(4, close - 4), 8, &type) ||
          s.substr(close + 1, 2) != ":\"") {
        return false;
      }
      return Text(s.substr(close + 2), type, value);
    }
    if (s.substr(0, 6) == "dword:") {
      if (!ParseDword(s.substr(6), &value->data)) return false;
      value->type = kRegTypeDword;
      return true;
    }
    if (!TakeHexPrefix(&s, &value->type)) return false;
    std::string bytes;
    if (!HexList(s, &bytes)) return false;
    if (!IsRegTextType(value->type)) {
      value->data = std::move(bytes);
      return true;
    }
    return ToCp932(bytes, &value->data);
  }

  // A quoted string (s at its opening quote) of the given type: its text and
  // a terminating zero, in code page 932 for the text types and as UTF-16LE
  // for any other.
  static bool Text(std::string_view s, uint32_t type, RegValue* value) {
    s.remove_prefix(1);
    std::string utf16;
    if (!Unescape(&s, '"', &utf16)) return false;
    SkipBlanks(&s);
    if (!s.empty()) return false;
    value->type = type;
    if (!IsRegTextType(type)) {
      value->data = utf16 + std::string(2, '\0');
      return true;
    }
    if (!ToCp932(utf16, &value->data)) return false;
    value->data.push_back('\0');
    return true;
  }

  // Comma-separated bytes; a line ending in a backslash goes on in the next.
  // The continuation lines are consumed even when the list is bad.
  bool HexList(std::string_view s, std::string* out) {
    bool ok = true;
    for (;;) {
      while (!s.empty() && Blank(s.back())) s.remove_suffix(1);
      bool more = !s.empty() && s.back() == '\\';
      if (more) s.remove_suffix(1);
      while (ok && !s.empty()) {
        SkipBlanks(&s);
        size_t comma = s.find(',');
        std::string_view token = s.substr(0, comma);
        while (!token.empty() && Blank(token.back())) token.remove_suffix(1);
        uint32_t b;
        ok = ParseHex(token, 2, &b);
        if (ok) out->push_back(static_cast<char>(b));
        if (comma == std::string_view::npos) break;
        s.remove_prefix(comma + 1);
      }
      if (!more) return ok;
      if (!NextLine(&s)) return false;
    }
  }

  std::string_view text_;
  size_t pos_ = 0;
  RegNode* root_;
  RegNode* current_ = nullptr;
};

}  // namespace

bool ParseWineRegistry(std::string_view text, RegNode* root) { return Parser(text, root).Run(); }

}  // namespace platform::posix
