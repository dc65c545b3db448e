#include "platform/posix/case_walk.h"

#include <dirent.h>
#include <sys/stat.h>

namespace platform::posix {
namespace {

char Fold(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

// The name of the entry of folder that stands for name, or empty for none.
// Names equal but for case come in byte order in a search, so the first of
// them is the least.
std::string FindEntry(const std::string& folder, std::string_view name) {
  struct stat st;
  if (::lstat((folder + std::string(name)).c_str(), &st) == 0) return std::string(name);
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return std::string();
  std::string best;
  while (const dirent* d = ::readdir(dir)) {
    std::string_view entry = d->d_name;
    if (SameNoCase(entry, name) && (best.empty() || entry < best)) best = entry;
  }
  ::closedir(dir);
  return best;
}

}  // namespace

void AppendMatchingCase(std::string* path, std::string_view rest) {
  bool found = true;
  while (!rest.empty()) {
    size_t end = rest.find('/');
    std::string_view name = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    std::string entry;
    if (found && !name.empty() && name != "." && name != "..") {
      entry = FindEntry(*path, name);
      found = !entry.empty();
    }
    path->append(entry.empty() ? std::string(name) : entry);
    while (!rest.empty() && rest.front() == '/') {
      path->push_back('/');
      rest.remove_prefix(1);
    }
  }
}

}  // namespace platform::posix
