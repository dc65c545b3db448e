// patchtool check: reads a patch folder's update.lst with the installer's
// own reader, expands its rules with the installer's own search, and reports
// what the installer would refuse, copy wrongly, or most likely not do as
// the author meant.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/copy_run.h"
#include "app/update_list.h"
#include "app/update_list_internal.h"
#include "platform/text.h"
#include "tools/patchtool/patchtool.h"

namespace patchtool {
namespace {

using update_list_internal::LineKind;

const char* const kKeyNames[] = {"",          "gametitle", "patchname",
                                 "mutexname", "regbase",   "reginstall"};

// Field capacity of each key, the terminating zero included.
size_t Capacity(int key) {
  switch (key) {
    case kGameTitle:
      return sizeof(UpdateSettings.m_title);
    case kPatchName:
      return sizeof(UpdateSettings.m_patchName);
    case kMutexName:
      return sizeof(UpdateSettings.m_mutexName);
    case kRegBase:
      return sizeof(UpdateSettings.m_regBase);
    default:
      return sizeof(UpdateSettings.m_regInstall);
  }
}

std::string Bytes(const CVxString& text) {
  std::string bytes;
  for (int32_t i = 0; i < text.GetLength(); ++i) bytes += text.GetAt(i);
  return bytes;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// True when a path names `..` as one of its folders (`\` or `/` between).
bool ClimbsUp(const std::string& path) {
  std::string part;
  for (const std::string& c : Characters(path + "\\")) {
    if (c == "\\" || c == "/") {
      if (part == "..") return true;
      part.clear();
    } else {
      part += c;
    }
  }
  return false;
}

// The folder part of a pattern as the installer takes it (GetPatternFolder).
std::string FolderOf(const std::string& pattern) {
  char folder[kCopyPathAreaSize];
  return GetPatternFolder(pattern.c_str(), folder) ? folder : pattern;
}

class Checker {
 public:
  std::vector<Finding> Run();

 private:
  void Error(int line, const std::string& text) { m_findings.push_back({line, true, text}); }
  void Warn(int line, const std::string& text) { m_findings.push_back({line, false, text}); }
  void CheckSetting(int number, const CVxString& line, int32_t p);
  void CheckRule(int number, const UpdateEntry& rule);
  void CheckMatches();

  std::vector<Finding> m_findings;
  std::vector<std::string> m_values = std::vector<std::string>(6);
  std::vector<int> m_keyLines = std::vector<int>(6, 0);
  std::vector<int> m_ruleLines;  // line of each rule, in list order
  std::vector<UpdateEntry> m_rules;
};

void Checker::CheckSetting(int number, const CVxString& line, int32_t p) {
  CVxString keyText;
  CVxString valueText;
  update_list_internal::SplitSetting(line, p, &keyText, &valueText);
  std::string key = Bytes(keyText);
  std::string value = Bytes(valueText);
  int found = update_list_internal::LookUpSettingKey(keyText);
  if (found == kNoKey) {
    for (int k = kGameTitle; k <= kRegInstall; ++k) {
      if (platform::CompareNoCase(key.c_str(), kKeyNames[k]) == 0) {
        Warn(number, "key '" + key + "' is ignored: keys are case-sensitive (write '" +
                         kKeyNames[k] + "')");
        return;
      }
    }
    Warn(number,
         (key.empty() ? std::string("a line that starts with '='") : "unknown key '" + key + "'") +
             " is ignored (a line that holds '=' is never a copy rule)");
    return;
  }
  if (m_keyLines[found] != 0) {
    Warn(number, std::string(kKeyNames[found]) + " is set again (first on line " +
                     std::to_string(m_keyLines[found]) + "): this later value wins");
  }
  m_keyLines[found] = number;
  m_values[found] = value;
  size_t most = Capacity(found) - 1;
  if (value.size() > most) {
    std::string size =
        std::to_string(value.size()) + " bytes, at most " + std::to_string(most) + " fit";
    if (found == kGameTitle || found == kPatchName) {
      Warn(number, std::string(kKeyNames[found]) + " is " + size + ": players see it cut");
    } else {
      Error(number, std::string(kKeyNames[found]) + " is " + size +
                        ": the installer refuses the whole list");
    }
  }
  if (value.find('\t') != std::string::npos) {
    Warn(number, std::string(kKeyNames[found]) + " holds a tab: all that follows belongs to it");
  }
}

void Checker::CheckRule(int number, const UpdateEntry& rule) {
  std::string source = Bytes(rule.m_source);
  std::string sub = Bytes(rule.m_destination);
  m_ruleLines.push_back(number);
  m_rules.push_back(rule);
  if (!sub.empty() && sub[0] != '\\' && sub[0] != '/') {
    Warn(number, "sub-path '" + sub +
                     "' has no leading backslash: it is appended to the name of "
                     "the install folder (C:\\Game + " +
                     sub + " = C:\\Game" + sub + ")");
  }
  if (ClimbsUp(FolderOf(source))) {
    Warn(number, "'..' in the folder part of '" + source + "': the files go above their place");
  }
  if (ClimbsUp(sub)) Warn(number, "'..' in sub-path '" + sub + "': the files go above it");
  if (!source.empty() &&
      (source[0] == '\\' || source[0] == '/' || (source.size() > 1 && source[1] == ':'))) {
    Warn(number, "source '" + source + "' names a place outside the patch folder");
  }
}

// Expands every rule with the installer's own search and path joining.
void Checker::CheckMatches() {
  UpdateList = m_rules;
  std::vector<int> matches(m_rules.size(), 0);
  std::map<std::string, int> written;  // destination key to the line of its rule
  std::set<std::string> copied;
  ForEachMatchedFile("", [&](MatchedFile& file) {
    size_t index = static_cast<size_t>(file.m_rule - UpdateList.data());
    int number = m_ruleLines[index];
    ++matches[index];
    const std::string& relative = file.m_wholePath;
    std::string folded = FoldCase(relative);
    if (folded == FoldCase(kListName)) {
      Error(number, "the rule copies update.lst into the game");
    } else if (folded == FoldCase(kInstallerName) || folded == "UPDATE") {
      Error(number, "the rule copies the installer " + relative + " into the game");
    }
    copied.insert(folded);
    std::string sub = Bytes(*file.m_destinationFolder);
    if (!sub.empty() && (sub.back() == '\\')) sub.pop_back();
    std::string key = FoldCase(sub) + "\\" + folded;
    auto [at, fresh] = written.emplace(key, number);
    if (!fresh) {
      Warn(number, relative + " is written again to the same place (first by line " +
                       std::to_string(at->second) + "): players are asked to overwrite it");
    }
    return true;
  });
  for (size_t i = 0; i < m_rules.size(); ++i) {
    if (matches[i] == 0) {
      Warn(m_ruleLines[i], "the rule '" + Bytes(m_rules[i].m_source) + "' matches no file");
    }
  }
  std::vector<std::string> files;
  std::string error;
  if (!ListFiles("", &files, nullptr, &error)) {
    Error(0, error);
    return;
  }
  for (const std::string& file : files) {
    std::string folded = FoldCase(file);
    if (folded == FoldCase(kListName) || folded == FoldCase(kInstallerName) || folded == "UPDATE" ||
        copied.count(folded) != 0) {
      continue;
    }
    Warn(0, file + " is copied by no rule");
  }
}

std::vector<Finding> Checker::Run() {
  CVxString text;
  if (!text.LoadFile(kListName, nullptr)) {
    Error(0, "update.lst can't be read");
    return m_findings;
  }
  const bool accepted = ReadUpdateList(kListName);
  int number = 0;
  for (CVxString line = text.GetFirstLine(); !text.IsLineEnd(); line = text.GetNextLine()) {
    ++number;
    std::string bytes = Bytes(line);
    if (number == 1 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
      Error(number, "the list starts with a UTF-8 byte order mark: it must be code page 932 text");
    } else if (!IsSystemText(bytes)) {
      Error(number, "the line is not code page 932 text");
    }
    if (bytes.find('\r') != std::string::npos) {
      Warn(number, "a carriage return inside the line is kept as part of it");
    }
    int32_t p = 0;
    LineKind kind = update_list_internal::ClassifyLine(line, &p);
    size_t lead = 0;
    while (lead < bytes.size() && IsBlank(bytes[lead])) ++lead;
    if (lead > 0 && lead < bytes.size() && bytes[lead] == '#') {
      Warn(number, std::string("not a comment (only a '#' in the first column starts one): "
                               "read as a ") +
                       (kind == LineKind::kSetting ? "setting" : "copy rule"));
    }
    if (kind == LineKind::kSetting) {
      CheckSetting(number, line, p);
    } else if (kind == LineKind::kRule) {
      UpdateEntry rule;
      if (update_list_internal::SplitRule(line, &rule)) CheckRule(number, rule);
    }
  }
  if (m_values[kRegBase].empty()) {
    Error(0, "no regbase: the installer can't find the installation");
  }
  if (m_values[kRegInstall].empty()) {
    Error(0, "no reginstall: the installer can't find the installation");
  }
  if (m_values[kGameTitle].empty()) Warn(0, "no gametitle: the messages name no game");
  CheckMatches();
  bool anyError =
      std::any_of(m_findings.begin(), m_findings.end(), [](const Finding& f) { return f.m_error; });
  if (!accepted && !anyError) Error(0, "the installer refuses this list");
  // Line by line, the findings about the whole list last.
  std::stable_sort(m_findings.begin(), m_findings.end(), [](const Finding& a, const Finding& b) {
    return (a.m_line == 0 ? INT32_MAX : a.m_line) < (b.m_line == 0 ? INT32_MAX : b.m_line);
  });
  return m_findings;
}

}  // namespace

std::vector<Finding> CheckCurrentFolder() { return Checker().Run(); }

bool PrintFindings(const std::vector<Finding>& findings) {
  bool anyError = false;
  for (const Finding& f : findings) {
    std::string where =
        f.m_line == 0 ? "update.lst: " : "update.lst:" + std::to_string(f.m_line) + ": ";
    PrintLine(where + (f.m_error ? "error: " : "warning: ") + f.m_text);
    anyError |= f.m_error;
  }
  return anyError;
}

std::vector<std::string> SettingValues(const std::string& text) {
  std::vector<std::string> values(6);
  CVxString list(text.c_str());
  for (CVxString line = list.GetFirstLine(); !list.IsLineEnd(); line = list.GetNextLine()) {
    int32_t p = 0;
    if (update_list_internal::ClassifyLine(line, &p) != LineKind::kSetting) continue;
    CVxString key;
    CVxString value;
    update_list_internal::SplitSetting(line, p, &key, &value);
    int found = update_list_internal::LookUpSettingKey(key);
    if (found != kNoKey) values[found] = Bytes(value);
  }
  return values;
}

int Check(const std::vector<std::string>& args) {
  if (args.size() != 1 || args[0].empty() || args[0][0] == '-') {
    Error("usage: patchtool check PATCH");
    return kUsage;
  }
  if (!ChangeDirectory(args[0])) {
    std::fprintf(stderr, "patchtool: %s: no such folder\n", args[0].c_str());
    return kFailed;
  }
  return PrintFindings(CheckCurrentFolder()) ? kFailed : kOk;
}

}  // namespace patchtool
