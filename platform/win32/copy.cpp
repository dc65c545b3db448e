// The copy of one file over another (CopyOver), kept apart from the rest of
// the folder and file operations.
#include <windows.h>

#include <memory>
#include <string>

#include "platform/fs.h"
#include "platform/text.h"

namespace platform {
namespace {

// Next copy to fail after this many bytes; negative when none is to fail.
LONGLONG g_failAfter = -1;

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

void FailNextCopyAfter(uint64_t bytes) { g_failAfter = static_cast<LONGLONG>(bytes); }

}  // namespace platform
