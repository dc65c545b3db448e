#include "app/install_lookup.h"

#include <cstring>
#include <string>

#include "app/update_list.h"
#include "profile/reg_profile.h"

namespace {

std::string g_failure;

}  // namespace

bool FindInstallDirectory() {
  g_failure.clear();
  const std::string base = UpdateSettings.m_regBase;
  std::string key = "HKEY_CURRENT_USER\\Software\\" + base;
  CRegProfile profile;
  if (!profile.Open(UpdateSettings.m_regBase)) {
    key = "HKEY_USERS\\.DEFAULT\\Software\\" + base;
    profile.SetBase(platform::kRegUsers, ".DEFAULT\\Software");
    if (!profile.Open(UpdateSettings.m_regBase)) {
      g_failure = "neither HKEY_CURRENT_USER\\Software\\" + base + " nor " + key + " opens";
      return false;
    }
  }
  bool found = profile.ReadString(UpdateSettings.m_regInstall, UpdateSettings.m_installDir);
  profile.Close();
  const std::string value = UpdateSettings.m_regInstall;
  if (!found) {
    g_failure = key + " has no plain string value \"" + value + "\" that fits an install folder";
    return false;
  }
  // An empty value names no folder: taken as it is, the files would go to
  // the root of the drive (of the file system on Linux).
  if (UpdateSettings.m_installDir[0] == '\0') {
    g_failure = "the value \"" + value + "\" is empty";
    return false;
  }
  // A folder the platform's files can't reach would be made somewhere else.
  const std::string folder(
      UpdateSettings.m_installDir,
      strnlen(UpdateSettings.m_installDir, sizeof(UpdateSettings.m_installDir)));
  std::string why;
  if (!platform::RegistryFolderUsable(folder.c_str(), &why)) {
    g_failure = why;
    UpdateSettings.m_installDir[0] = '\0';
    return false;
  }
  return true;
}

const char* InstallLookupFailure() { return g_failure.c_str(); }
