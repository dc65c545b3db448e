// Wine prefix mode: a game that runs under Wine recorded its install folder
// in the prefix's own registry, as a Windows path such as C:\Games\Adventure.
// When VXUPDATE_REGISTRY is not set and WINEPREFIX is, the registry calls
// read the prefix's registry files and drive paths reach the prefix's drives.
// With neither set and no registry file, Wine's default prefix ~/.wine is
// the prefix when it holds a user.reg.
#ifndef VX_PLATFORM_POSIX_REGISTRY_WINE_PREFIX_H_
#define VX_PLATFORM_POSIX_REGISTRY_WINE_PREFIX_H_

#include <string>
#include <string_view>

#include "platform/registry.h"

namespace platform::posix {

// The registry file of the file store: $VXUPDATE_REGISTRY, else
// $XDG_CONFIG_HOME/vxupdate/registry.reg (~/.config when that is unset or
// not absolute).
std::string RegistryFilePath();

// Where the registry calls read, as the environment says now.
struct PrefixChoice {
  enum Source { kNone, kVariable, kDefault } source = kNone;  // kNone: the file store
  std::string path;  // the prefix's folder, without trailing `/`
  bool usable = false;
  std::string why;  // when not usable: why not, for a person (UTF-8)
};

// The choice in force. A prefix is usable when WINEPREFIX is an absolute
// path and the folder, where it exists, belongs to the effective user (the
// rule Wine itself keeps); an unusable prefix has no keys and no drives.
// Worked out again only when the environment changed.
const PrefixChoice& CurrentPrefix();

// True in prefix mode, with the prefix's folder (without trailing `/`) in
// *prefix. Read from the environment at every call.
bool InWinePrefix(std::string* prefix);

enum class DriveMapping {
  kNone,      // not prefix mode, or no drive path: the path is used as it is
  kMapped,    // a drive path, and the drive is mapped to a Linux folder
  kUnmapped,  // a drive path whose drive has no folder: it names nothing
};

// Looks at a Linux-form path (UTF-8, `/` as separator) for a leading drive
// (`X:`) in prefix mode. Mapped: *folder is the drive's folder
// ($WINEPREFIX/dosdevices/x:, a link that Wine keeps) and *rest what follows
// the drive, relative to that folder, with `.` and `..` resolved as text as
// Windows resolves them (never above the drive's root); a trailing `/`
// stays. A drive letter with no mapping, one whose link leads to no folder,
// or any drive of an unusable prefix, is kUnmapped.
DriveMapping MapWineDrive(std::string_view path, std::string* folder, std::string* rest);

// What follows a drive, `/`-separated, with empty and `.` components dropped
// and `..` taking away the component before it (none at the root).
std::string ResolveDots(std::string_view rest);

// The registry backend of prefix mode, or null when not in prefix mode.
// HKEY_CURRENT_USER is the prefix's user.reg, HKEY_USERS\.DEFAULT its
// userdef.reg, each read anew when the file changed. It only reads: keys
// open for reading and for full access (the installer asks for full access
// to read), but creating a key, setting a value and deleting a key fail, and
// nothing under the prefix is written. A key that Wine keeps as a link is
// opened as the key it links to.
Registry* WinePrefixRegistry();

}  // namespace platform::posix

#endif  // VX_PLATFORM_POSIX_REGISTRY_WINE_PREFIX_H_
