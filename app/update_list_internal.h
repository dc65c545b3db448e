// The update list reader's walk over a loaded text, apart from the file, for
// the fuzz target and the benchmarks; and its steps for one line, for tools
// that report on a list line by line.
#ifndef VX_APP_UPDATE_LIST_INTERNAL_H_
#define VX_APP_UPDATE_LIST_INTERNAL_H_

#include <cstdint>

#include "app/update_list.h"
#include "text/vx_string.h"

namespace update_list_internal {

// Clears UpdateSettings, rebuilds the key table, empties UpdateList and reads
// every line of text into them, as ReadUpdateList does once the file is
// loaded. False when a mutex name, registry base or registry value name does
// not fit its field; the settings are then cleared and the list emptied.
bool ReadUpdateText(CVxString text);

// How the reader takes one line of the list.
enum class LineKind { kEmpty, kComment, kSetting, kRule };

// Classifies a line as the reader does. For a setting, *equalsAt receives
// the position of its first `=`.
LineKind ClassifyLine(const CVxString& line, int32_t* equalsAt);

// Splits a setting line at its first `=` (position p) into the trimmed key
// and value.
void SplitSetting(const CVxString& line, int32_t p, CVxString* key, CVxString* value);

// The SettingKey that the reader's key table gives a key text (kNoKey for
// any text that is not byte for byte one of the five keys).
int LookUpSettingKey(const CVxString& key);

// The copy rule that a rule line holds, trimmed as the reader trims it;
// false for a line of tabs only, which holds none.
bool SplitRule(const CVxString& line, UpdateEntry* entry);

}  // namespace update_list_internal

#endif  // VX_APP_UPDATE_LIST_INTERNAL_H_
