// The patch folder's tree, read through the platform layer with
// system-text paths, as the installer reads it.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "tools/patchtool/patchtool.h"

namespace patchtool {

const char kListName[] = "update.lst";
const char kInstallerName[] = "Update.exe";
const char kRemovedListName[] = "removed.txt";

namespace {

bool ListFolder(const std::string& root, const std::string& relative,
                std::vector<std::string>* files, std::vector<std::string>* folders,
                std::string* error) {
  std::string base = root.empty() ? relative : relative.empty() ? root : root + "\\" + relative;
  std::string pattern = base.empty() ? "*" : base + "\\*";
  platform::FoundEntry entry;
  platform::SearchHandle search = platform::StartSearch(pattern.c_str(), &entry);
  if (search == nullptr) return true;
  std::vector<std::string> subfolders;
  do {
    std::string name = entry.m_name;
    if (name == "." || name == "..") continue;
    // The ANSI search spells a character with no ANSI form as `?`, which no
    // Windows name holds.
    if (name.find('?') != std::string::npos) {
      *error = (relative.empty() ? name : relative + "\\" + name) +
               ": the name has no code page 932 form";
      platform::EndSearch(search);
      return false;
    }
    std::string path = relative.empty() ? name : relative + "\\" + name;
    if (entry.m_attributes & platform::kAttributeDirectory) {
      subfolders.push_back(path);
    } else {
      files->push_back(path);
    }
  } while (platform::ContinueSearch(search, &entry));
  platform::EndSearch(search);
  for (const std::string& folder : subfolders) {
    if (folders != nullptr) folders->push_back(folder);
    if (!ListFolder(root, folder, files, folders, error)) return false;
  }
  return true;
}

}  // namespace

bool ListFiles(const std::string& root, std::vector<std::string>* files,
               std::vector<std::string>* folders, std::string* error) {
  if (!ListFolder(root, "", files, folders, error)) return false;
  std::sort(files->begin(), files->end());
  if (folders != nullptr) std::sort(folders->begin(), folders->end());
  return true;
}

}  // namespace patchtool
