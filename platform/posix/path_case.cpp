#include "platform/posix/path_case.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

namespace platform::posix {
namespace {

unsigned char Upper(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') ? static_cast<unsigned char>(u - 0x20) : u;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + '/' + name;
}

// The entry of folder equal to name without regard to ASCII case, the first
// in a search's order; empty when there is none.
std::string FindNoCase(const std::string& folder, const std::string& name) {
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return std::string();
  std::string best;
  while (dirent* d = ::readdir(dir)) {
    std::string_view entry = d->d_name;
    if (SameNameNoCase(entry, name) && (best.empty() || NameBefore(entry, best))) {
      best = entry;
    }
  }
  ::closedir(dir);
  return best;
}

}  // namespace

bool NameBefore(std::string_view a, std::string_view b) {
  auto rank = [](std::string_view s) { return s == "." ? 0 : s == ".." ? 1 : 2; };
  if (rank(a) != rank(b)) return rank(a) < rank(b);
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = Upper(a[i]);
    unsigned char y = Upper(b[i]);
    if (x != y) return x < y;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

bool SameNameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

std::string ResolveCase(std::string root, const std::vector<std::string>& components) {
  std::string path = std::move(root);
  bool resolving = true;
  for (const std::string& name : components) {
    if (name.empty()) {
      path += '/';
      continue;
    }
    std::string written = Join(path, name);
    if (resolving && name != "." && name != ".." && !Exists(written)) {
      std::string found = FindNoCase(path, name);
      if (!found.empty()) {
        path = Join(path, found);
        continue;
      }
      resolving = false;  // nothing below a missing name exists
    }
    path = std::move(written);
  }
  return path;
}

std::string ResolvePathCase(const std::string& path) {
  if (path.empty() || Exists(path)) return path;
  std::vector<std::string> components;
  size_t start = path[0] == '/' ? 1 : 0;
  for (;;) {
    size_t slash = path.find('/', start);
    components.push_back(path.substr(start, slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return ResolveCase(path[0] == '/' ? "/" : "", components);
}

}  // namespace platform::posix
