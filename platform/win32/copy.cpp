// The copy of one file over another, made by the system's own copy
// (CopyFileExW: contents, attributes and time stamps). Every path goes to
// kernel32's wide calls in its long form `\\?\`, so that the temporary name
// next to a destination that fits its 260-byte area never fails for length.
#include <windows.h>

#include <string>

#include "platform/fs.h"

namespace platform {
namespace {

// Next copy to fail after this many bytes; negative when none is to fail.
LONGLONG g_failAfter = -1;
// What a test runs between the next replacing copy's write and its move.
NewFileHook g_newFileHook = nullptr;
void* g_newFileContext = nullptr;

// How long the final move keeps trying while a virus scanner or an indexer
// holds the new file, and the pause between two tries.
constexpr DWORD kRetryMs = 1000;
constexpr DWORD kRetryStepMs = 50;

// After a try first made at start failed for error: true, after a pause,
// when the file looks held by another process and the time to wait for it
// (measured by the clock, however long each try took) is not yet over.
bool TryAgain(DWORD error, DWORD start) {
  if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) return false;
  if (GetTickCount() - start >= kRetryMs) return false;
  Sleep(kRetryStepMs);
  return true;
}

// The long form of a code page 932 path: full, with `\\?\` (or `\\?\UNC\`
// for a network path) in front. Empty when it can't be made.
std::wstring LongForm(const char* path) {
  int n = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
  if (n <= 1) return std::wstring();
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, path, -1, &wide[0], n);
  wide.resize(static_cast<size_t>(n - 1));
  if (wide.compare(0, 4, L"\\\\?\\") == 0) return wide;
  DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return std::wstring();
  std::wstring full(size, L'\0');
  DWORD got = GetFullPathNameW(wide.c_str(), size, &full[0], nullptr);
  if (got == 0 || got >= size) return std::wstring();
  full.resize(got);
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// The folder of a long-form path, with its trailing backslash.
std::wstring FolderOf(const std::wstring& path) {
  size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

// The file that a symbolic link finally names, in long form; empty when the
// system can't tell.
std::wstring LinkTarget(const std::wstring& link) {
  HANDLE h = CreateFileW(link.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::wstring();
  std::wstring target(MAX_PATH, L'\0');
  DWORD n = GetFinalPathNameByHandleW(h, &target[0], static_cast<DWORD>(target.size()),
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n >= target.size()) {
    target.resize(n + 1);
    n = GetFinalPathNameByHandleW(h, &target[0], static_cast<DWORD>(target.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  }
  CloseHandle(h);
  if (n == 0 || n >= target.size()) return std::wstring();
  target.resize(n);
  return target;
}

DWORD CALLBACK StopAtLimit(LARGE_INTEGER, LARGE_INTEGER transferred, LARGE_INTEGER, LARGE_INTEGER,
                           DWORD, DWORD, HANDLE, HANDLE, LPVOID limit) {
  return transferred.QuadPart >= *static_cast<LONGLONG*>(limit) ? PROGRESS_CANCEL
                                                                : PROGRESS_CONTINUE;
}

// The system's copy of from onto to. With a failure asked for by a test,
// the copy is cancelled once that many bytes are written, or fails after
// the whole copy when the system reports no progress; what it wrote is left
// for the caller to remove, as after a real failure.
bool SystemCopy(const std::wstring& from, const std::wstring& to, LONGLONG failAfter, DWORD flags) {
  if (failAfter < 0) return CopyFileExW(from.c_str(), to.c_str(), nullptr, nullptr, nullptr, flags);
  if (CopyFileExW(from.c_str(), to.c_str(), StopAtLimit, &failAfter, nullptr, flags)) {
    SetLastError(ERROR_WRITE_FAULT);
  }
  return false;
}

// Removes a file that this copy made, whatever its attributes (the system's
// copy gives it the source's), trying for a while as the move does.
void Remove(const std::wstring& path) {
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  const DWORD start = GetTickCount();
  while (!DeleteFileW(path.c_str())) {
    if (!TryAgain(GetLastError(), start)) return;
  }
}

// For tests: runs the hook a test set on the new file, once.
void RunNewFileHook(const std::wstring& path) {
  NewFileHook hook = g_newFileHook;
  g_newFileHook = nullptr;
  if (hook != nullptr) hook(path.c_str(), g_newFileContext);
}

// Moves the new file over the destination in one step, trying for about a
// second while another process still holds the new file.
bool MoveOver(const std::wstring& temp, const std::wstring& target) {
  const DWORD start = GetTickCount();
  while (!MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    if (!TryAgain(GetLastError(), start)) return false;  // with the move's error as the last
  }
  return true;
}

// Copies onto the existing target itself, as the plain copy does, once the
// volume has room for the whole new file. For a folder that takes no new
// file while the file itself may be written.
bool CopyInPlace(const std::wstring& from, const std::wstring& target, LONGLONG failAfter) {
  WIN32_FILE_ATTRIBUTE_DATA source;
  ULARGE_INTEGER room;
  if (!GetFileAttributesExW(from.c_str(), GetFileExInfoStandard, &source) ||
      !GetDiskFreeSpaceExW(FolderOf(target).c_str(), &room, nullptr, nullptr)) {
    return false;
  }
  ULONGLONG size = (static_cast<ULONGLONG>(source.nFileSizeHigh) << 32) | source.nFileSizeLow;
  if (room.QuadPart < size) {
    SetLastError(ERROR_DISK_FULL);
    return false;
  }
  return SystemCopy(from, target, failAfter, 0);
}

// The path with its last component spelled as the folder holds it. Names
// are found without regard to letter case, and a move onto GAME.EXE would
// give an existing game.exe the name GAME.EXE; the plain copy keeps it.
std::wstring StoredName(const std::wstring& path) {
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW(path.c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return path;
  FindClose(h);
  return FolderOf(path) + found.cFileName;
}

// Replaces the existing target by a copy made under a temporary name in its
// folder and moved over it, under the name the target has.
bool Replace(const std::wstring& from, const std::wstring& written, LONGLONG failAfter) {
  static unsigned counter = 0;
  const std::wstring target = StoredName(written);
  const std::wstring folder = FolderOf(target);
  for (int attempt = 0; attempt < 100; ++attempt) {
    wchar_t name[32];
    wsprintfW(name, L"~vx%lx%x.tmp", GetCurrentProcessId(), counter++);
    const std::wstring temp = folder + name;
    if (SystemCopy(from, temp, failAfter, COPY_FILE_FAIL_IF_EXISTS)) {
      RunNewFileHook(temp);
      if (MoveOver(temp, target)) return true;
      DWORD error = GetLastError();
      Remove(temp);
      SetLastError(error);
      return false;
    }
    DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;  // another name
    if (error == ERROR_ACCESS_DENIED) return CopyInPlace(from, target, failAfter);
    Remove(temp);
    SetLastError(error);
    return false;
  }
  return false;
}

}  // namespace

bool CopyOver(const char* source, const char* destination, FileHandle openSource) {
  // The system's copy opens the source itself; this open shares nothing.
  CloseFileHandle(openSource);
  LONGLONG failAfter = g_failAfter;
  g_failAfter = -1;
  const std::wstring from = LongForm(source);
  std::wstring target = LongForm(destination);
  if (from.empty() || target.empty()) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }

  DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND) {
    // A destination that does not exist yet: nothing can be lost. It is
    // made under its own name, and removed again if the copy fails.
    if (SystemCopy(from, target, failAfter, COPY_FILE_FAIL_IF_EXISTS)) return true;
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
      Remove(target);
      SetLastError(error);
      return false;
    }
    attributes = GetFileAttributesW(target.c_str());  // made meanwhile by another
  }
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    // A symbolic link is written through: its target is replaced.
    target = LinkTarget(target);
    attributes = target.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  }
  // What CopyFileA refuses, the move would not always refuse: a read-only or
  // hidden destination, or one that another process holds open.
  if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  HANDLE probe = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return false;
  CloseHandle(probe);
  return Replace(from, target, failAfter);
}

void FailNextCopyAfter(uint64_t bytes) { g_failAfter = static_cast<LONGLONG>(bytes); }

void OnNextNewFile(NewFileHook hook, void* context) {
  g_newFileHook = hook;
  g_newFileContext = context;
}

}  // namespace platform
