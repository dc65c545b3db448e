// The update list reader's walk over a loaded text, apart from the file, for
// the fuzz target and the benchmarks.
#ifndef VX_APP_UPDATE_LIST_INTERNAL_H_
#define VX_APP_UPDATE_LIST_INTERNAL_H_

#include "text/vx_string.h"

namespace update_list_internal {

// Clears UpdateSettings, rebuilds the key table, empties UpdateList and reads
// every line of text into them, as ReadUpdateList does once the file is
// loaded. False when a mutex name, registry base or registry value name does
// not fit its field; the settings are then cleared and the list emptied.
bool ReadUpdateText(CVxString text);

}  // namespace update_list_internal

#endif  // VX_APP_UPDATE_LIST_INTERNAL_H_
