// Names as Windows holds them: which names it can't hold, which two it takes
// for one, and how long a path the installer can copy to.
#include <string>
#include <vector>

#include "platform/text.h"
#include "tools/patchtool/patchtool.h"

namespace patchtool {
namespace {

// The upper-case form of a double-byte letter that Windows folds (full-width
// Latin, Greek and Cyrillic); the character itself when none.
std::string FoldDoubleByte(const std::string& c) {
  unsigned lead = static_cast<unsigned char>(c[0]);
  unsigned trail = static_cast<unsigned char>(c[1]);
  unsigned upper = trail;
  if (lead == 0x82 && trail >= 0x81 && trail <= 0x9A) upper = trail - 0x21;  // ａ-ｚ
  if (lead == 0x83 && trail >= 0xBF && trail <= 0xD6) upper = trail - 0x20;  // α-ω
  if (lead == 0x84 && trail >= 0x70 && trail <= 0x7E) upper = trail - 0x30;  // а-н, ё
  if (lead == 0x84 && trail >= 0x80 && trail <= 0x91) upper = trail - 0x31;  // о-я
  std::string folded = c;
  folded[1] = static_cast<char>(upper);
  return folded;
}

bool IsDeviceName(const std::string& name) {
  // The part before the first dot, without trailing blanks, case-blind.
  std::string base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
         base[3] >= '1' && base[3] <= '9';
}

}  // namespace

std::vector<std::string> Characters(const std::string& text) {
  std::vector<std::string> characters;
  for (size_t i = 0; i < text.size();) {
    size_t step =
        platform::IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size() ? 2 : 1;
    characters.push_back(text.substr(i, step));
    i += step;
  }
  return characters;
}

std::string FoldCase(const std::string& text) {
  std::string folded;
  folded.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    if (platform::IsLeadByte(b) && i + 1 < text.size()) {
      folded += FoldDoubleByte(text.substr(i, 2));
      i += 2;
      continue;
    }
    folded += b >= 'a' && b <= 'z' ? static_cast<char>(b - 'a' + 'A') : static_cast<char>(b);
    ++i;
  }
  return folded;
}

std::string WindowsNameFault(const std::string& name) {
  if (name.empty()) return "an empty name";
  for (const std::string& c : Characters(name)) {
    unsigned char b = static_cast<unsigned char>(c[0]);
    if (c.size() == 1 && (b < 0x20 || std::string("<>:\"/\\|?*").find(c) != std::string::npos)) {
      return c == "\\" ? "a backslash, which Windows takes for a folder separator"
                       : "a character that Windows names can't hold";
    }
  }
  if (name.back() == '.' || name.back() == ' ') {
    return "a name that ends in a dot or a blank, which Windows drops";
  }
  if (IsDeviceName(name)) return "a name that Windows keeps for a device";
  return "";
}

std::string PathFault(const std::string& path) {
  std::string part;
  for (const std::string& c : Characters(path + "\\")) {
    if (c != "\\") {
      part += c;
      continue;
    }
    std::string fault = WindowsNameFault(part);
    if (!fault.empty()) return "'" + part + "' is " + fault;
    part.clear();
  }
  return "";
}

std::vector<std::string> PathComponents(const std::string& path) {
  std::vector<std::string> parts(1);
  for (const std::string& c : Characters(path)) {
    if (c == "\\" || c == "/") {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  std::vector<std::string> kept;
  for (std::string& part : parts) {
    if (!part.empty()) kept.push_back(std::move(part));
  }
  return kept;
}

std::string PathKey(const std::string& path) {
  std::vector<std::string> kept;
  for (std::string part : PathComponents(path)) {
    if (part == ".") continue;
    if (part == "..") {
      if (!kept.empty()) kept.pop_back();
      continue;
    }
    while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
    kept.push_back(FoldCase(part));
  }
  std::string key;
  for (const std::string& part : kept) key += "\\" + part;
  return key;
}

LengthVerdict PathLengthVerdict(const std::string& relative) {
  // The installer copies to install folder, `\`, relative path, in 259
  // bytes; the shortest install folder is a drive's root ("C:").
  if (relative.size() + 3 > kCopyPathLimit) return LengthVerdict::kNever;
  if (relative.size() + kFolderRoom > kCopyPathLimit) return LengthVerdict::kShortFoldersOnly;
  return LengthVerdict::kFits;
}

}  // namespace patchtool
