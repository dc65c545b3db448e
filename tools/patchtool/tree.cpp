// Folder trees and file contents, read through the platform layer with
// system-text paths, as the installer reads them.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "tools/patchtool/patchtool.h"

namespace patchtool {

const char kListName[] = "update.lst";
const char kInstallerName[] = "Update.exe";

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

bool SameContents(const std::string& a, const std::string& b, bool* readable) {
  *readable = false;
  platform::FileHandle x = platform::OpenExisting(a.c_str(), platform::Share::kRead);
  platform::FileHandle y = platform::OpenExisting(b.c_str(), platform::Share::kRead);
  uint64_t sizeX = 0;
  uint64_t sizeY = 0;
  bool same = false;
  if (x != nullptr && y != nullptr && platform::FileSize(x, &sizeX) &&
      platform::FileSize(y, &sizeY)) {
    *readable = true;
    same = sizeX == sizeY;
    std::vector<char> bufferX(1 << 16);
    std::vector<char> bufferY(1 << 16);
    for (uint64_t done = 0; same && done < sizeX;) {
      uint32_t gotX = 0;
      uint32_t gotY = 0;
      uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(bufferX.size(), sizeX - done));
      if (!platform::ReadBytes(x, bufferX.data(), want, &gotX) ||
          !platform::ReadBytes(y, bufferY.data(), want, &gotY) || gotX != gotY || gotX == 0) {
        *readable = false;
        same = false;
        break;
      }
      same = std::memcmp(bufferX.data(), bufferY.data(), gotX) == 0;
      done += gotX;
    }
  }
  platform::CloseFileHandle(x);
  platform::CloseFileHandle(y);
  return same;
}

bool FileWriteTime(const std::string& path, uint64_t* time) {
  platform::FileHandle file = platform::OpenExisting(path.c_str(), platform::Share::kRead);
  bool got = file != nullptr && platform::LastWriteTime(file, time);
  platform::CloseFileHandle(file);
  return got;
}

std::vector<std::string> Characters(const std::string& text) {
  std::vector<std::string> characters;
  for (size_t i = 0; i < text.size();) {
    size_t step =
        platform::IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size() ? 2 : 1;
    characters.push_back(text.substr(i, step));
    i += step;
  }
  return characters;
}

std::string FoldCase(const std::string& text) {
  std::string folded;
  for (std::string c : Characters(text)) {
    if (c.size() == 1 && c[0] >= 'a' && c[0] <= 'z') c[0] = static_cast<char>(c[0] - 'a' + 'A');
    folded += c;
  }
  return folded;
}

}  // namespace patchtool
