#include "platform/posix/registry/wine_prefix.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace platform::posix {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string HomeFolder() {
  std::string home = Env("HOME");
  if (home.empty()) {
    const passwd* pw = ::getpwuid(::geteuid());
    if (pw != nullptr && pw->pw_dir != nullptr) home = pw->pw_dir;
  }
  return home;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// Wine's own checks of a prefix before it uses one.
void CheckPrefix(PrefixChoice* choice) {
  choice->usable = false;
  if (choice->path.empty() || choice->path[0] != '/') {
    choice->why = "WINEPREFIX is not an absolute path";
    return;
  }
  struct stat st;
  if (::stat(choice->path.c_str(), &st) != 0) {
    // A prefix that does not exist yet is empty: nothing is installed there.
    choice->usable = errno == ENOENT;
    if (!choice->usable) choice->why = "the prefix can't be examined";
    return;
  }
  if (st.st_uid != ::geteuid()) {
    choice->why = "the prefix is not owned by you";
    return;
  }
  choice->usable = true;
}

PrefixChoice Choose() {
  PrefixChoice choice;
  if (!Env("VXUPDATE_REGISTRY").empty()) return choice;
  std::string wine = Env("WINEPREFIX");
  if (!wine.empty()) {
    choice.source = PrefixChoice::kVariable;
    choice.path = wine;
  } else {
    std::string home = HomeFolder();
    if (home.empty() || Exists(RegistryFilePath()) || !Exists(home + "/.wine/user.reg")) {
      return choice;
    }
    choice.source = PrefixChoice::kDefault;
    choice.path = home + "/.wine";
  }
  while (choice.path.size() > 1 && choice.path.back() == '/') choice.path.pop_back();
  CheckPrefix(&choice);
  return choice;
}

}  // namespace

std::string RegistryFilePath() {
  std::string file = Env("VXUPDATE_REGISTRY");
  if (!file.empty()) return file;
  std::string config = Env("XDG_CONFIG_HOME");
  std::string base = !config.empty() && config[0] == '/' ? config : HomeFolder() + "/.config";
  return base + "/vxupdate/registry.reg";
}

const PrefixChoice& CurrentPrefix() {
  // Every path of a run in prefix mode asks; the answer changes only with
  // the environment (the file store does not make its file in prefix mode,
  // and a run outside it never looks for a prefix again).
  static std::vector<std::string> key;
  static PrefixChoice choice;
  std::vector<std::string> now = {Env("VXUPDATE_REGISTRY"), Env("WINEPREFIX"),
                                  Env("XDG_CONFIG_HOME"), Env("HOME")};
  if (key.empty() || now != key) {
    choice = Choose();
    key = std::move(now);
  }
  return choice;
}

bool InWinePrefix(std::string* prefix) {
  const PrefixChoice& choice = CurrentPrefix();
  if (choice.source == PrefixChoice::kNone) return false;
  *prefix = choice.path;
  return true;
}

std::string ResolveDots(std::string_view rest) {
  std::vector<std::string_view> parts;
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string out;
  for (std::string_view part : parts) {
    if (!out.empty()) out += '/';
    out.append(part);
  }
  return out;
}

DriveMapping MapWineDrive(std::string_view path, std::string* folder, std::string* rest) {
  if (path.size() < 2 || path[1] != ':') return DriveMapping::kNone;
  char letter = path[0];
  if (letter >= 'A' && letter <= 'Z') letter = static_cast<char>(letter - 'A' + 'a');
  if (letter < 'a' || letter > 'z') return DriveMapping::kNone;
  const PrefixChoice& choice = CurrentPrefix();
  if (choice.source == PrefixChoice::kNone) return DriveMapping::kNone;
  if (!choice.usable) return DriveMapping::kUnmapped;
  // Wine keeps a drive as a link named after its letter, in lower case.
  *folder = choice.path + "/dosdevices/" + letter + ":";
  struct stat st;
  if (::stat(folder->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return DriveMapping::kUnmapped;
  std::string_view after = path.substr(2);
  *rest = ResolveDots(after);
  if (!rest->empty() && after.back() == '/') *rest += '/';
  return DriveMapping::kMapped;
}

}  // namespace platform::posix
