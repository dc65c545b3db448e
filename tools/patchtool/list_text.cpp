// The text of an update list as the installer reads it: its lines (a lead
// byte takes the line feed after it along), where a NUL byte ends it, text
// that is UTF-8 rather than code page 932, and settings whose values the
// installer would use otherwise than meant.
#include "tools/patchtool/list_text.h"

#include <cstring>
#include <string>
#include <vector>

#include "app/update_list.h"
#include "app/update_list_internal.h"
#include "platform/text.h"
#include "tools/patchtool/patchtool.h"

namespace patchtool {
namespace {

// The length of the well-formed UTF-8 sequence at text[i]; 0 when none.
size_t Utf8Sequence(const std::string& text, size_t i) {
  unsigned char b = static_cast<unsigned char>(text[i]);
  size_t n = b < 0x80             ? 1
             : (b & 0xE0) == 0xC0 ? 2
             : (b & 0xF0) == 0xE0 ? 3
             : (b & 0xF8) == 0xF0 ? 4
                                  : 0;
  if (n == 0 || i + n > text.size() || (n == 2 && b < 0xC2) || (n == 4 && b > 0xF4)) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
  }
  unsigned char c = static_cast<unsigned char>(text[i + 1 < text.size() ? i + 1 : i]);
  if ((b == 0xE0 && c < 0xA0) || (b == 0xF0 && c < 0x90) || (b == 0xED && c >= 0xA0)) return 0;
  return n;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  size_t n = std::strlen(prefix);
  return text.size() >= n && FoldCase(text.substr(0, n)) == FoldCase(prefix);
}

}  // namespace

std::vector<ListLine> SplitListText(const std::string& raw) {
  std::string view = raw.substr(0, raw.find('\0'));
  std::vector<ListLine> lines;
  int physical = 1;
  size_t counted = 0;  // raw bytes whose line feeds are in physical
  if (view.empty()) return lines;
  for (size_t pos = 0; pos < view.size();) {
    size_t lf = std::string::npos;
    for (size_t i = pos; i < view.size(); ++i) {
      if (platform::IsLeadByte(static_cast<unsigned char>(view[i]))) {
        if (i + 1 >= view.size()) break;
        ++i;
        continue;
      }
      if (view[i] == '\n') {
        lf = i;
        break;
      }
    }
    for (; counted < pos; ++counted) physical += view[counted] == '\n';
    ListLine line;
    line.m_number = physical;
    size_t end = lf == std::string::npos ? view.size() : lf;
    line.m_text = view.substr(pos, end - pos);
    if (lf != std::string::npos && !line.m_text.empty() && line.m_text.back() == '\r') {
      line.m_text.pop_back();
    }
    line.m_swallowed = 0;
    for (size_t i = pos; i < end; ++i) line.m_swallowed += view[i] == '\n';
    lines.push_back(line);
    if (lf == std::string::npos) break;
    pos = lf + 1;
  }
  return lines;
}

int TextFault(const std::string& text, std::string* code, std::string* message) {
  for (const ListLine& line : SplitListText(text)) {
    Utf8Kind kind = Utf8Of(line.m_text);
    if (kind == Utf8Kind::kSure) {
      *code = "utf-8";
      *message = "the text is UTF-8: the installer reads code page 932 and shows '" + line.m_text +
                 "' garbled";
      return line.m_number;
    }
  }
  size_t nul = text.find('\0');
  if (nul != std::string::npos) {
    int number = 1;
    for (size_t i = 0; i < nul; ++i) number += text[i] == '\n';
    *code = "nul-byte";
    *message = "a NUL byte: the installer reads nothing after it";
    return number;
  }
  return 0;
}

Utf8Kind Utf8Of(const std::string& text) {
  bool wide = false;
  bool any = false;
  for (size_t i = 0; i < text.size();) {
    size_t n = Utf8Sequence(text, i);
    if (n == 0) return Utf8Kind::kNo;
    any |= n > 1;
    wide |= n > 2;
    i += n;
  }
  return wide ? Utf8Kind::kSure : any ? Utf8Kind::kMaybe : Utf8Kind::kNo;
}

std::string SettingFault(int key, const std::string& value, std::string* code) {
  if (key != kRegBase || value.empty()) return "";
  *code = "regbase";
  std::string tail =
      " (the installer looks below HKEY_CURRENT_USER\\Software\\ itself): every "
      "player would be told the game is not installed";
  if (value[0] == '\\' || value[0] == '/') return "regbase starts with a separator" + tail;
  if (StartsWithNoCase(value, "HKEY_") || StartsWithNoCase(value, "HKCU") ||
      StartsWithNoCase(value, "HKLM") || StartsWithNoCase(value, "HKU\\")) {
    return "regbase names a root key" + tail;
  }
  if (StartsWithNoCase(value, "Software\\") || StartsWithNoCase(value, "Software/")) {
    return "regbase starts with Software\\" + tail;
  }
  for (const std::string& c : Characters(value)) {
    if (c == "/") return "regbase holds '/', which is no separator of registry keys" + tail;
  }
  if (value.back() == '\\' || value.find("\\\\") != std::string::npos) {
    return "regbase holds an empty key name" + tail;
  }
  return "";
}

std::vector<std::string> SettingValues(const std::string& text, std::vector<bool>* present) {
  std::vector<std::string> values(6);
  present->assign(6, false);
  CVxString list(text.c_str());
  for (CVxString line = list.GetFirstLine(); !list.IsLineEnd(); line = list.GetNextLine()) {
    int32_t p = 0;
    if (update_list_internal::ClassifyLine(line, &p) != update_list_internal::LineKind::kSetting) {
      continue;
    }
    CVxString key;
    CVxString value;
    update_list_internal::SplitSetting(line, p, &key, &value);
    int found = update_list_internal::LookUpSettingKey(key);
    if (found == kNoKey) continue;
    values[found] = value.GetLength() > 0 ? std::string(value.GetBuffer()) : std::string();
    (*present)[found] = true;
  }
  return values;
}

}  // namespace patchtool
