// The update list `update.lst` and the settings it carries: read once at
// start into the process-wide UpdateSettings record and the UpdateList of
// copy rules, which the rest of the installer only reads.
#ifndef VX_APP_UPDATE_LIST_H_
#define VX_APP_UPDATE_LIST_H_

#include <map>
#include <vector>

#include "text/vx_string.h"

// Fixed-capacity settings fields; each capacity counts the terminating zero.
struct UpdateSettingsRecord {
  char m_mutexName[16];    // mutexname: the running game's mutex; empty skips the check
  char m_patchName[256];   // patchname: the patch's display name
  char m_regInstall[64];   // reginstall: the value that holds the install directory
  char m_regBase[256];     // regbase: the key below Software that holds it
  char m_installDir[260];  // found in the registry, never read from the list
  char m_title[64];        // gametitle: the game's display name
};

// One copy rule: a file name or wildcard pattern relative to the patch folder,
// and the text appended unchanged to the install directory.
struct UpdateEntry {
  CVxString m_source;
  CVxString m_destination;
};

// The number a settings key maps to; 0 for any other text.
enum SettingKey : int {
  kNoKey = 0,
  kGameTitle = 1,
  kPatchName = 2,
  kMutexName = 3,
  kRegBase = 4,
  kRegInstall = 5
};

extern UpdateSettingsRecord UpdateSettings;
extern std::vector<UpdateEntry> UpdateList;

// Clears UpdateSettings, then reads the named list (relative to the current
// directory) into UpdateSettings and UpdateList. A title or patch name longer
// than its field is cut at the last whole character that fits. False when the
// file can't be read (settings stay empty) or names a mutex, registry key or
// value that does not fit its field (settings cleared, UpdateList emptied:
// nothing half-read remains).
bool ReadUpdateList(const char* fileName);

#endif  // VX_APP_UPDATE_LIST_H_
