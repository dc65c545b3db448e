// What the Linux program says on standard error when the registry gave no
// install folder: a player whose game is installed needs to know which
// registry was read and why nothing usable came of it.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/dialog.h"
#include "platform/posix/registry/registry_file.h"
#include "platform/posix/registry/wine_prefix.h"
#include "platform/posix/text/cp932.h"
#include "platform/registry.h"

namespace platform {
namespace {

bool LooksLikeDrivePath(const char* folder) {
  char c = folder[0];
  return ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) && folder[1] == ':';
}

// Which registry the calls read, and what is wrong with it, for a person.
std::string RegistryDescription() {
  const posix::PrefixChoice& prefix = posix::CurrentPrefix();
  if (prefix.source != posix::PrefixChoice::kNone) {
    std::string text = prefix.source == posix::PrefixChoice::kDefault
                           ? "read Wine's default prefix " + prefix.path +
                                 " (WINEPREFIX is unset and there is no registry file)"
                           : "read the Wine prefix " + prefix.path + " (WINEPREFIX)";
    if (!prefix.usable) {
      text += ", not used: " + prefix.why;
    } else {
      struct stat st;
      if (::stat((prefix.path + "/user.reg").c_str(), &st) != 0)
        text += ", which holds no user.reg";
    }
    return text;
  }
  std::string file = posix::RegistryFilePath();
  std::string text = "read the registry file " + file;
  struct stat st;
  if (::stat(file.c_str(), &st) != 0) {
    text += errno == ENOENT ? " (missing" : " (unreadable";
    const char* variable = std::getenv("VXUPDATE_REGISTRY");
    if (variable == nullptr || *variable == '\0') {
      text += "; no Wine prefix either: WINEPREFIX is unset and ~/.wine holds no user.reg";
    }
    text += ")";
  } else if (st.st_size == 0) {
    text += " (empty)";
  } else if (posix::RegistryFileBroken()) {
    text += " (not a registry file the installer can read)";
  }
  return text;
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

bool RegistryFolderUsable(const char* folder, std::string* why) {
  std::string prefix;
  if (posix::InWinePrefix(&prefix)) return true;
  // `\` becomes `/` on the way to Linux; two at the start are a UNC path.
  if (IsSeparator(folder[0]) && !IsSeparator(folder[1])) return true;
  // Built by appending characters: GCC 12's -O3 takes an assignment of a
  // short literal for an overlapping copy.
  why->clear();
  why->push_back('"');
  why->append(folder);
  why->append("\" is not an absolute Linux path");
  if (LooksLikeDrivePath(folder) || IsSeparator(folder[0])) {
    *why += " (a Windows path: for a game in a Wine prefix, set WINEPREFIX)";
  }
  return false;
}

void NoteRegistryLookupFailure(const char* why) {
  std::string line = "update: no install folder: " + posix::Cp932ToUtf8Lossy(why) + "; " +
                     RegistryDescription() + "\n";
  ClearStatusLine();
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace platform
