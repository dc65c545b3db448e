// The copy of one file over another, made by the system's own copy
// (CopyFileExW: contents, attributes and time stamps; a checked copy by our
// own, see checked_copy.h) into a temporary file
// that is flushed and then moved onto the destination's name. The move acts
// on the file (or the absence) that the caller's probe examined, and fails
// as a change met when another program replaced or made it meanwhile. Every path
// goes to kernel32's wide calls in its long form `\\?\`, so that the
// temporary name next to a destination that fits its 260-byte area never
// fails for length.
#include <windows.h>

#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/fs.h"
#include "platform/win32/checked_copy.h"
#include "platform/win32/probe.h"

namespace platform {
namespace {

// Next copy to fail after this many bytes; negative when none is to fail.
LONGLONG g_failAfter = -1;
// The last copy failed because what the probe examined changed meanwhile.
bool g_metChange = false;

// A file as the probe saw it: which one (volume and index) and, as far as
// the decision went by them, its size and last-write time.
struct Identity {
  DWORD volume = 0;
  DWORD indexHigh = 0;
  DWORD indexLow = 0;
  DWORD sizeHigh = 0;
  DWORD sizeLow = 0;
  FILETIME written{};

  bool Read(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return false;
    volume = info.dwVolumeSerialNumber;
    indexHigh = info.nFileIndexHigh;
    indexLow = info.nFileIndexLow;
    sizeHigh = info.nFileSizeHigh;
    sizeLow = info.nFileSizeLow;
    written = info.ftLastWriteTime;
    return true;
  }
  bool operator==(const Identity& other) const {
    return volume == other.volume && indexHigh == other.indexHigh && indexLow == other.indexLow &&
           sizeHigh == other.sizeHigh && sizeLow == other.sizeLow &&
           written.dwLowDateTime == other.written.dwLowDateTime &&
           written.dwHighDateTime == other.written.dwHighDateTime;
  }
};

// What the last probe found under its path text: a file (exists) or
// nothing. Taken by the copy of the same path text that follows it.
struct Probe {
  bool known = false;
  bool exists = false;
  std::string path;
  Identity file;
};
Probe g_probe;

// The copy fails because what the probe examined is no longer there.
bool MetChange() {
  g_metChange = true;
  SetLastError(ERROR_FILE_EXISTS);
  return false;
}

// True when target is still the file the probe examined.
bool StillProbed(const std::wstring& target, const Identity& probed) {
  HANDLE h = CreateFileW(target.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  Identity now;
  bool same = now.Read(h) && now == probed;
  CloseHandle(h);
  return same;
}
// What a test runs between the next replacing copy's write and its move.
NewFileHook g_newFileHook = nullptr;
void* g_newFileContext = nullptr;
void (*g_writtenHook)(void*) = nullptr;
void* g_writtenContext = nullptr;

// Temporary files that another process still held when the copy that made
// them gave up: removed as soon as it lets them go (tried again at every
// copy, and waited for before the run ends).
std::vector<std::wstring> g_leftovers;
constexpr size_t kMaxLeftovers = 64;
// How long the end of the run waits for them.
constexpr DWORD kLeftoverWaitMs = 10000;

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
  // A device path `\\.\X:\...` names what `\\?\X:\...` names, once its
  // `.` and `..` are resolved, which the full path does.
  bool device = wide.compare(0, 4, L"\\\\.\\") == 0;
  DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return std::wstring();
  std::wstring full(size, L'\0');
  DWORD got = GetFullPathNameW(wide.c_str(), size, &full[0], nullptr);
  if (got == 0 || got >= size) return std::wstring();
  full.resize(got);
  if (device && full.compare(0, 4, L"\\\\.\\") == 0) return L"\\\\?\\" + full.substr(4);
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

// Contents made by a CopyContents for the copy under way, and the source
// it reads (open for reading); nullptr for a copy of the source's bytes.
CopyContents* g_contents = nullptr;
HANDLE g_contentsSource = nullptr;

// Takes what a CopyContents produces into a file.
class HandleSink : public CopySink {
 public:
  explicit HandleSink(HANDLE file) : m_file(file) {}
  bool Write(const void* data, uint32_t count) override {
    DWORD done = 0;
    return WriteFile(m_file, data, count, &done, nullptr) && done == count;
  }

 private:
  HANDLE m_file;
};

// Makes the new file `to` (a name that must be free) from g_contents, with
// the source's time stamps. Made contents are never written onto an
// existing file in place (flags without COPY_FILE_FAIL_IF_EXISTS): that is
// refused. What it wrote is left for the caller to remove.
bool ProducedCopy(const std::wstring& to, DWORD flags) {
  if (!(flags & COPY_FILE_FAIL_IF_EXISTS)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  HANDLE out = CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
  if (out == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER start{};
  HandleSink sink(out);
  FILETIME created, accessed, written;
  bool made = SetFilePointerEx(g_contentsSource, start, nullptr, FILE_BEGIN) &&
              g_contents->Produce(g_contentsSource, &sink) &&
              GetFileTime(g_contentsSource, &created, &accessed, &written) &&
              SetFileTime(out, &created, &accessed, &written);
  CloseHandle(out);
  if (!made) SetLastError(ERROR_WRITE_FAULT);
  return made;
}

// The system's copy of from onto to (a checked copy is our own, which
// examines the bytes as it writes them). With a failure asked for by a
// test, the copy is cancelled once that many bytes are written, or fails
// after the whole copy when the system reports no progress; what it wrote
// is left for the caller to remove, as after a real failure.
bool SystemCopy(const std::wstring& from, const std::wstring& to, LONGLONG failAfter, DWORD flags) {
  if (g_contents != nullptr && !g_contents->Unchanged()) return ProducedCopy(to, flags);
  if (g_contents != nullptr && !(flags & COPY_FILE_FAIL_IF_EXISTS)) {
    SetLastError(ERROR_ACCESS_DENIED);  // a checked copy is never written in place
    return false;
  }
  if (failAfter < 0) {
    if (g_contents != nullptr) return win32::CheckedCopy(from, to, g_contents);
    return CopyFileExW(from.c_str(), to.c_str(), nullptr, nullptr, nullptr, flags);
  }
  if (CopyFileExW(from.c_str(), to.c_str(), StopAtLimit, &failAfter, nullptr, flags)) {
    SetLastError(ERROR_WRITE_FAULT);
  }
  return false;
}

// Removes a file that this copy made, whatever its attributes (the system's
// copy gives it the source's). One that another process still holds is
// removed once it lets it go (see RemoveLeftovers).
void Remove(const std::wstring& path) {
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (DeleteFileW(path.c_str())) return;
  DWORD error = GetLastError();
  if ((error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) &&
      g_leftovers.size() < kMaxLeftovers) {
    g_leftovers.push_back(path);
  }
}

// Tries again to remove the temporary files that were held when their copy
// gave up, for up to waitMs; true when none is left.
bool RemoveLeftovers(DWORD waitMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    for (size_t i = 0; i < g_leftovers.size();) {
      SetFileAttributesW(g_leftovers[i].c_str(), FILE_ATTRIBUTE_NORMAL);
      if (DeleteFileW(g_leftovers[i].c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) {
        g_leftovers.erase(g_leftovers.begin() + static_cast<ptrdiff_t>(i));
      } else {
        ++i;
      }
    }
    if (g_leftovers.empty() || GetTickCount() - start >= waitMs) return g_leftovers.empty();
    Sleep(kRetryStepMs);
  }
}

// For tests: runs the hooks a test set on the new file, once.
void RunNewFileHooks(const std::wstring& path) {
  NewFileHook hook = g_newFileHook;
  g_newFileHook = nullptr;
  if (hook != nullptr) hook(path.c_str(), g_newFileContext);
  void (*written)(void*) = g_writtenHook;
  g_writtenHook = nullptr;
  if (written != nullptr) written(g_writtenContext);
}

// Opens the written temporary file for the copy itself, trying for about a
// second while another process holds it. While this handle is open nobody
// can hold the file without sharing, and it can be removed even while
// another process reads it.
HANDLE HoldOwn(const std::wstring& temp) {
  const DWORD start = GetTickCount();
  for (;;) {
    HANDLE own = CreateFileW(temp.c_str(), GENERIC_WRITE | DELETE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (own != INVALID_HANDLE_VALUE || !TryAgain(GetLastError(), start)) return own;
  }
}

// Puts the written temporary file temp onto target's name, replacing the
// file there when replace, with its contents flushed to disk first. The
// move is tried for about a second while a virus scanner or an indexer
// holds a file. Whatever happens, no temporary file stays: a failed move
// removes it, at once or as soon as another process lets it go.
bool PutInPlace(const std::wstring& temp, const std::wstring& target, bool replace,
                const Identity* probed) {
  RunNewFileHooks(temp);
  // The system's copy gave it the source's attributes: a read-only file
  // can't be held for writing, so it is held without that for the move.
  const DWORD attributes = GetFileAttributesW(temp.c_str());
  bool readOnly = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
  if (readOnly) SetFileAttributesW(temp.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  HANDLE own = HoldOwn(temp);
  if (own == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    Remove(temp);
    SetLastError(error);
    return false;
  }
  bool moved = FlushFileBuffers(own) != 0;
  DWORD error = moved ? ERROR_SUCCESS : GetLastError();
  // The file replaced is the one the probe examined, checked right before
  // the move; another program's file in its place stays.
  bool changed = moved && replace && probed != nullptr && !StillProbed(target, *probed);
  if (changed) {
    moved = false;
    error = ERROR_FILE_EXISTS;
  }
  const DWORD start = GetTickCount();
  while (moved &&
         !MoveFileExW(temp.c_str(), target.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0)) {
    error = GetLastError();
    if (!TryAgain(error, start)) moved = false;
  }
  // Marked for deletion while held: it goes when the handle closes.
  bool removing = !moved && DeleteFileW(temp.c_str());
  CloseHandle(own);
  if (!moved) {
    if (!removing) Remove(temp);
    if (changed) return MetChange();
    SetLastError(error);
    return false;
  }
  if (readOnly) SetFileAttributesW(target.c_str(), attributes);
  return true;
}

// Copies from into a new temporary file in folder; its name into *temp.
// False when none can be made.
bool CopyToTemporary(const std::wstring& from, const std::wstring& folder, LONGLONG failAfter,
                     std::wstring* temp) {
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    wchar_t name[32];
    wsprintfW(name, L"~vx%lx%x.tmp", GetCurrentProcessId(), counter++);
    *temp = folder + name;
    if (SystemCopy(from, *temp, failAfter, COPY_FILE_FAIL_IF_EXISTS)) return true;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;  // another name
    Remove(*temp);
    SetLastError(error);
    return false;
  }
  return false;
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

// Writes from to target (a file there when replace, else a free name)
// through a temporary file in target's folder.
bool WriteThrough(const std::wstring& from, const std::wstring& target, LONGLONG failAfter,
                  bool replace, const Identity* probed) {
  std::wstring temp;
  if (!CopyToTemporary(from, FolderOf(target), failAfter, &temp)) {
    if (replace && GetLastError() == ERROR_ACCESS_DENIED) {
      return CopyInPlace(from, target, failAfter);
    }
    return false;
  }
  return PutInPlace(temp, target, replace, probed);
}

// True when the system's own copy refuses to replace a hidden file, as
// Windows does. Wine's replaces it: Wine reports every dot-file hidden, and
// its copy writes over those (and over any hidden file) all the same.
bool CopyRefusesHidden() {
  static const bool refuses = [] {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") == nullptr;
  }();
  return refuses;
}

}  // namespace

bool CopyOver(const char* source, const char* destination, FileHandle openSource) {
  return CopyOver(source, destination, openSource, nullptr);
}

bool CopyOver(const char* source, const char* destination, FileHandle openSource,
              CopyContents* contents) {
  // The system's copy opens the source itself; this open shares nothing.
  g_metChange = false;
  // The file or absence that the probe of this destination found is the one
  // the copy acts on; without a probe, whatever is there now.
  Probe probe;
  if (g_probe.known && destination != nullptr && g_probe.path == destination) probe = g_probe;
  g_probe.known = false;
  // Made contents read the source through it (or an open of their own,
  // which is no probe of a destination).
  const bool made = contents != nullptr && !contents->Unchanged();
  if (made && openSource == nullptr) {
    openSource = OpenExisting(source, Share::kRead);
    g_probe.known = false;
    if (openSource == nullptr) return false;
  }
  struct Produced {
    Produced(CopyContents* contents, FileHandle source) {
      g_contents = contents;
      g_contentsSource = source;
    }
    ~Produced() {
      CloseFileHandle(g_contentsSource);
      g_contents = nullptr;
      g_contentsSource = nullptr;
    }
  } produced(contents, made ? openSource : nullptr);
  if (!made) CloseFileHandle(openSource);
  RemoveLeftovers(0);
  LONGLONG failAfter = g_failAfter;
  g_failAfter = -1;
  const std::wstring from = LongForm(source);
  std::wstring target = LongForm(destination);
  if (from.empty() || target.empty()) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }

  DWORD attributes = GetFileAttributesW(target.c_str());
  if (probe.known && probe.exists && attributes == INVALID_FILE_ATTRIBUTES) {
    return MetChange();  // the file examined is gone
  }
  if (probe.known && !probe.exists && attributes != INVALID_FILE_ATTRIBUTES) {
    return MetChange();  // made meanwhile by another program
  }
  if (attributes == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND) {
    // Whether the name is free is asked by taking it for a moment: Wine
    // shows a symbolic link that names nothing as no file at all. Taken
    // this way, it is let go when the handle closes, even by a kill.
    HANDLE free = CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                              FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (free == INVALID_HANDLE_VALUE) {
      DWORD error = GetLastError();
      if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
      if (probe.known) return MetChange();
      attributes = GetFileAttributesW(target.c_str());
      // A symbolic link to nothing: written through, as the system's own
      // copy does, onto the file the link names.
      if (attributes == INVALID_FILE_ATTRIBUTES) return SystemCopy(from, target, failAfter, 0);
    } else {
      CloseHandle(free);
      // A destination that does not exist yet appears under its name only
      // once complete; a name taken meanwhile by another is not replaced.
      if (WriteThrough(from, target, failAfter, false, nullptr)) return true;
      DWORD error = GetLastError();
      if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
      // Made meanwhile by another: never replaced when the probe found
      // nothing there, for no question covered it.
      if (probe.known) return MetChange();
      attributes = GetFileAttributesW(target.c_str());
    }
  }
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    // A symbolic link is written through: the file it finally names is
    // replaced, under the name that file has. Known by where an open of the
    // path leads (Wine does not report the reparse flag of a link).
    std::wstring final = LinkTarget(target);
    if (final.empty() && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      return SystemCopy(from, target, failAfter, 0);  // a link to nothing
    }
    if (final.empty()) return false;
    target = final;
    attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  }
  // What CopyFileA refuses, the move would not always refuse: a read-only
  // destination, a hidden one where the system's copy refuses that, or one
  // that another process holds open.
  DWORD refused = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY;
  if (CopyRefusesHidden()) refused |= FILE_ATTRIBUTE_HIDDEN;
  if (attributes & refused) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  HANDLE held = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) return false;
  Identity now;
  bool known = now.Read(held);
  CloseHandle(held);
  const Identity* probed = probe.known && probe.exists ? &probe.file : nullptr;
  if (probed != nullptr && (!known || !(now == *probed))) return MetChange();
  return WriteThrough(from, target, failAfter, true, probed);
}

bool CopyMetAChange() { return g_metChange; }

void BatchReplacingMoves(bool /*on*/) {}

bool FlushCopies() {
  // Each file was flushed before it was moved into place; what is left is
  // to remove the temporary files that other processes held.
  RemoveLeftovers(kLeftoverWaitMs);
  return true;
}

void OnNextCopyWritten(void (*hook)(void*), void* context) {
  g_writtenHook = hook;
  g_writtenContext = context;
}

void FailNextCopyAfter(uint64_t bytes) { g_failAfter = static_cast<LONGLONG>(bytes); }

void OnNextNewFile(NewFileHook hook, void* context) {
  g_newFileHook = hook;
  g_newFileContext = context;
}

namespace win32 {

void NoteProbe(const char* path, HANDLE file, DWORD error) {
  g_probe.known = false;
  if (file == INVALID_HANDLE_VALUE) {
    // Only a name that is not there is known absent.
    g_probe.exists = false;
    g_probe.known = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  } else {
    g_probe.exists = true;
    g_probe.known = g_probe.file.Read(file);
  }
  if (path == nullptr) g_probe.known = false;
  if (g_probe.known) g_probe.path.assign(path);
  SetLastError(error);  // as the open left it
}

}  // namespace win32
}  // namespace platform
