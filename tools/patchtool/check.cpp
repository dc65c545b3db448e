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
#include "platform/file.h"
#include "platform/text.h"
#include "tools/patchtool/list_text.h"
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

bool ClimbsUp(const std::string& path) {
  std::vector<std::string> parts = PathComponents(path);
  return std::find(parts.begin(), parts.end(), "..") != parts.end();
}

// Why Windows can't make the folders of a path: the fault of its first
// component that is neither `.` nor `..`; empty when none.
std::string FolderFault(const std::string& path) {
  for (const std::string& part : PathComponents(path)) {
    if (part == "." || part == "..") continue;
    std::string fault = WindowsNameFault(part);
    if (!fault.empty()) return "'" + part + "' is " + fault;
  }
  return "";
}

// The folder part of a pattern as the installer takes it (GetPatternFolder).
std::string FolderOf(const std::string& pattern) {
  char folder[kCopyPathAreaSize];
  return GetPatternFolder(pattern.c_str(), folder) ? folder : pattern;
}

// The whole file, NUL bytes and all; false when it can't be read.
bool ReadRaw(const char* name, std::string* bytes) {
  platform::File file(platform::OpenExisting(name, platform::Share::kRead));
  uint64_t size = 0;
  if (!file || !platform::FileSize(file.get(), &size) || size > 0x7FFFFFFF) return false;
  bytes->assign(static_cast<size_t>(size), '\0');
  uint32_t got = 0;
  return size == 0 ||
         (platform::ReadBytes(file.get(), bytes->data(), static_cast<uint32_t>(size), &got) &&
          got == size);
}

class Checker {
 public:
  explicit Checker(const std::string& oldInstall) : m_oldInstall(oldInstall) {}
  std::vector<Finding> Run();

 private:
  void Add(Severity severity, int line, const std::string& code, const std::string& text,
           const std::string& path = "") {
    m_findings.push_back({severity, code, text, path, kListName, line});
  }
  void Error(int line, const std::string& code, const std::string& text,
             const std::string& path = "") {
    Add(Severity::kError, line, code, text, path);
  }
  void Warn(int line, const std::string& code, const std::string& text,
            const std::string& path = "") {
    Add(Severity::kWarning, line, code, text, path);
  }
  void CheckText(const std::string& raw, const std::vector<ListLine>& lines);
  void CheckSetting(int number, const CVxString& line, int32_t p);
  void CheckRule(int number, const CVxString& line, const UpdateEntry& rule);
  void CheckMatches();
  void CheckInstaller(const std::vector<std::string>& files);

  std::string m_oldInstall;
  std::vector<Finding> m_findings;
  std::vector<std::string> m_values = std::vector<std::string>(6);
  std::vector<int> m_keyLines = std::vector<int>(6, 0);
  std::vector<int> m_ruleLines;  // line of each rule, in list order
  std::vector<UpdateEntry> m_rules;
};

void Checker::CheckText(const std::string& raw, const std::vector<ListLine>& lines) {
  size_t nul = raw.find('\0');
  if (nul != std::string::npos) {
    int number = 1;
    for (size_t i = 0; i < nul; ++i) number += raw[i] == '\n';
    int lost = number;
    for (size_t i = nul; i < raw.size(); ++i) lost += raw[i] == '\n';
    if (!raw.empty() && raw.back() == '\n') --lost;
    Error(number, "nul-byte",
          "a NUL byte: the installer reads nothing after it (" + std::to_string(raw.size() - nul) +
              " bytes, to line " + std::to_string(lost) + ", are lost)");
  }
  for (const ListLine& line : lines) {
    if (line.m_swallowed > 0) {
      Error(line.m_number, "line-swallowed",
            "the line ends in the first byte of a double-byte character, which takes the line "
            "feed as its second byte: the installer reads line " +
                std::to_string(line.m_number + 1) + " as part of this one");
    }
    const std::string& bytes = line.m_text;
    Utf8Kind utf8 = Utf8Of(bytes);
    if (line.m_number == 1 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
      Error(line.m_number, "utf-8",
            "the list starts with a UTF-8 byte order mark: it must be code page 932 text");
    } else if (utf8 == Utf8Kind::kSure) {
      Error(line.m_number, "utf-8",
            "the line is UTF-8 text: the installer reads code page 932 and shows it as '" + bytes +
                "'");
    } else if (!IsSystemText(bytes)) {
      Error(line.m_number, "not-code-page-932", "the line is not code page 932 text");
    } else if (utf8 == Utf8Kind::kMaybe) {
      Warn(line.m_number, "utf-8",
           "the line may be UTF-8 text: the installer reads code page 932 and shows it as '" +
               bytes + "'");
    }
    if (bytes.find('\r') != std::string::npos) {
      Warn(line.m_number, "carriage-return",
           "a carriage return inside the line is kept as part of it");
    }
  }
}

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
        Warn(
            number, "key-case",
            "key '" + key + "' is ignored: keys are case-sensitive (write '" + kKeyNames[k] + "')");
        return;
      }
    }
    Warn(number, "unknown-key",
         (key.empty() ? std::string("a line that starts with '='") : "unknown key '" + key + "'") +
             " is ignored (a line that holds '=' is never a copy rule)");
    return;
  }
  if (m_keyLines[found] != 0) {
    Warn(number, "set-again",
         std::string(kKeyNames[found]) + " is set again (first on line " +
             std::to_string(m_keyLines[found]) + "): this later value wins");
  }
  m_keyLines[found] = number;
  m_values[found] = value;
  size_t most = Capacity(found) - 1;
  if (value.size() > most) {
    std::string size =
        std::to_string(value.size()) + " bytes, at most " + std::to_string(most) + " fit";
    if (found == kGameTitle || found == kPatchName) {
      Warn(number, "cut", std::string(kKeyNames[found]) + " is " + size + ": players see it cut");
    } else {
      Error(
          number, "too-long",
          std::string(kKeyNames[found]) + " is " + size + ": the installer refuses the whole list");
    }
  }
  if (value.find('\t') != std::string::npos) {
    Warn(number, "tab-in-value",
         std::string(kKeyNames[found]) + " holds a tab: all that follows belongs to it");
  }
  std::string code;
  std::string fault = SettingFault(found, value, &code);
  if (!fault.empty()) Error(number, code, fault);
}

void Checker::CheckRule(int number, const CVxString& line, const UpdateEntry& rule) {
  std::string source = Bytes(rule.m_source);
  std::string sub = Bytes(rule.m_destination);
  m_ruleLines.push_back(number);
  m_rules.push_back(rule);
  CVxString fields(line);
  fields.GetFirstToken("\t");
  fields.GetNextToken("\t");
  std::string third = Bytes(fields.GetNextToken("\t"));
  if (!third.empty()) {
    Error(number, "third-field",
          "a third field '" + third + "': the installer ignores everything after the second tab");
  }
  if (!sub.empty() && sub[0] != '\\' && sub[0] != '/') {
    Warn(number, "sub-path-without-backslash",
         "sub-path '" + sub +
             "' has no leading backslash: it is appended to the name of "
             "the install folder (C:\\Game + " +
             sub + " = C:\\Game" + sub + ")");
  }
  std::string folder = FolderOf(source);
  bool drive = source.size() > 1 && source[1] == ':';
  size_t blanks = source.find_first_of(" ");
  size_t after = source.find_first_not_of(" ", blanks == std::string::npos ? 0 : blanks);
  if (blanks != std::string::npos && blanks > 0 && after != std::string::npos &&
      (source[after] == '\\' || source[after] == '/')) {
    Error(number, "blanks-for-tab",
          "blanks, not a tab, stand before '" + source.substr(after) +
              "': the installer reads the whole '" + source + "' as one pattern");
  } else if (!drive && !FolderFault(folder).empty()) {
    Error(
        number, "bad-name",
        "the folder part of '" + source + "' can't name a Windows folder: " + FolderFault(folder));
  }
  if (!FolderFault(sub).empty()) {
    Error(number, "bad-name",
          "sub-path '" + sub + "' can't name a Windows folder: " + FolderFault(sub));
  }
  if (ClimbsUp(folder)) {
    Warn(number, "climbs-up",
         "'..' in the folder part of '" + source + "': the files go above their place");
  }
  if (ClimbsUp(sub))
    Warn(number, "climbs-up", "'..' in sub-path '" + sub + "': the files go above it");
  if (!source.empty() && (source[0] == '\\' || source[0] == '/' || drive)) {
    Warn(number, "outside-patch", "source '" + source + "' names a place outside the patch folder");
  }
}

// Expands every rule with the installer's own search and path joining.
void Checker::CheckMatches() {
  UpdateList = m_rules;
  std::vector<int> matches(m_rules.size(), 0);
  std::map<std::string, int> written;  // destination key to the line of its rule
  std::set<std::string> copied;
  std::map<std::string, std::string> copiedPaths;  // folded to as found
  std::set<std::string> judged;
  ForEachMatchedFile("", [&](MatchedFile& file) {
    size_t index = static_cast<size_t>(file.m_rule - UpdateList.data());
    int number = m_ruleLines[index];
    ++matches[index];
    const std::string& relative = file.m_wholePath;
    std::string folded = FoldCase(relative);
    if (folded == FoldCase(kListName) || folded == FoldCase(delta::kManifestFileName)) {
      Error(number, "copies-list", "the rule copies " + relative + " into the game", relative);
    } else if (folded == FoldCase(kInstallerName) || folded == "UPDATE") {
      Error(number, "copies-installer",
            "the rule copies the installer " + relative + " into the game", relative);
    }
    copied.insert(folded);
    copiedPaths.emplace(folded, relative);
    if (judged.insert(folded).second) {
      std::string fault = PathFault(relative);
      if (!fault.empty()) {
        Error(number, "bad-name", relative + ": Windows can't hold it: " + fault, relative);
      }
      LengthVerdict length = PathLengthVerdict(relative);
      if (length == LengthVerdict::kNever) {
        Error(number, "too-long",
              relative + ": " + std::to_string(relative.size()) +
                  " bytes, too long for the installer's 259 even below a drive's root",
              relative);
      } else if (length == LengthVerdict::kShortFoldersOnly) {
        Warn(number, "long-path",
             relative + ": " + std::to_string(relative.size()) +
                 " bytes: the installer copies it only where the install and patch folders "
                 "take fewer than " +
                 std::to_string(kCopyPathLimit - relative.size()) + " bytes",
             relative);
      }
    }
    std::string key = PathKey(Bytes(*file.m_destinationFolder) + "\\" + relative);
    auto [at, fresh] = written.emplace(key, number);
    if (!fresh) {
      Warn(number, "written-twice",
           relative + " is written again to the same place (first by line " +
               std::to_string(at->second) + "): players are asked to overwrite it",
           relative);
    }
    return true;
  });
  for (size_t i = 0; i < m_rules.size(); ++i) {
    if (matches[i] == 0) {
      Warn(m_ruleLines[i], "matches-nothing",
           "the rule '" + Bytes(m_rules[i].m_source) + "' matches no file");
    }
  }
  std::vector<std::string> files;
  std::vector<std::string> folders;
  std::string error;
  if (!ListFiles("", &files, &folders, &error)) {
    Error(0, "unreadable", error);
    return;
  }
  std::map<std::string, std::string> names;
  for (const std::vector<std::string>* list : {&folders, &files}) {
    for (const std::string& path : *list) {
      auto [at, fresh] = names.emplace(FoldCase(path), path);
      if (!fresh) {
        Error(0, "one-name",
              at->second + " and " + path +
                  " are one name on Windows (letters that differ only in case): the player "
                  "gets only one of them",
              path);
      }
    }
  }
  for (const std::string& file : files) {
    std::string folded = FoldCase(file);
    if (folded == FoldCase(kListName) || folded == FoldCase(kInstallerName) || folded == "UPDATE" ||
        folded == FoldCase(kRemovedListName) || folded == FoldCase(delta::kManifestFileName) ||
        copied.count(folded) != 0) {
      continue;
    }
    Warn(0, "not-copied", file + " is copied by no rule", file);
  }
  CheckInstaller(files);
  delta::Manifest manifest;
  bool present = false;
  if (LoadManifest(&manifest, &present, &m_findings)) {
    CheckManifestFiles(manifest, copiedPaths, &m_findings);
    if (!m_oldInstall.empty()) CheckDeltasApply(manifest, m_oldInstall, &m_findings);
  }
}

void Checker::CheckInstaller(const std::vector<std::string>& files) {
  for (const std::string& file : files) {
    if (FoldCase(file) != FoldCase(kInstallerName)) continue;
    std::string head = FileHead(LocalPathOf(".", file), 2);
    if (head.compare(0, 2, "MZ") != 0) {
      m_findings.push_back({Severity::kError, "installer-kind",
                            file + " is not a Windows program (" +
                                (FileHead(LocalPathOf(".", file), 4) == "\x7f"
                                                                        "ELF"
                                     ? std::string("it is a Linux program")
                                     : std::string("no MZ head")) +
                                "): players on Windows can't start it",
                            file, "", 0});
    }
    return;
  }
  m_findings.push_back({Severity::kWarning, "no-installer",
                        "the patch holds no installer Update.exe: players have nothing to start "
                        "(patchtool make --installer)",
                        kInstallerName, "", 0});
}

std::vector<Finding> Checker::Run() {
  std::string raw;
  if (!ReadRaw(kListName, &raw)) {
    Error(0, "unreadable", "update.lst can't be read");
    return m_findings;
  }
  const bool accepted = ReadUpdateList(kListName);
  std::vector<ListLine> lines = SplitListText(raw);
  CheckText(raw, lines);
  for (const ListLine& listLine : lines) {
    int number = listLine.m_number;
    CVxString line(listLine.m_text.c_str());
    const std::string& bytes = listLine.m_text;
    int32_t p = 0;
    LineKind kind = update_list_internal::ClassifyLine(line, &p);
    size_t lead = 0;
    while (lead < bytes.size() && IsBlank(bytes[lead])) ++lead;
    if (lead > 0 && lead < bytes.size() && bytes[lead] == '#') {
      Warn(number, "not-a-comment",
           std::string("not a comment (only a '#' in the first column starts one): read as a ") +
               (kind == LineKind::kSetting ? "setting" : "copy rule"));
    }
    if (kind == LineKind::kSetting) {
      CheckSetting(number, line, p);
    } else if (kind == LineKind::kRule) {
      UpdateEntry rule;
      if (update_list_internal::SplitRule(line, &rule)) CheckRule(number, line, rule);
    }
  }
  if (m_keyLines[kRegBase] == 0 || m_values[kRegBase].empty()) {
    Error(0, "no-regbase", "no regbase: the installer can't find the installation");
  }
  if (m_keyLines[kRegInstall] == 0) {
    Warn(0, "no-reginstall",
         "no reginstall: the installer reads the key's default value (write 'reginstall =' to "
         "mean that)");
  }
  if (m_values[kGameTitle].empty())
    Warn(0, "no-gametitle", "no gametitle: the messages name no game");
  CheckMatches();
  bool anyError = std::any_of(m_findings.begin(), m_findings.end(),
                              [](const Finding& f) { return f.m_severity == Severity::kError; });
  if (!accepted && !anyError) Error(0, "refused", "the installer refuses this list");
  // Line by line, the findings about the whole list last.
  std::stable_sort(m_findings.begin(), m_findings.end(), [](const Finding& a, const Finding& b) {
    auto rank = [](const Finding& f) {
      return f.m_file.empty() ? INT32_MAX : f.m_line == 0 ? INT32_MAX - 1 : f.m_line;
    };
    return rank(a) < rank(b);
  });
  return m_findings;
}

}  // namespace

std::vector<Finding> CheckCurrentFolder(const std::string& oldInstall) {
  return Checker(oldInstall).Run();
}

int Check(const std::vector<std::string>& arguments) {
  std::vector<std::string> args = arguments;
  bool json = false;
  bool strict = false;
  TakeOutputOptions(&args, &json, &strict);
  std::string old;
  if (args.size() == 3 && args[0] == "--old") {
    old = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.size() != 1 || args[0].empty() || args[0][0] == '-') {
    Error("usage: patchtool check [--old OLD] [--json] [--strict] PATCH");
    return kUsage;
  }
  Reporter reporter(json, strict);
  ReachablePath oldReach;
  if (!old.empty() && (!AbsolutePath(old, &old) || !IsLocalFolder(old) || !oldReach.Reach(old))) {
    reporter.Error("no-folder", "OLD: no such folder");
    return kFailed;
  }
  if (!ChangeDirectory(args[0])) {
    std::string system;
    ToSystemText(args[0], &system);
    reporter.Error("no-folder", system + ": no such folder");
    return kFailed;
  }
  for (const Finding& f : CheckCurrentFolder(oldReach.system())) reporter.Report(f);
  return reporter.Failed() ? kFailed : kOk;
}

}  // namespace patchtool
