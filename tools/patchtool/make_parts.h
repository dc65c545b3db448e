// The steps of patchtool make apart from its comparison: its options, the
// settings of the list, the installer it ships, what --exclude leaves out,
// and the writing of the patch folder.
#ifndef VX_TOOLS_PATCHTOOL_MAKE_PARTS_H_
#define VX_TOOLS_PATCHTOOL_MAKE_PARTS_H_

#include <string>
#include <vector>

#include "tools/patchtool/contents.h"
#include "tools/patchtool/patchtool.h"

namespace patchtool {

struct MakeOptions {
  std::vector<std::string> paths;                                 // OLD NEW OUT, absolute local
  std::vector<std::string> values = std::vector<std::string>(6);  // local text by SettingKey
  std::vector<bool> given = std::vector<bool>(6, false);
  std::string settings;               // absolute local, or empty
  std::string installer;              // absolute local, or empty
  std::vector<std::string> excludes;  // system text
  bool touch = false;
  bool delta = false;  // ship changed files as deltas where smaller
};

// False (a usage error said) when the arguments do not make a command.
bool ParseMakeOptions(const std::vector<std::string>& args, MakeOptions* options);

// The settings of the list to write, by SettingKey, and which keys it
// writes; reports an error for each that the installer would refuse, cut,
// or read otherwise than meant.
void GatherSettings(const MakeOptions& options, Reporter& r, std::vector<std::string>* values,
                    std::vector<bool>* present);

// The Windows installer to ship: --installer, else the one installed beside
// patchtool or by the package. Reports a warning when there is none and an
// error when it is no Windows program; empty when none is shipped.
std::string ChooseInstaller(const MakeOptions& options, Reporter& r);

// True when a relative path (system text) is left out by an --exclude
// pattern: one without a separator matches any single name, one with a
// separator the path from the top; `*` and `?` as in rules, letters without
// regard to case.
bool Excluded(const std::vector<std::string>& patterns, const std::string& path);

// Writes the patch folder at staging (local): the files (a delta in place of
// NEW's file where contents holds one), the installer, the list, the
// manifest and the list of files only in OLD. *failure says what could not
// be written; it stays empty on success.
void WriteStaging(const MakeOptions& options, const std::string& staging,
                  const std::vector<std::string>& files, const PatchContents& contents,
                  const std::string& installer, const std::vector<std::string>& values,
                  const std::vector<bool>& present, const std::vector<std::string>& rules,
                  const std::vector<std::string>& onlyInOld, std::string* failure);

}  // namespace patchtool

#endif  // VX_TOOLS_PATCHTOOL_MAKE_PARTS_H_
