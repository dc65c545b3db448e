// The rules of a made patch: one per sub-folder, and at the top, where the
// list and the installer lie too, one per file type or per file.
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tools/patchtool/patchtool.h"

namespace patchtool {
namespace {

bool IsBlank(const std::string& c) { return c == " " || c == "\t" || c == "\n"; }

// Splits a relative path at its last backslash (a character of its own).
void SplitPath(const std::string& path, std::string* folder, std::string* name) {
  size_t at = std::string::npos;
  size_t offset = 0;
  for (const std::string& c : Characters(path)) {
    if (c == "\\") at = offset;
    offset += c.size();
  }
  *folder = at == std::string::npos ? "" : path.substr(0, at);
  *name = at == std::string::npos ? path : path.substr(at + 1);
}

// The name with `?` for every character that a rule line can't hold where
// it stands: a `#` first (a comment), `=` (a setting), a tab (a field
// separator), blanks at either end (trimmed). Equal to name when it is plain.
std::string SpelledName(const std::string& name, bool first) {
  std::vector<std::string> chars = Characters(name);
  size_t begin = 0;
  size_t end = chars.size();
  while (begin < end && IsBlank(chars[begin])) ++begin;
  while (end > begin && IsBlank(chars[end - 1])) --end;
  std::string spelled;
  for (size_t i = 0; i < chars.size(); ++i) {
    bool unsayable = chars[i] == "=" || chars[i] == "\t" || i >= end ||
                     (first && (i < begin || (i == 0 && chars[i] == "#")));
    spelled += unsayable ? "?" : chars[i];
  }
  return spelled;
}

// Whether a pattern of plain characters and `?` matches name, as the
// installer's search matches it: `?` takes one character, ASCII letters
// match without regard to case.
bool QuestionMatches(const std::string& pattern, const std::string& name) {
  std::vector<std::string> p = Characters(pattern);
  std::vector<std::string> n = Characters(name);
  if (p.size() != n.size()) return false;
  for (size_t i = 0; i < p.size(); ++i) {
    if (p[i] != "?" && FoldCase(p[i]) != FoldCase(n[i])) return false;
  }
  return true;
}

// The extension of a name: what follows its last dot; empty for none.
std::string Extension(const std::string& name) {
  std::string extension;
  bool dot = false;
  for (const std::string& c : Characters(name)) {
    if (c == ".") {
      dot = true;
      extension.clear();
    } else if (dot) {
      extension += c;
    }
  }
  return extension;
}

bool IsPlainExtension(const std::string& extension) {
  for (const std::string& c : Characters(extension)) {
    if (c == "=" || IsBlank(c)) return false;
  }
  return !extension.empty();
}

// What a name's 8.3 short name can start with, for prefix tests: upper
// case, without the blanks and dots that a short name drops. Characters
// that a short name replaces count as themselves, which only makes more
// prefixes look taken.
std::string ShortNameBasis(const std::string& name) {
  std::string basis;
  for (const std::string& c : Characters(FoldCase(name))) {
    if (c != " " && c != ".") basis += c;
  }
  return basis;
}

// A character that a short name keeps as it is (folded): letters, digits,
// double-byte characters and half-width katakana. Not `_`, which a short
// name writes for the characters it can't hold.
bool IsPrefixCharacter(const std::string& c) {
  unsigned char b = static_cast<unsigned char>(c[0]);
  return c.size() == 2 || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
         (b >= 0xA1 && b <= 0xDF);
}

// The top names in sorted order, folded and by short-name basis, to tell
// which names a pattern "prefix*" would reach on Windows.
class PrefixIndex {
 public:
  explicit PrefixIndex(const std::vector<std::string>& names) {
    for (const std::string& n : names) {
      m_folded.push_back(FoldCase(n));
      m_basis.emplace_back(ShortNameBasis(n), FoldCase(n));
    }
    std::sort(m_folded.begin(), m_folded.end());
    std::sort(m_basis.begin(), m_basis.end());
  }
  // True when "prefix*" reaches exactly the given count of names, all of
  // whose own names start with prefix.
  bool ReachesOnly(const std::string& prefix, size_t count) const {
    auto begin = std::lower_bound(m_folded.begin(), m_folded.end(), prefix);
    size_t own = 0;
    for (auto it = begin; it != m_folded.end() && it->compare(0, prefix.size(), prefix) == 0;
         ++it) {
      ++own;
    }
    if (own != count) return false;
    auto at =
        std::lower_bound(m_basis.begin(), m_basis.end(), std::make_pair(prefix, std::string()));
    for (; at != m_basis.end() && at->first.compare(0, prefix.size(), prefix) == 0; ++at) {
      if (at->second.compare(0, prefix.size(), prefix) != 0) return false;
    }
    return true;
  }

 private:
  std::vector<std::string> m_folded;
  std::vector<std::pair<std::string, std::string>> m_basis;  // basis, folded name
};

// Splits names (all starting with prefix, folded) into "prefix*" rules where
// such a pattern reaches these names alone, looking up to kPrefixDepth
// characters deep; names left over are named one by one by the caller.
constexpr size_t kPrefixDepth = 4;
void GroupByPrefix(const PrefixIndex& index, const std::vector<std::string>& names,
                   const std::string& prefix, std::vector<std::string>* rules,
                   std::set<std::string>* grouped) {
  std::map<std::string, std::vector<std::string>> byNext;
  for (const std::string& name : names) {
    std::vector<std::string> chars = Characters(name);
    size_t depth = Characters(prefix).size();
    if (depth < chars.size() && IsPrefixCharacter(FoldCase(chars[depth]))) {
      byNext[FoldCase(chars[depth])].push_back(name);
    }
  }
  for (const auto& [next, members] : byNext) {
    std::string longer = prefix + next;
    if (members.size() < 2) continue;
    if (index.ReachesOnly(longer, members.size())) {
      rules->push_back(members[0].substr(0, longer.size()) + "*");
      grouped->insert(members.begin(), members.end());
    } else if (longer.size() < kPrefixDepth) {
      GroupByPrefix(index, members, longer, rules, grouped);
    }
  }
}

}  // namespace

bool MakeRules(const std::vector<std::string>& files, const std::vector<std::string>& reserved,
               std::vector<std::string>* rules, std::string* error) {
  std::vector<std::string> top;
  std::map<std::string, std::vector<std::string>> byFolder;
  for (const std::string& path : files) {
    std::string folder;
    std::string name;
    SplitPath(path, &folder, &name);
    if (folder.empty()) {
      top.push_back(name);
    } else {
      byFolder[folder].push_back(name);
    }
  }
  std::set<std::string> reservedKeys;
  std::set<std::string> reservedExtensions;
  for (const std::string& r : reserved) {
    reservedKeys.insert(FoldCase(r));
    reservedExtensions.insert(FoldCase(Extension(r)));
  }
  for (const std::string& name : top) {
    if (reservedKeys.count(FoldCase(name)) != 0) {
      *error = name + ": the patch folder keeps this name for its own " +
               (FoldCase(name) == FoldCase(kListName) ? "list" : "files");
      return false;
    }
  }

  // At the top, "*.ext" for two files or more of one type when it can match
  // nothing else: none of the reserved names, and no other file by the 8.3
  // short name that Windows also matches (x.data is X~1.DAT).
  std::map<std::string, std::vector<std::string>> byExtension;
  for (const std::string& name : top) byExtension[FoldCase(Extension(name))].push_back(name);
  std::set<std::string> grouped;
  std::vector<std::string> topRules;
  for (const auto& [folded, names] : byExtension) {
    if (names.size() < 2 || reservedExtensions.count(folded) != 0 || !IsPlainExtension(folded)) {
      continue;
    }
    // Another type that starts with this one of three characters.
    bool shortNameClash = false;
    if (Characters(folded).size() == 3) {
      auto next = byExtension.upper_bound(folded);
      shortNameClash =
          next != byExtension.end() && next->first.compare(0, folded.size(), folded) == 0;
    }
    if (shortNameClash) continue;
    topRules.push_back("*." + Extension(names[0]));
    grouped.insert(names.begin(), names.end());
  }
  // Then "abc*" for names that share a beginning that no other name of the
  // top, and no 8.3 short name, starts with: one search in place of many.
  std::vector<std::string> everything = top;
  everything.insert(everything.end(), reserved.begin(), reserved.end());
  std::vector<std::string> ungrouped;
  for (const std::string& name : top) {
    if (grouped.count(name) == 0 && SpelledName(name, true) == name) ungrouped.push_back(name);
  }
  GroupByPrefix(PrefixIndex(everything), ungrouped, "", &topRules, &grouped);
  for (const std::string& name : top) {
    if (grouped.count(name) != 0) continue;
    std::string pattern = SpelledName(name, true);
    if (pattern != name) {
      // Only a pattern with `?` can match another name than its own.
      for (const std::string& other : top) {
        if (other != name && QuestionMatches(pattern, other)) {
          *error = name +
                   ": no rule can name it alone (a pattern with ? for its unsayable "
                   "characters also matches " +
                   other + ")";
          return false;
        }
      }
      for (const std::string& r : reserved) {
        if (QuestionMatches(pattern, r)) {
          *error = name + ": no rule can name it without also copying " + r;
          return false;
        }
      }
    }
    topRules.push_back(pattern);
  }

  // Below the top, a folder holds only files of the patch: "folder\*" copies
  // them all, and a folder of one file names it.
  std::vector<std::string> folderRules;
  for (const auto& [folder, names] : byFolder) {
    std::vector<std::string> chars = Characters(folder);
    for (size_t i = 0; i < chars.size(); ++i) {
      if (chars[i] == "=" || chars[i] == "\t" ||
          (i == 0 && (chars[i] == "#" || IsBlank(chars[i])))) {
        *error = folder +
                 ": no rule can name this folder (a rule line that starts with # is a "
                 "comment, one that holds = is a setting, tabs separate fields, blanks at the "
                 "start are dropped)";
        return false;
      }
    }
    bool single = names.size() == 1 && SpelledName(names[0], false) == names[0];
    folderRules.push_back(folder + "\\" + (single ? names[0] : "*"));
  }
  rules->assign(topRules.begin(), topRules.end());
  rules->insert(rules->end(), folderRules.begin(), folderRules.end());
  return true;
}

}  // namespace patchtool
