// Where packtool meets the system: names in the local text, binary output.
#include <cerrno>
#include <cstdio>
#include <string>

#include "tools/packtool/packtool.h"

#ifdef _WIN32
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "platform/text.h"
#else
#include <sys/stat.h>

#include "platform/posix/text/cp932.h"
#endif

namespace packtool {

void Error(const std::string& message) { std::fprintf(stderr, "packtool: %s\n", message.c_str()); }

#ifdef _WIN32

// The command line and file names are already ANSI text.
bool ToSystemText(const std::string& local, std::string* system) {
  *system = local;
  return true;
}

bool ToLocalText(const std::string& system, std::string* local) {
  *local = system;
  return true;
}

std::string ToDisplayText(const std::string& system) { return system; }

std::string BaseName(const std::string& local) {
  // A separator is a byte of its own, never the second byte of a character.
  size_t start = 0;
  for (size_t i = 0; i < local.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(local[i]);
    if (platform::IsLeadByte(c) && i + 1 < local.size()) {
      ++i;
    } else if (c == '\\' || c == '/' || c == ':') {
      start = i + 1;
    }
  }
  return local.substr(start);
}

static bool MakeFolder(const std::string& path) {
  return _mkdir(path.c_str()) == 0 || errno == EEXIST;
}

void SetBinaryOutput() { _setmode(_fileno(stdout), _O_BINARY); }

bool IsFolder(const std::string& local) {
  DWORD attributes = GetFileAttributesA(local.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

#else

bool ToSystemText(const std::string& local, std::string* system) {
  return platform::posix::Utf8ToCp932(local, system);
}

bool ToLocalText(const std::string& system, std::string* local) {
  return platform::posix::Cp932ToUtf8(system, local);
}

std::string ToDisplayText(const std::string& system) {
  return platform::posix::Cp932ToUtf8Lossy(system);
}

std::string BaseName(const std::string& local) {
  size_t slash = local.find_last_of('/');
  return slash == std::string::npos ? local : local.substr(slash + 1);
}

static bool MakeFolder(const std::string& path) {
  return mkdir(path.c_str(), 0777) == 0 || errno == EEXIST;
}

void SetBinaryOutput() {}

bool IsFolder(const std::string& local) {
  struct stat s;
  return ::stat(local.c_str(), &s) == 0 && S_ISDIR(s.st_mode);
}

#endif

std::string Hex(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof(text), "%08X", static_cast<unsigned>(value));
  return text;
}

bool MakeFolders(const std::string& local) {
  // Each prefix that ends before a separator, then the whole path.
  for (size_t i = 1; i < local.size(); ++i) {
    if ((local[i] == '/' || local[i] == '\\') && local[i - 1] != ':' && local[i - 1] != '/' &&
        local[i - 1] != '\\') {
      MakeFolder(local.substr(0, i));
    }
  }
  return MakeFolder(local);
}

}  // namespace packtool
