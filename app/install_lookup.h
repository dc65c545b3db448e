// Finds where the game is installed: the registry value that the game's own
// installer left, named by the update list's registry settings.
#ifndef VX_APP_INSTALL_LOOKUP_H_
#define VX_APP_INSTALL_LOOKUP_H_

// Reads the value UpdateSettings.m_regInstall of the key
// HKEY_CURRENT_USER\Software\<m_regBase> into UpdateSettings.m_installDir.
// Only when that key can't be opened with full access is
// HKEY_USERS\.DEFAULT\Software\<m_regBase> tried instead. False when neither
// key opens, or the value is missing, is not a plain string, is empty, does
// not fit the field, or names a folder the platform's files can't reach (on
// Linux outside Wine prefix mode: no absolute path): the game counts as not
// installed, and the field is left empty.
bool FindInstallDirectory();

// Why the last FindInstallDirectory found no folder (code page 932), for a
// note to the user; empty after one that found it.
const char* InstallLookupFailure();

#endif  // VX_APP_INSTALL_LOOKUP_H_
