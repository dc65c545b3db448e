#include "platform/fs.h"

#include <windows.h>

#include <cstring>
#include <memory>
#include <string>

#include "platform/text.h"

namespace platform {
namespace {

// Next copy to fail after this many bytes; negative when none is to fail.
LONGLONG g_failAfter = -1;

void Fill(const WIN32_FIND_DATAA& data, FoundEntry* entry) {
  entry->m_attributes = data.dwFileAttributes;
  std::memcpy(entry->m_name, data.cFileName, sizeof(entry->m_name));
  entry->m_name[sizeof(entry->m_name) - 1] = '\0';
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Byte index just past the last separator that stands as a character of its
// own, or 0 when there is none.
size_t FolderLength(const std::string& path) {
  size_t end = 0;
  for (size_t i = 0; i < path.size(); ++i) {
    if (IsLeadByte(static_cast<unsigned char>(path[i])) && i + 1 < path.size()) {
      ++i;
    } else if (IsSeparator(path[i])) {
      end = i + 1;
    }
  }
  return end;
}

class Handle {
 public:
  explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : m_h(h) {}
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return m_h; }
  bool valid() const { return m_h != INVALID_HANDLE_VALUE; }
  void reset(HANDLE h) {
    Close();
    m_h = h;
  }
  bool Close() {
    bool ok = true;
    if (m_h != INVALID_HANDLE_VALUE) ok = CloseHandle(m_h) != 0;
    m_h = INVALID_HANDLE_VALUE;
    return ok;
  }

 private:
  HANDLE m_h;
};

// Copies in to out, at most limit bytes; true once all of in is copied.
bool CopyContents(HANDLE in, HANDLE out, ULONGLONG limit) {
  constexpr DWORD kChunk = 1 << 20;
  std::unique_ptr<char[]> buffer(new char[kChunk]);
  ULONGLONG copied = 0;
  for (;;) {
    DWORD want = kChunk;
    if (limit - copied < want) want = static_cast<DWORD>(limit - copied);
    DWORD got = 0;
    if (want == 0) {
      // The limit is reached: done only if nothing is left.
      char probe;
      return ReadFile(in, &probe, 1, &got, nullptr) && got == 0;
    }
    if (!ReadFile(in, buffer.get(), want, &got, nullptr)) return false;
    if (got == 0) return true;
    DWORD put = 0;
    if (!WriteFile(out, buffer.get(), got, &put, nullptr) || put != got) return false;
    copied += got;
  }
}

}  // namespace

uint32_t WorkingDirectory(char* buffer, uint32_t size) {
  DWORD n = GetCurrentDirectoryA(size, buffer);
  if ((n == 0 || n >= size) && size > 0) buffer[0] = '\0';
  return n;
}

SearchHandle StartSearch(const char* pattern, FoundEntry* entry) {
  WIN32_FIND_DATAA data;
  HANDLE h = FindFirstFileA(pattern, &data);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  Fill(data, entry);
  return h;
}

bool ContinueSearch(SearchHandle search, FoundEntry* entry) {
  WIN32_FIND_DATAA data;
  if (search == nullptr || !FindNextFileA(search, &data)) return false;
  Fill(data, entry);
  return true;
}

void EndSearch(SearchHandle search) {
  if (search != nullptr) FindClose(search);
}

bool LastWriteTime(FileHandle file, uint64_t* time) {
  FILETIME write;
  if (file == nullptr || !GetFileTime(file, nullptr, nullptr, &write)) return false;
  *time = (static_cast<uint64_t>(write.dwHighDateTime) << 32) | write.dwLowDateTime;
  return true;
}

bool IsDirectory(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CreateFoldersOf(const char* path) {
  std::string text = path != nullptr ? path : "";
  size_t end = FolderLength(text);
  // A network path's server and share exist or not; they are never made.
  size_t skip = 0;
  if (text.size() >= 2 && IsSeparator(text[0]) && IsSeparator(text[1])) {
    int separators = 0;
    for (skip = 2; skip < text.size() && separators < 2; ++skip) {
      if (IsLeadByte(static_cast<unsigned char>(text[skip])) && skip + 1 < text.size()) {
        ++skip;
      } else if (IsSeparator(text[skip])) {
        ++separators;
      }
    }
  }
  bool afterSeparator = true;  // no folder of an empty name, nor between two separators
  for (size_t i = skip; i < end; ++i) {
    if (IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < end) {
      ++i;
      afterSeparator = false;
      continue;
    }
    bool separator = IsSeparator(text[i]);
    bool makeFolder = separator && !afterSeparator;
    afterSeparator = separator;
    if (!makeFolder) continue;
    std::string folder = text.substr(0, i);
    if (folder.size() == 2 && folder[1] == ':') continue;  // a drive
    if (IsDirectory(folder.c_str())) continue;
    // It was no folder a moment ago: "already exists" means a file is in the
    // way, unless another process has just made the folder.
    if (!CreateDirectoryA(folder.c_str(), nullptr) && !IsDirectory(folder.c_str())) {
      return false;
    }
  }
  return true;
}

bool CopyOver(const char* source, const char* destination) {
  LONGLONG failAfter = g_failAfter;
  g_failAfter = -1;
  // What CopyFileA refuses, the move below would not always refuse: a
  // read-only or hidden destination, or one that another process holds open.
  DWORD attributes = GetFileAttributesA(destination);
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
    }
    Handle probe(CreateFileA(destination, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!probe.valid()) return false;
  }
  Handle in(CreateFileA(source, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!in.valid()) return false;

  // The copy is made under a name of its own in the destination's folder.
  std::string folder(destination, FolderLength(destination));
  static unsigned counter = 0;
  std::string temp;
  Handle out;
  for (int attempt = 0; attempt < 100 && !out.valid(); ++attempt) {
    char name[32];
    wsprintfA(name, "~vx%lx%x.tmp", GetCurrentProcessId(), counter++);
    temp = folder + name;
    out.reset(CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out.valid() && GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  if (!out.valid()) return false;

  FILETIME write;
  bool ok = CopyContents(in.get(), out.get(), failAfter < 0 ? ~0ULL : failAfter) && failAfter < 0 &&
            GetFileTime(in.get(), nullptr, nullptr, &write) &&
            SetFileTime(out.get(), nullptr, nullptr, &write);
  ok = out.Close() && ok;
  in.Close();
  ok = ok && MoveFileExA(temp.c_str(), destination, MOVEFILE_REPLACE_EXISTING);
  if (!ok) {
    DWORD error = GetLastError();
    DeleteFileA(temp.c_str());
    SetLastError(error);
  }
  return ok;
}

bool SetNormalAttributes(const char* path) {
  return SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL) != 0;
}

void FailNextCopyAfter(uint64_t bytes) { g_failAfter = static_cast<LONGLONG>(bytes); }

}  // namespace platform
