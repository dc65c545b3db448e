#include "platform/posix/registry_file.h"

#include <cstdio>
#include <cstring>

#include "platform/posix/cp932.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace platform::posix {

const char* const kRegRootNames[kRegRootCount] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",
                                                  "HKEY_LOCAL_MACHINE", "HKEY_USERS",
                                                  "HKEY_CURRENT_CONFIG"};

RegTree::RegTree() {
  for (int i = 0; i < kRegRootCount; ++i) {
    roots[i] = std::make_shared<RegNode>();
    roots[i]->name = kRegRootNames[i];
  }
}

// Names hold no zero byte (the calls pass them as C strings), so the
// comparison of the C string forms is the comparison of the names.
RegValue* RegNode::FindValue(std::string_view n) {
  std::string key(n);
  for (RegValue& v : values) {
    if (CompareNoCase(v.name.c_str(), key.c_str()) == 0) return &v;
  }
  return nullptr;
}

RegNode* RegNode::FindChild(std::string_view n) {
  std::string key(n);
  for (auto& c : children) {
    if (CompareNoCase(c->name.c_str(), key.c_str()) == 0) return c.get();
  }
  return nullptr;
}

RegNode* RegNode::AddChild(std::string n) {
  auto node = std::make_shared<RegNode>();
  node->name = std::move(n);
  node->depth = depth + 1;
  auto at = children.begin();
  while (at != children.end() && CompareNoCase((*at)->name.c_str(), node->name.c_str()) < 0) ++at;
  return children.insert(at, std::move(node))->get();
}

namespace {

// ---- UTF-16LE <-> code page 932, through UTF-8 ----

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void AppendUnit(uint32_t u, std::string* out) {
  out->push_back(static_cast<char>(u & 0xFF));
  out->push_back(static_cast<char>(u >> 8));
}

// Decodes well-formed UTF-8 (as iconv writes it) into UTF-16LE bytes.
bool Utf8ToUtf16le(std::string_view in, std::string* out) {
  out->clear();
  size_t i = 0;
  while (i < in.size()) {
    unsigned char c = static_cast<unsigned char>(in[i]);
    int extra = c < 0x80             ? 0
                : (c & 0xE0) == 0xC0 ? 1
                : (c & 0xF0) == 0xE0 ? 2
                : (c & 0xF8) == 0xF0 ? 3
                                     : -1;
    if (extra < 0 || in.size() - i <= static_cast<size_t>(extra)) return false;
    uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
      unsigned char d = static_cast<unsigned char>(in[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    i += static_cast<size_t>(extra) + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      AppendUnit(0xD800 | (cp >> 10), out);
      AppendUnit(0xDC00 | (cp & 0x3FF), out);
    } else {
      AppendUnit(cp, out);
    }
  }
  return true;
}

bool Utf16leToUtf8(std::string_view in, std::string* out) {
  out->clear();
  if (in.size() % 2 != 0) return false;
  for (size_t i = 0; i < in.size(); i += 2) {
    uint32_t u = static_cast<unsigned char>(in[i]) | (static_cast<unsigned char>(in[i + 1]) << 8);
    if (u >= 0xDC00 && u <= 0xDFFF) return false;
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 3 >= in.size()) return false;
      uint32_t v =
          static_cast<unsigned char>(in[i + 2]) | (static_cast<unsigned char>(in[i + 3]) << 8);
      if (v < 0xDC00 || v > 0xDFFF) return false;
      u = 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00);
      i += 2;
    }
    AppendUtf8(u, out);
  }
  return true;
}

}  // namespace

bool Cp932ToUtf16le(std::string_view in, std::string* out) {
  std::string utf8;
  return Cp932ToUtf8(in, &utf8) && Utf8ToUtf16le(utf8, out);
}

bool Utf16leToCp932(std::string_view in, std::string* out) {
  std::string utf8;
  return Utf16leToUtf8(in, &utf8) && Utf8ToCp932(utf8, out);
}

namespace {

// ---- Reading ----

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses 1 to max hex digits, the whole of s.
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

// Reads a quoted text at the start of *s (after its opening quote has been
// seen there); \\ and \" are the only escapes. Leaves *s after the closing quote.
bool ParseQuoted(std::string_view* s, std::string* out) {
  out->clear();
  size_t i = 1;
  while (i < s->size()) {
    char c = (*s)[i];
    if (c == '"') {
      s->remove_prefix(i + 1);
      return true;
    }
    if (c == '\\') {
      if (i + 1 >= s->size()) return false;
      char e = (*s)[i + 1];
      if (e != '\\' && e != '"') return false;
      out->push_back(e);
      i += 2;
      continue;
    }
    out->push_back(c);
    ++i;
  }
  return false;
}

// Converts one key name from the file and checks it can be a key.
bool KeyName(std::string_view utf8, std::string* out) {
  return !utf8.empty() && Utf8ToCp932(utf8, out) && !out->empty() && out->size() <= kRegMaxKeyName;
}

class Parser {
 public:
  Parser(std::string_view text, RegTree* tree) : text_(text), tree_(tree) {}

  bool Run() {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") text_.remove_prefix(3);
    if (text_.find('\0') != std::string_view::npos) return false;
    // A carriage return only ever ends a line: no name or text holds one.
    for (size_t cr = text_.find('\r'); cr != std::string_view::npos;
         cr = text_.find('\r', cr + 1)) {
      if (cr + 1 < text_.size() && text_[cr + 1] != '\n') return false;
    }
    bool header = false;
    std::string_view line;
    while (NextLine(&line)) {
      line = Trim(line);
      if (line.empty() || line.front() == ';') continue;
      if (!header) {
        if (line != "Windows Registry Editor Version 5.00" && line != "REGEDIT4") return false;
        tree_->header = std::string(line);
        header = true;
        continue;
      }
      bool ok = line.front() == '[' ? Section(line) : Value(line);
      if (!ok) return false;
    }
    return header;
  }

 private:
  bool NextLine(std::string_view* line) {
    if (pos_ >= text_.size()) return false;
    size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) end = text_.size();
    *line = text_.substr(pos_, end - pos_);
    if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
    pos_ = end + 1;
    return true;
  }

  bool Section(std::string_view line) {
    size_t close = line.rfind(']');
    if (close == std::string_view::npos || close != line.size() - 1) return false;
    std::string_view path = line.substr(1, close - 1);
    if (path.empty() || path.front() == '-') return false;
    size_t cut = path.find('\\');
    std::string rootName(path.substr(0, cut));
    current_ = nullptr;
    for (int i = 0; i < kRegRootCount; ++i) {
      if (CompareNoCase(rootName.c_str(), kRegRootNames[i]) == 0) current_ = tree_->roots[i].get();
    }
    if (current_ == nullptr) return false;
    while (cut != std::string_view::npos) {
      path.remove_prefix(cut + 1);
      cut = path.find('\\');
      std::string name;
      if (!KeyName(path.substr(0, cut), &name)) return false;
      RegNode* child = current_->FindChild(name);
      if (child == nullptr && current_->depth >= kRegMaxDepth) return false;
      current_ = child != nullptr ? child : current_->AddChild(std::move(name));
    }
    return true;
  }

  bool Value(std::string_view line) {
    if (current_ == nullptr) return false;
    std::string nameUtf8;
    if (line.front() == '@') {
      line.remove_prefix(1);
    } else if (line.front() != '"' || !ParseQuoted(&line, &nameUtf8)) {
      return false;
    }
    line = Trim(line);
    if (line.empty() || line.front() != '=') return false;
    line = Trim(line.substr(1));
    RegValue value;
    if (!Utf8ToCp932(nameUtf8, &value.name)) return false;
    if (!Data(line, &value)) return false;
    RegValue* old = current_->FindValue(value.name);
    if (old != nullptr) {
      old->type = value.type;
      old->data = std::move(value.data);
    } else {
      current_->values.push_back(std::move(value));
    }
    return true;
  }

  bool Data(std::string_view s, RegValue* value) {
    if (!s.empty() && s.front() == '"') {
      std::string utf8;
      if (!ParseQuoted(&s, &utf8) || !Trim(s).empty()) return false;
      if (!Utf8ToCp932(utf8, &value->data)) return false;
      value->data.push_back('\0');
      value->type = kRegTypeSz;
      return true;
    }
    if (s.substr(0, 6) == "dword:") {
      uint32_t v;
      if (!ParseHex(s.substr(6), 8, &v)) return false;
      value->type = kRegTypeDword;
      value->data.assign(4, '\0');
      for (int i = 0; i < 4; ++i) value->data[i] = static_cast<char>(v >> (8 * i));
      return true;
    }
    if (s.substr(0, 3) != "hex") return false;
    s.remove_prefix(3);
    value->type = kRegTypeBinary;
    if (!s.empty() && s.front() == '(') {
      size_t close = s.find(')');
      if (close == std::string_view::npos || !ParseHex(s.substr(1, close - 1), 8, &value->type)) {
        return false;
      }
      s.remove_prefix(close + 1);
    }
    if (s.empty() || s.front() != ':') return false;
    std::string bytes;
    if (!HexList(s.substr(1), &bytes)) return false;
    if (value->type == kRegTypeSz || value->type == kRegTypeExpandSz || value->type == 7) {
      return Utf16leToCp932(bytes, &value->data);
    }
    value->data = std::move(bytes);
    return true;
  }

  // Comma-separated bytes; a line ending in a backslash goes on in the next.
  bool HexList(std::string_view s, std::string* out) {
    for (;;) {
      s = Trim(s);
      bool more = !s.empty() && s.back() == '\\';
      if (more) s = Trim(s.substr(0, s.size() - 1));
      while (!s.empty()) {
        size_t comma = s.find(',');
        std::string_view token = Trim(s.substr(0, comma));
        uint32_t b;
        if (!ParseHex(token, 2, &b)) return false;
        out->push_back(static_cast<char>(b));
        if (comma == std::string_view::npos) {
          if (more) return false;  // a continued line ends in a comma
          break;
        }
        s.remove_prefix(comma + 1);
        // Only a continued line may end in a comma.
        if (Trim(s).empty() && !more) return false;
      }
      if (!more) return true;
      if (!NextLine(&s)) return false;
    }
  }

  std::string_view text_;
  RegTree* tree_;
  size_t pos_ = 0;
  RegNode* current_ = nullptr;
};

// ---- Writing ----

void AppendEscaped(std::string_view utf8, std::string* out) {
  out->push_back('"');
  for (char c : utf8) {
    if (c == '\\' || c == '"') out->push_back('\\');
    out->push_back(c);
  }
  out->push_back('"');
}

bool HasLineBreak(std::string_view s) {
  return s.find('\r') != std::string_view::npos || s.find('\n') != std::string_view::npos;
}

// `hex:` or `hex(t):` and the bytes, wrapped as the registry editor wraps.
void AppendHex(std::string_view prefix, std::string_view bytes, std::string* out,
               size_t lineStart) {
  out->append(prefix);
  for (size_t i = 0; i < bytes.size(); ++i) {
    char b[4];
    std::snprintf(b, sizeof(b), "%02x", static_cast<unsigned char>(bytes[i]));
    out->append(b);
    if (i + 1 == bytes.size()) break;
    out->push_back(',');
    if (out->size() - lineStart > 76) {
      out->append("\\\r\n  ");
      lineStart = out->size() - 2;
    }
  }
}

bool AppendValue(const RegValue& v, std::string* out) {
  size_t lineStart = out->size();
  std::string utf8;
  if (v.name.empty()) {
    out->push_back('@');
  } else {
    if (!Cp932ToUtf8(v.name, &utf8) || HasLineBreak(utf8)) return false;
    AppendEscaped(utf8, out);
  }
  out->push_back('=');
  const std::string& d = v.data;
  bool plainText = v.type == kRegTypeSz && !d.empty() && d.find('\0') == d.size() - 1;
  if (plainText && Cp932ToUtf8(std::string_view(d).substr(0, d.size() - 1), &utf8) &&
      !HasLineBreak(utf8)) {
    AppendEscaped(utf8, out);
  } else if (v.type == kRegTypeDword && d.size() == 4) {
    char b[16];
    uint32_t x = 0;
    for (int i = 3; i >= 0; --i) x = (x << 8) | static_cast<unsigned char>(d[i]);
    std::snprintf(b, sizeof(b), "dword:%08x", x);
    out->append(b);
  } else if (v.type == kRegTypeBinary) {
    AppendHex("hex:", d, out, lineStart);
  } else {
    char prefix[24];
    std::snprintf(prefix, sizeof(prefix), "hex(%x):", v.type);
    std::string bytes = d;
    if ((v.type == kRegTypeSz || v.type == kRegTypeExpandSz || v.type == 7) &&
        !Cp932ToUtf16le(d, &bytes)) {
      return false;
    }
    AppendHex(prefix, bytes, out, lineStart);
  }
  out->append("\r\n");
  return true;
}

bool AppendKey(const RegNode& node, const std::string& path, bool isRoot, std::string* out) {
  if (!isRoot || !node.values.empty()) {
    out->append("[" + path + "]\r\n");
    for (const RegValue& v : node.values) {
      if (!AppendValue(v, out)) return false;
    }
    out->append("\r\n");
  }
  for (const auto& child : node.children) {
    std::string name;
    if (!Cp932ToUtf8(child->name, &name) || HasLineBreak(name)) return false;
    if (!AppendKey(*child, path + "\\" + name, false, out)) return false;
  }
  return true;
}

}  // namespace

bool ParseRegistryFile(std::string_view text, RegTree* tree) {
  *tree = RegTree();
  return Parser(text, tree).Run();
}

bool FormatRegistryFile(const RegTree& tree, std::string* text) {
  text->assign(tree.header + "\r\n\r\n");
  for (int i = 0; i < kRegRootCount; ++i) {
    if (!AppendKey(*tree.roots[i], kRegRootNames[i], true, text)) return false;
  }
  return true;
}

}  // namespace platform::posix
