// Reading update.lst: every line is a comment, a setting (key, '=', value)
// or a copy rule (source pattern, tab, destination sub-path).
#include "app/update_list.h"

#include <cstddef>
#include <cstring>

#include "app/update_list_internal.h"
#include "platform/text.h"

UpdateSettingsRecord UpdateSettings;
std::vector<UpdateEntry> UpdateList;

namespace {

// Setting names to SettingKey, ordered by CVxString's byte order, so that a
// key matches only when it is equal byte for byte. Rebuilt at every load.
std::map<CVxString, int> g_keyTable;

void BuildKeyTable() {
  g_keyTable.clear();
  g_keyTable[CVxString("gametitle")] = kGameTitle;
  g_keyTable[CVxString("patchname")] = kPatchName;
  g_keyTable[CVxString("mutexname")] = kMutexName;
  g_keyTable[CVxString("regbase")] = kRegBase;
  g_keyTable[CVxString("reginstall")] = kRegInstall;
}

void ClearSettings() { std::memset(&UpdateSettings, 0, sizeof(UpdateSettings)); }

// How a value longer than its field is taken.
enum class Overlong {
  kCut,     // display texts: cut at the last whole character that fits
  kRefuse,  // names: a cut name would probe the wrong mutex or registry key
};

// Copies value with its terminator into the field of size bytes. False when
// the value does not fit and policy refuses it (the field is then left alone).
template <std::size_t size>
bool StoreValue(char (&field)[size], const CVxString& value, Overlong policy) {
  const int32_t length = value.GetLength();
  int32_t n = 0;
  while (n < length) {
    const bool pair =
        platform::IsLeadByte(static_cast<unsigned char>(value.GetAt(n))) && n + 1 < length;
    const int32_t next = n + (pair ? 2 : 1);
    if (next > static_cast<int32_t>(size) - 1) break;
    n = next;
  }
  if (n < length && policy == Overlong::kRefuse) return false;
  std::memset(field, 0, size);
  for (int32_t i = 0; i < n; ++i) field[i] = value.GetAt(i);
  return true;
}

// A setting line: the key before the first '=' at position p, the value after
// it, both trimmed. False for a name that does not fit its field.
bool ReadSetting(CVxString line, int32_t p) {
  CVxString key;
  CVxString value;
  update_list_internal::SplitSetting(line, p, &key, &value);
  switch (update_list_internal::LookUpSettingKey(key)) {
    case kGameTitle:
      return StoreValue(UpdateSettings.m_title, value, Overlong::kCut);
    case kPatchName:
      return StoreValue(UpdateSettings.m_patchName, value, Overlong::kCut);
    case kMutexName:
      return StoreValue(UpdateSettings.m_mutexName, value, Overlong::kRefuse);
    case kRegBase:
      return StoreValue(UpdateSettings.m_regBase, value, Overlong::kRefuse);
    case kRegInstall:
      return StoreValue(UpdateSettings.m_regInstall, value, Overlong::kRefuse);
    default:
      return true;  // not a key of ours: the line is ignored
  }
}

}  // namespace

namespace update_list_internal {

LineKind ClassifyLine(const CVxString& line, int32_t* equalsAt) {
  if (line.IsEmpty()) return LineKind::kEmpty;
  if (line.GetAt(0) == '#') return LineKind::kComment;
  const int32_t p = line.Find('=', 0);
  if (p < 0) return LineKind::kRule;
  *equalsAt = p;
  return LineKind::kSetting;
}

void SplitSetting(const CVxString& line, int32_t p, CVxString* key, CVxString* value) {
  const CVxString blanks(" \t\n");
  *key = line.Left(p);
  key->Trim(blanks);
  *value = line.Mid(p + 1);
  value->Trim(blanks);
}

int LookUpSettingKey(const CVxString& key) {
  if (g_keyTable.empty()) BuildKeyTable();
  const auto found = g_keyTable.find(key);
  return found == g_keyTable.end() ? kNoKey : found->second;
}

// A copy rule: the first two tab-separated fields, trimmed. A line of tabs
// only holds no rule.
bool SplitRule(const CVxString& line, UpdateEntry* entry) {
  const CVxString tab("\t");
  const CVxString blanks(" \t\n");
  CVxString fields(line);  // the token cursor is the copy's own
  entry->m_source = fields.GetFirstToken(tab);
  if (entry->m_source.IsEmpty()) return false;
  entry->m_destination = fields.GetNextToken(tab);
  entry->m_source.Trim(blanks);
  entry->m_destination.Trim(blanks);
  return true;
}

bool ReadUpdateText(CVxString text) {
  ClearSettings();
  BuildKeyTable();
  UpdateList.clear();
  for (CVxString line = text.GetFirstLine(); !text.IsLineEnd(); line = text.GetNextLine()) {
    int32_t p = 0;
    const LineKind kind = ClassifyLine(line, &p);
    if (kind == LineKind::kRule) {
      UpdateEntry entry;
      if (SplitRule(line, &entry)) UpdateList.push_back(entry);
    } else if (kind == LineKind::kSetting && !ReadSetting(line, p)) {
      ClearSettings();
      UpdateList.clear();
      return false;
    }
  }
  return true;
}

}  // namespace update_list_internal

bool ReadUpdateList(const char* fileName) {
  // Cleared before the file is touched, so a failed read leaves no settings.
  ClearSettings();
  if (fileName == nullptr) return false;
  CVxString text;
  if (!text.LoadFile(fileName, nullptr)) return false;
  return update_list_internal::ReadUpdateText(text);
}
