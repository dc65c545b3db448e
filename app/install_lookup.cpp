#include "app/install_lookup.h"

#include "app/update_list.h"
#include "profile/reg_profile.h"

bool FindInstallDirectory() {
  CRegProfile profile;
  if (!profile.Open(UpdateSettings.m_regBase)) {
    profile.SetBase(platform::kRegUsers, ".DEFAULT\\Software");
    if (!profile.Open(UpdateSettings.m_regBase)) return false;
  }
  bool found = profile.ReadString(UpdateSettings.m_regInstall, UpdateSettings.m_installDir);
  profile.Close();
  // An empty value names no folder: taken as it is, the files would go to
  // the root of the drive (of the file system on Linux).
  return found && UpdateSettings.m_installDir[0] != '\0';
}
