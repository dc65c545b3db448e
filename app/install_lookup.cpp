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
  return found;
}
