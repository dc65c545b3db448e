#include "platform/posix/registry/wine_prefix.h"

#include <sys/stat.h>

#include <cstdlib>

namespace platform::posix {

bool InWinePrefix(std::string* prefix) {
  const char* file = std::getenv("VXUPDATE_REGISTRY");
  if (file != nullptr && *file != '\0') return false;
  const char* wine = std::getenv("WINEPREFIX");
  if (wine == nullptr || *wine == '\0') return false;
  *prefix = wine;
  while (prefix->size() > 1 && prefix->back() == '/') prefix->pop_back();
  return true;
}

DriveMapping MapWineDrive(std::string_view path, std::string* folder, std::string_view* rest) {
  if (path.size() < 2 || path[1] != ':') return DriveMapping::kNone;
  char letter = path[0];
  if (letter >= 'A' && letter <= 'Z') letter = static_cast<char>(letter - 'A' + 'a');
  if (letter < 'a' || letter > 'z') return DriveMapping::kNone;
  std::string prefix;
  if (!InWinePrefix(&prefix)) return DriveMapping::kNone;
  // Wine keeps a drive as a link named after its letter, in lower case.
  *folder = prefix + "/dosdevices/" + letter + ":";
  struct stat st;
  if (::stat(folder->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return DriveMapping::kUnmapped;
  *rest = path.substr(2);
  while (!rest->empty() && rest->front() == '/') rest->remove_prefix(1);
  return DriveMapping::kMapped;
}

}  // namespace platform::posix
