// The registry files Wine keeps in a prefix (`user.reg`, `userdef.reg`):
// read into a registry tree (see registry_tree.h), with names and strings in
// code page 932, as the ANSI registry calls of a Windows program under Wine
// see them.
#ifndef VX_PLATFORM_POSIX_REGISTRY_WINE_REGISTRY_H_
#define VX_PLATFORM_POSIX_REGISTRY_WINE_REGISTRY_H_

#include <string_view>

#include "platform/posix/registry/registry_tree.h"

namespace platform::posix {

// The first line of every registry file Wine writes.
extern const char kWineRegistryHeader[];

// Adds the keys and values of a Wine registry file's text below root, the
// key that the file's paths are relative to (HKEY_CURRENT_USER for
// user.reg, HKEY_USERS\.DEFAULT for userdef.reg), in time proportional to
// the text's size. False, with nothing added, when the text does not begin
// with kWineRegistryHeader. A key or value that can't be read is passed over
// and the rest is kept, as Wine too reads on past a line it can't read; so
// is one whose name or text has no code page 932 form, since no ANSI call
// could name or read it.
bool ParseWineRegistry(std::string_view text, RegNode* root);

}  // namespace platform::posix

#endif  // VX_PLATFORM_POSIX_REGISTRY_WINE_REGISTRY_H_
