#include "platform/file.h"

#include <windows.h>

#include "platform/win32/probe.h"

namespace platform {

FileHandle OpenExisting(const char* path, Share share) {
  HANDLE h = CreateFileA(path, GENERIC_READ, share == Share::kRead ? FILE_SHARE_READ : 0, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    win32::NoteProbe(path, h, GetLastError());
    return nullptr;
  }
  // A pipe or a device (CON, a named pipe) may make a read wait for ever:
  // only disk files are kept.
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    win32::NoteProbe(path, INVALID_HANDLE_VALUE, ERROR_INVALID_FUNCTION);
    return nullptr;
  }
  win32::NoteProbe(path, h, ERROR_SUCCESS);
  return h;
}

bool ReadBytes(FileHandle file, void* dest, uint32_t count, uint32_t* done) {
  DWORD n = 0;
  *done = 0;
  if (file == nullptr || !ReadFile(file, dest, count, &n, nullptr)) return false;
  *done = n;
  return true;
}

bool FileSize(FileHandle file, uint64_t* size) {
  LARGE_INTEGER li;
  if (file == nullptr || !GetFileSizeEx(file, &li)) return false;
  *size = static_cast<uint64_t>(li.QuadPart);
  return true;
}

bool Seek(FileHandle file, int64_t distance, SeekFrom from) {
  LARGE_INTEGER li;
  li.QuadPart = distance;
  return file != nullptr &&
         SetFilePointerEx(file, li, nullptr, from == SeekFrom::kEnd ? FILE_END : FILE_BEGIN) != 0;
}

void CloseFileHandle(FileHandle file) {
  if (file != nullptr) CloseHandle(file);
}

}  // namespace platform
