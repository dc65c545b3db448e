#include "platform/posix/registry/registry_file.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

#include "platform/posix/registry/registry_text.h"
#include "platform/posix/text/ascii.h"
#include "platform/posix/text/cp932.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace platform::posix {

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

// Decodes well-formed UTF-8 (as iconv writes it) into UTF-16LE bytes.
bool Utf8ToUtf16le(std::string_view in, std::string* out) {
  out->clear();
  while (!in.empty()) {
    if (!TakeUtf8(&in, out)) return false;
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

// Code page 932 and UTF-8 agree on ASCII (0x5C is the backslash, 0x7E the
// tilde), so ASCII text, which is most of a registry file, needs no
// converter.
bool ToCp932(std::string_view utf8, std::string* out) {
  if (!IsAscii(utf8)) return Utf8ToCp932(utf8, out);
  out->assign(utf8);
  return true;
}

bool ToUtf8(std::string_view cp932, std::string* out) {
  if (!IsAscii(cp932)) return Cp932ToUtf8(cp932, out);
  out->assign(cp932);
  return true;
}

}  // namespace

bool Cp932ToUtf16le(std::string_view in, std::string* out) {
  std::string utf8;
  return ToUtf8(in, &utf8) && Utf8ToUtf16le(utf8, out);
}

bool Utf16leToCp932(std::string_view in, std::string* out) {
  std::string utf8;
  return Utf16leToUtf8(in, &utf8) && ToCp932(utf8, out);
}

namespace {

// ---- Reading ----

constexpr std::string_view kVersion5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kRegedit4 = "REGEDIT4";

// A carriage return that does not end a line (one in a comment, say) counts
// as a blank at either end of a line.
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
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
  return !utf8.empty() && ToCp932(utf8, out) && !out->empty() && out->size() <= kRegMaxKeyName;
}

class Parser {
 public:
  Parser(std::string_view text, RegTree* tree) : text_(text), tree_(tree) {}

  bool Run() {
    if (text_.find('\0') != std::string_view::npos) return false;
    bool header = false;
    std::string_view line;
    while (NextLine(&line)) {
      line = Trim(line);
      if (line.empty() || line.front() == ';') continue;
      if (!header) {
        if (line != kVersion5 && line != kRegedit4) return false;
        tree_->header = std::string(line);
        regedit4_ = line == kRegedit4;
        header = true;
        continue;
      }
      bool ok = line.front() == '[' ? Section(line) : Value(line);
      if (!ok) return false;
    }
    return header;
  }

 private:
  // The next line without its line end: a line feed, or a carriage return
  // and a line feed. Any other carriage return belongs to the line.
  bool NextLine(std::string_view* line) { return NextTextLine(text_, &pos_, line); }

  // `[path]` makes the key current, creating it and the keys above it;
  // `[-path]` removes the key with its sub-keys, and the values that follow
  // it, up to the next section, are read but kept nowhere.
  bool Section(std::string_view line) {
    if (line.back() != ']') return false;
    std::string_view path = line.substr(1, line.size() - 2);
    bool remove = !path.empty() && path.front() == '-';
    if (remove) path.remove_prefix(1);
    size_t cut = path.find('\\');
    std::string_view rootName = path.substr(0, cut);
    // The keys of the last section line serve again for the names it shares
    // with this one (written the same), so that the sections of siblings do
    // not look their keys up from the root each time.
    bool same = !last_.empty() && last_[0].first == rootName;
    RegNode* node = same ? last_[0].second : nullptr;
    for (int i = 0; node == nullptr && i < kRegRootCount; ++i) {
      if (CompareNoCase(std::string(rootName).c_str(), kRegRootNames[i]) == 0) {
        node = tree_->roots[i].get();
      }
    }
    if (node == nullptr) return false;
    std::vector<std::pair<std::string_view, RegNode*>> keys = {{rootName, node}};
    RegNode* parent = nullptr;
    std::string name;
    while (cut != std::string_view::npos) {
      path.remove_prefix(cut + 1);
      cut = path.find('\\');
      std::string_view written = path.substr(0, cut);
      same = same && keys.size() < last_.size() && last_[keys.size()].first == written;
      if (!KeyName(written, &name)) return false;
      if (node == nullptr) continue;  // removing a key that is not there
      RegNode* child = same ? last_[keys.size()].second
                            : node->FindOrAddChild(name, !remove && node->depth() < kRegMaxDepth);
      if (child == nullptr && !remove) return false;  // too deep
      parent = node;
      node = child;
      keys.emplace_back(written, node);
    }
    if (!remove) {
      last_ = std::move(keys);
      current_ = node;
      return true;
    }
    if (node != nullptr && parent != nullptr) parent->RemoveChild(name);  // a root stays
    last_.clear();
    discard_ = std::make_unique<RegNode>(std::string(), 0);
    current_ = discard_.get();
    return true;
  }

  // `"name"=data` or `@=data` sets a value of the current key; `"name"=-`
  // removes it.
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
    std::string name;
    if (!ToCp932(nameUtf8, &name)) return false;
    if (line == "-") {
      current_->RemoveValue(name);
      return true;
    }
    uint32_t type = 0;
    std::string data;
    if (!Data(line, &type, &data)) return false;
    current_->SetValue(name, type, std::move(data));
    return true;
  }

  bool Data(std::string_view s, uint32_t* type, std::string* data) {
    if (!s.empty() && s.front() == '"') {
      std::string utf8;
      if (!ParseQuoted(&s, &utf8) || !Trim(s).empty()) return false;
      if (!ToCp932(utf8, data)) return false;
      data->push_back('\0');
      *type = kRegTypeSz;
      return true;
    }
    if (s.substr(0, 6) == "dword:") {
      if (!ParseDword(s.substr(6), data)) return false;
      *type = kRegTypeDword;
      return true;
    }
    if (!TakeHexPrefix(&s, type)) return false;
    std::string bytes;
    if (!HexList(s, &bytes)) return false;
    if (IsRegTextType(*type) && !regedit4_) return Utf16leToCp932(bytes, data);
    *data = std::move(bytes);  // REGEDIT4 text is code page 932 bytes already
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
  bool regedit4_ = false;
  RegNode* current_ = nullptr;
  std::unique_ptr<RegNode> discard_;  // takes the values below a removal line
  std::vector<std::pair<std::string_view, RegNode*>> last_;  // see Section
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

// A line feed ends a line wherever it stands; a lone carriage return does not.
bool HasLineFeed(std::string_view s) { return s.find('\n') != std::string_view::npos; }

// `hex:` or `hex(t):` and the bytes, wrapped as the registry editor wraps.
void AppendHex(std::string_view prefix, std::string_view bytes, std::string* out,
               size_t lineStart) {
  static const char kDigits[] = "0123456789abcdef";
  out->append(prefix);
  for (size_t i = 0; i < bytes.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(bytes[i]);
    out->push_back(kDigits[b >> 4]);
    out->push_back(kDigits[b & 15]);
    if (i + 1 == bytes.size()) break;
    out->push_back(',');
    if (out->size() - lineStart > 76) {
      out->append("\\\r\n  ");
      lineStart = out->size() - 2;
    }
  }
}

class Writer {
 public:
  Writer(const RegTree& tree, std::string* out) : regedit4_(tree.header == kRegedit4), out_(out) {}

  bool AppendValue(const RegValue& v) {
    size_t lineStart = out_->size();
    if (v.name.empty()) {
      out_->push_back('@');
    } else {
      if (!ToUtf8(v.name, &utf8_) || HasLineFeed(utf8_)) return false;
      AppendEscaped(utf8_, out_);
    }
    out_->push_back('=');
    const std::string& d = v.data;
    bool plainText = v.type == kRegTypeSz && !d.empty() && d.find('\0') == d.size() - 1;
    if (plainText && ToUtf8(std::string_view(d).substr(0, d.size() - 1), &utf8_) &&
        !HasLineFeed(utf8_)) {
      AppendEscaped(utf8_, out_);
    } else if (v.type == kRegTypeDword && d.size() == 4) {
      static const char kDigits[] = "0123456789abcdef";
      out_->append("dword:");
      for (int i = 3; i >= 0; --i) {
        unsigned char b = static_cast<unsigned char>(d[i]);
        out_->push_back(kDigits[b >> 4]);
        out_->push_back(kDigits[b & 15]);
      }
    } else if (v.type == kRegTypeBinary) {
      AppendHex("hex:", d, out_, lineStart);
    } else {
      char prefix[24];
      std::snprintf(prefix, sizeof(prefix), "hex(%x):", v.type);
      if (IsRegTextType(v.type) && !regedit4_) {
        std::string wide;
        if (!Cp932ToUtf16le(d, &wide)) return false;
        AppendHex(prefix, wide, out_, lineStart);
      } else {
        AppendHex(prefix, d, out_, lineStart);
      }
    }
    out_->append("\r\n");
    return true;
  }

  // The key's section (a root's only when it has values), then its
  // sub-keys'; *path is the key's path and is left as it was found.
  bool AppendKey(const RegNode& node, std::string* path, bool isRoot) {
    if (!isRoot || !node.values().empty()) {
      out_->push_back('[');
      out_->append(*path);
      out_->append("]\r\n");
      for (const RegValue& v : node.values()) {
        if (!AppendValue(v)) return false;
      }
      out_->append("\r\n");
    }
    size_t length = path->size();
    for (const auto& entry : node.children()) {
      if (!ToUtf8(entry.second->name(), &utf8_) || HasLineFeed(utf8_)) return false;
      path->push_back('\\');
      path->append(utf8_);
      if (!AppendKey(*entry.second, path, false)) return false;
      path->resize(length);
    }
    return true;
  }

 private:
  bool regedit4_;
  std::string* out_;
  std::string utf8_;
};

}  // namespace

bool ParseRegistryFile(std::string_view bytes, RegTree* tree) {
  *tree = RegTree();
  std::string decoded;
  std::string_view text = bytes;
  if (text.substr(0, 2) == "\xFF\xFE") {
    tree->encoding = RegEncoding::kUtf16le;
    if (!Utf16leToUtf8(text.substr(2), &decoded)) return false;
    text = decoded;
  } else if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    tree->encoding = RegEncoding::kUtf8Bom;
    text.remove_prefix(3);
  }
  if (text.empty()) return true;  // an empty file is an empty registry
  return Parser(text, tree).Run();
}

bool FormatRegistryFile(const RegTree& tree, std::string* bytes) {
  std::string text = tree.header + "\r\n\r\n";
  Writer writer(tree, &text);
  for (int i = 0; i < kRegRootCount; ++i) {
    std::string path = kRegRootNames[i];
    if (!writer.AppendKey(*tree.roots[i], &path, true)) return false;
  }
  switch (tree.encoding) {
    case RegEncoding::kUtf8:
      *bytes = std::move(text);
      return true;
    case RegEncoding::kUtf8Bom:
      *bytes = "\xEF\xBB\xBF" + text;
      return true;
    case RegEncoding::kUtf16le:
      if (!Utf8ToUtf16le(text, bytes)) return false;
      bytes->insert(0, "\xFF\xFE");
      return true;
  }
  return false;
}

}  // namespace platform::posix
