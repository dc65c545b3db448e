// Where patchtool meets the system: local text, the current directory, time
// stamps, and the terminal.
#include <cstdio>
#include <string>

#include "tools/patchtool/patchtool.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "platform/posix/text/cp932.h"
#endif

namespace patchtool {

void Error(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "patchtool: %s\n", Shown(message).c_str());
}

void Warn(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "patchtool: warning: %s\n", Shown(message).c_str());
}

void PrintLine(const std::string& line) { std::printf("%s\n", Shown(line).c_str()); }

#ifdef _WIN32

// The command line and file names are already ANSI text.
bool ToSystemText(const std::string& local, std::string* system) {
  *system = local;
  return true;
}

std::string Shown(const std::string& system) { return system; }

bool IsSystemText(const std::string& text) {
  if (text.empty()) return true;
  return MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                             nullptr, 0) > 0;
}

bool AbsolutePath(const std::string& local, std::string* absolute) {
  char buffer[MAX_PATH * 4];
  DWORD n = GetFullPathNameA(local.c_str(), sizeof(buffer), buffer, nullptr);
  if (n == 0 || n >= sizeof(buffer)) return false;
  *absolute = std::string(buffer, n);
  return true;
}

bool ChangeDirectory(const std::string& local) { return SetCurrentDirectoryA(local.c_str()) != 0; }

bool TouchNow(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  bool set = SetFileTime(file, nullptr, nullptr, &now) != 0;
  CloseHandle(file);
  return set;
}

// The search of the ANSI calls reports a character without an ANSI form as
// `?`, which no Windows name holds: ListFiles refuses such names itself.
bool FindUnconvertibleName(const std::string&, std::string*) { return false; }

#else

bool ToSystemText(const std::string& local, std::string* system) {
  return platform::posix::Utf8ToCp932(local, system);
}

std::string Shown(const std::string& system) { return platform::posix::Cp932ToUtf8Lossy(system); }

bool IsSystemText(const std::string& text) {
  std::string utf8;
  return platform::posix::Cp932ToUtf8(text, &utf8);
}

bool AbsolutePath(const std::string& local, std::string* absolute) {
  if (!local.empty() && local[0] == '/') {
    *absolute = local;
    return true;
  }
  std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
  if (!cwd) return false;
  std::string base = cwd.get();
  *absolute = local.empty() || local == "." ? base : base + "/" + local;
  return true;
}

bool ChangeDirectory(const std::string& local) { return ::chdir(local.c_str()) == 0; }

bool TouchNow(const std::string& path) {
  std::string native;
  return platform::posix::ToNativePath(path.c_str(), &native) &&
         ::utimensat(AT_FDCWD, native.c_str(), nullptr, 0) == 0;
}

bool FindUnconvertibleName(const std::string& local, std::string* found) {
  std::error_code error;
  for (std::filesystem::recursive_directory_iterator it(local, error), end; !error && it != end;
       it.increment(error)) {
    std::string name = it->path().filename().string();
    std::string system;
    // A backslash in a Linux name would be taken for a separator.
    if (!platform::posix::Utf8ToCp932(name, &system) || name.find('\\') != std::string::npos) {
      *found = it->path().string();
      return true;
    }
  }
  return false;
}

#endif

}  // namespace patchtool
