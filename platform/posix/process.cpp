#include "platform/process.h"

namespace platform {

// Linux programs load only the libraries the dynamic linker resolves from
// system paths; there is nothing to restrict.
void RestrictLibrarySearch() {}

}  // namespace platform
