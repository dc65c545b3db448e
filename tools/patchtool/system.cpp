// Where patchtool meets the system: local text, the current directory, the
// terminal, and the publisher's folders walked and written in local terms.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "tools/patchtool/patchtool.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "platform/posix/text/cp932.h"
#endif

namespace patchtool {

void Error(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "patchtool: %s\n", Shown(message).c_str());
}

bool SameLocalContents(const std::string& a, const std::string& b, bool* readable) {
  std::ifstream x(a, std::ios::binary);
  std::ifstream y(b, std::ios::binary);
  *readable = x.is_open() && y.is_open();
  if (!*readable) return false;
  // Made once: zeroing fresh buffers for every file would cost more than
  // reading most files.
  static std::vector<char> bufferX(1 << 16);
  static std::vector<char> bufferY(1 << 16);
  while (true) {
    x.read(bufferX.data(), static_cast<std::streamsize>(bufferX.size()));
    y.read(bufferY.data(), static_cast<std::streamsize>(bufferY.size()));
    if (x.bad() || y.bad()) {
      *readable = false;
      return false;
    }
    if (x.gcount() != y.gcount() ||
        std::memcmp(bufferX.data(), bufferY.data(), static_cast<size_t>(x.gcount())) != 0) {
      return false;
    }
    if (x.gcount() == 0 || x.eof() || y.eof()) return x.eof() && y.eof();
  }
}

bool WriteLocalFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  out.close();
  return static_cast<bool>(out);
}

std::string FileHead(const std::string& local, size_t count) {
  std::ifstream in(local, std::ios::binary);
  std::string head(count, '\0');
  in.read(head.data(), static_cast<std::streamsize>(count));
  head.resize(static_cast<size_t>(in.gcount()));
  return head;
}

#ifdef _WIN32

// The command line and file names are already ANSI text.
bool ToSystemText(const std::string& local, std::string* system) {
  *system = local;
  return true;
}

std::string Shown(const std::string& system) { return system; }

std::string ToUtf8(const std::string& system) {
  if (system.empty()) return system;
  int n = MultiByteToWideChar(932, 0, system.data(), static_cast<int>(system.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(932, 0, system.data(), static_cast<int>(system.size()), wide.data(), n);
  int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(m), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, utf8.data(), m, nullptr, nullptr);
  return utf8;
}

std::string LocalToUtf8(const std::string& local) { return ToUtf8(local); }

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
  while (absolute->size() > 3 && absolute->back() == '\\') absolute->pop_back();
  return true;
}

bool ChangeDirectory(const std::string& local) { return SetCurrentDirectoryA(local.c_str()) != 0; }

namespace {

uint64_t FileTimeValue(const FILETIME& t) {
  return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

bool Walk(const std::string& root, const std::string& relative, int depth,
          const std::function<bool(const std::string&)>& skip, std::vector<TreeEntry>* entries) {
  std::string pattern = (relative.empty() ? root : root + "\\" + relative) + "\\*";
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return depth > 0;
  std::vector<std::string> folders;
  do {
    std::string name = data.cFileName;
    if (name == "." || name == "..") continue;
    TreeEntry entry;
    entry.m_path = relative.empty() ? name : relative + "\\" + name;
    if (skip(entry.m_path)) continue;
    entry.m_time = FileTimeValue(data.ftLastWriteTime);
    entry.m_size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    entry.m_kind =
        data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? EntryKind::kFolder : EntryKind::kFile;
    // The ANSI search spells a character with no ANSI form as `?`.
    if (name.find('?') != std::string::npos) {
      entry.m_problem = "the name has no code page 932 form";
    } else if (entry.m_kind == EntryKind::kFolder &&
               (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && depth >= 32) {
      entry.m_problem = "a link that leads back into itself (a loop)";
    } else if (entry.m_kind == EntryKind::kFolder) {
      folders.push_back(entry.m_path);
    }
    entries->push_back(entry);
  } while (FindNextFileA(search, &data));
  FindClose(search);
  for (const std::string& folder : folders) Walk(root, folder, depth + 1, skip, entries);
  return true;
}

}  // namespace

bool WalkTree(const std::string& root, const std::function<bool(const std::string&)>& skip,
              std::vector<TreeEntry>* entries, std::string* error) {
  if (!IsLocalFolder(root)) {
    *error = root + ": no such folder";
    return false;
  }
  Walk(root, "", 0, skip, entries);
  return true;
}

std::string LocalPathOf(const std::string& root, const std::string& relative) {
  return relative.empty() ? root : root + "\\" + relative;
}

bool CopyLocalFile(const std::string& from, const std::string& to, bool touch) {
  if (!CopyFileA(from.c_str(), to.c_str(), TRUE)) return false;
  SetFileAttributesA(to.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!touch) return true;
  HANDLE file = CreateFileA(to.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  bool set = SetFileTime(file, nullptr, nullptr, &now) != 0;
  CloseHandle(file);
  return set;
}

bool MakeLocalFolders(const std::string& path) {
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '\\' && path[i] != '/') {
      if (IsDBCSLeadByte(static_cast<BYTE>(path[i]))) ++i;
      continue;
    }
    std::string prefix = path.substr(0, i);
    if (prefix.empty() || prefix.back() == ':' || IsLocalFolder(prefix)) continue;
    if (!CreateDirectoryA(prefix.c_str(), nullptr)) return false;
  }
  return IsLocalFolder(path);
}

void RemoveLocalTree(const std::string& path) {
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA((path + "\\*").c_str(), &data);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::string name = data.cFileName;
      if (name == "." || name == "..") continue;
      std::string child = path + "\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveLocalTree(child);
      } else {
        SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(child.c_str());
      }
    } while (FindNextFileA(search, &data));
    FindClose(search);
  }
  RemoveDirectoryA(path.c_str());
}

bool RenameLocal(const std::string& from, const std::string& to) {
  return MoveFileA(from.c_str(), to.c_str()) != 0;
}

bool WriteLocalFileLike(const std::string& path, const std::string& bytes, const std::string& like,
                        bool touch) {
  if (!WriteLocalFile(path, bytes)) return false;
  if (touch) return true;
  HANDLE from = CreateFileA(like.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (from == INVALID_HANDLE_VALUE) return false;
  FILETIME written;
  bool ok = GetFileTime(from, nullptr, nullptr, &written) != 0;
  CloseHandle(from);
  HANDLE to = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (to == INVALID_HANDLE_VALUE) return false;
  ok = ok && SetFileTime(to, nullptr, nullptr, &written) != 0;
  CloseHandle(to);
  return ok;
}

bool IsLocalFolder(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool LocalExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsEmptyLocalFolder(const std::string& path) {
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA((path + "\\*").c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return true;
  bool empty = true;
  do {
    std::string name = data.cFileName;
    if (name != "." && name != "..") empty = false;
  } while (empty && FindNextFileA(search, &data));
  FindClose(search);
  return empty;
}

std::string ProgramFolder() {
  char buffer[MAX_PATH * 4];
  DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof(buffer));
  if (n == 0 || n >= sizeof(buffer)) return "";
  std::string path(buffer, n);
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

ReachablePath::~ReachablePath() = default;

bool ReachablePath::Reach(const std::string& local) {
  m_local.clear();
  return AbsolutePath(local, &m_system);
}

std::string ReachablePath::Shown(const std::string& path) const { return path; }

#else

bool ToSystemText(const std::string& local, std::string* system) {
  return platform::posix::Utf8ToCp932(local, system);
}

std::string Shown(const std::string& system) { return platform::posix::Cp932ToUtf8Lossy(system); }

std::string ToUtf8(const std::string& system) { return Shown(system); }

std::string LocalToUtf8(const std::string& local) { return local; }

bool IsSystemText(const std::string& text) {
  std::string utf8;
  return platform::posix::Cp932ToUtf8(text, &utf8);
}

bool AbsolutePath(const std::string& local, std::string* absolute) {
  if (!local.empty() && local[0] == '/') {
    *absolute = local;
  } else {
    std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
    if (!cwd) return false;
    std::string base = cwd.get();
    *absolute = local.empty() || local == "." ? base : base + "/" + local;
  }
  while (absolute->size() > 1 && absolute->back() == '/') absolute->pop_back();
  return true;
}

bool ChangeDirectory(const std::string& local) { return ::chdir(local.c_str()) == 0; }

namespace {

uint64_t FileTimeOf(const struct stat& s) {
  const int64_t kUnixEpochInFileTime = 11644473600LL;
  return static_cast<uint64_t>((s.st_mtim.tv_sec + kUnixEpochInFileTime) * 10000000LL +
                               s.st_mtim.tv_nsec / 100);
}

std::string RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  return real ? std::string(real.get()) : std::string();
}

// A name for messages: every character without a code page 932 form as `?`.
std::string SystemShown(const std::string& utf8) {
  std::string shown;
  for (size_t i = 0; i < utf8.size();) {
    unsigned char b = static_cast<unsigned char>(utf8[i]);
    size_t n = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    std::string system;
    shown += platform::posix::Utf8ToCp932(utf8.substr(i, n), &system) ? system : "?";
    i += n;
  }
  return shown;
}

struct Walker {
  std::string root;
  std::string realRoot;
  const std::function<bool(const std::string&)>* skip;
  std::vector<TreeEntry>* entries;
  std::vector<std::pair<dev_t, ino_t> > ancestors;

  void Walk(const std::string& local, const std::string& relative) {
    DIR* dir = ::opendir(local.c_str());
    if (dir == nullptr) return;
    std::vector<std::string> names;
    while (dirent* d = ::readdir(dir)) {
      std::string name = d->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    for (const std::string& name : names) Visit(local + "/" + name, relative, name);
  }

  void Visit(const std::string& local, const std::string& relative, const std::string& name) {
    TreeEntry entry;
    std::string systemName;
    bool convertible = platform::posix::Utf8ToCp932(name, &systemName);
    entry.m_path =
        (relative.empty() ? "" : relative + "\\") + (convertible ? systemName : SystemShown(name));
    if (convertible && name.find('\\') != std::string::npos) {
      entry.m_problem = "the name holds a backslash, which Windows takes for a folder separator";
    } else if (!convertible) {
      entry.m_problem = "the name has no exact code page 932 form";
    }
    if ((*skip)(entry.m_path)) return;
    struct stat link;
    struct stat target;
    bool isLink = ::lstat(local.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
    if (::stat(local.c_str(), &target) != 0) {
      if (entry.m_problem.empty()) entry.m_problem = "a link that leads nowhere";
      entries->push_back(entry);
      return;
    }
    entry.m_time = FileTimeOf(target);
    if (S_ISDIR(target.st_mode)) {
      entry.m_kind = EntryKind::kFolder;
    } else if (S_ISREG(target.st_mode)) {
      entry.m_size = static_cast<uint64_t>(target.st_size);
    } else {
      entry.m_kind = EntryKind::kOther;
      if (entry.m_problem.empty()) {
        entry.m_problem = "neither a file nor a folder (a FIFO, socket or device)";
      }
    }
    if (isLink && entry.m_problem.empty()) {
      std::string real = RealPath(local);
      if (real != realRoot && real.compare(0, realRoot.size() + 1, realRoot + "/") != 0) {
        entry.m_outsideLink = real;
      }
    }
    bool loop = false;
    for (const auto& [dev, ino] : ancestors) loop |= dev == target.st_dev && ino == target.st_ino;
    if (entry.m_kind == EntryKind::kFolder && loop && entry.m_problem.empty()) {
      entry.m_problem = "a link that leads back into itself (a loop)";
    }
    entries->push_back(entry);
    if (entry.m_kind == EntryKind::kFolder && entry.m_problem.empty()) {
      ancestors.emplace_back(target.st_dev, target.st_ino);
      Walk(local, entry.m_path);
      ancestors.pop_back();
    }
  }
};

}  // namespace

bool WalkTree(const std::string& root, const std::function<bool(const std::string&)>& skip,
              std::vector<TreeEntry>* entries, std::string* error) {
  struct stat s;
  if (::stat(root.c_str(), &s) != 0 || !S_ISDIR(s.st_mode)) {
    *error = root + ": no such folder";
    return false;
  }
  Walker walker{root, RealPath(root), &skip, entries, {{s.st_dev, s.st_ino}}};
  walker.Walk(root, "");
  return true;
}

std::string LocalPathOf(const std::string& root, const std::string& relative) {
  std::string utf8 = Shown(relative);
  for (char& c : utf8) {
    if (c == '\\') c = '/';
  }
  return relative.empty() ? root : root + "/" + utf8;
}

bool CopyLocalFile(const std::string& from, const std::string& to, bool touch) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat s;
  int out = -1;
  bool ok = ::fstat(in, &s) == 0 &&
            (out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644)) >= 0;
  static std::vector<char> buffer(1 << 20);  // made once, not zeroed for every file
  while (ok) {
    ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (ssize_t done = 0; ok && done < n;) {
      ssize_t w = ::write(out, buffer.data() + done, static_cast<size_t>(n - done));
      ok = w > 0;
      done += w > 0 ? w : 0;
    }
  }
  // NEW's permission bits, as a copy keeps them, and its time unless touched.
  if (ok) ok = ::fchmod(out, s.st_mode & 07777 & ~(S_ISUID | S_ISGID)) == 0;
  if (ok && !touch) {
    struct timespec times[2] = {s.st_atim, s.st_mtim};
    ok = ::futimens(out, times) == 0;
  }
  if (out >= 0 && ::close(out) != 0) ok = false;
  ::close(in);
  return ok;
}

bool MakeLocalFolders(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '/') continue;
    std::string prefix = path.substr(0, i);
    if (::mkdir(prefix.c_str(), 0755) != 0 && !IsLocalFolder(prefix)) return false;
  }
  return true;
}

void RemoveLocalTree(const std::string& path) {
  struct stat s;
  if (::lstat(path.c_str(), &s) != 0) return;
  if (S_ISDIR(s.st_mode)) {
    if (DIR* dir = ::opendir(path.c_str())) {
      std::vector<std::string> names;
      while (dirent* d = ::readdir(dir)) {
        std::string name = d->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
      ::closedir(dir);
      for (const std::string& name : names) RemoveLocalTree(path + "/" + name);
    }
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

bool RenameLocal(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool WriteLocalFileLike(const std::string& path, const std::string& bytes, const std::string& like,
                        bool touch) {
  struct stat s;
  if (::stat(like.c_str(), &s) != 0 || !WriteLocalFile(path, bytes)) return false;
  if (::chmod(path.c_str(), s.st_mode & 07777 & ~(S_ISUID | S_ISGID)) != 0) return false;
  if (touch) return true;
  struct timespec times[2] = {s.st_atim, s.st_mtim};
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

bool IsLocalFolder(const std::string& path) {
  struct stat s;
  return ::stat(path.c_str(), &s) == 0 && S_ISDIR(s.st_mode);
}

bool LocalExists(const std::string& path) {
  struct stat s;
  return ::lstat(path.c_str(), &s) == 0;
}

bool IsEmptyLocalFolder(const std::string& path) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return false;
  bool empty = true;
  while (dirent* d = ::readdir(dir)) {
    std::string name = d->d_name;
    if (name != "." && name != "..") empty = false;
  }
  ::closedir(dir);
  return empty;
}

std::string ProgramFolder() {
  std::string self = RealPath("/proc/self/exe");
  size_t slash = self.rfind('/');
  return slash == std::string::npos ? "" : self.substr(0, slash);
}

ReachablePath::~ReachablePath() {
  if (!m_aliasFolder.empty()) RemoveLocalTree(m_aliasFolder);
}

bool ReachablePath::Reach(const std::string& local) {
  if (!AbsolutePath(local, &m_local)) return false;
  if (ToSystemText(m_local, &m_system)) return true;
  // A link with a code page 932 name leads the installer's code there.
  const char* tmp = std::getenv("TMPDIR");
  for (std::string base : {std::string(tmp != nullptr ? tmp : ""), std::string("/tmp")}) {
    std::string system;
    if (base.empty() || !ToSystemText(base, &system)) continue;
    std::string pattern = base + "/patchtool-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) continue;
    m_aliasFolder = pattern;
    std::string alias = pattern + "/folder";
    if (::symlink(m_local.c_str(), alias.c_str()) == 0 && ToSystemText(alias, &m_system)) {
      return true;
    }
  }
  return false;
}

std::string ReachablePath::Shown(const std::string& path) const {
  if (m_aliasFolder.empty() || path.compare(0, m_system.size(), m_system) != 0) {
    return patchtool::Shown(path);
  }
  return m_local + patchtool::Shown(path.substr(m_system.size()));
}

#endif

}  // namespace patchtool
