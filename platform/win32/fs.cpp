#include "platform/fs.h"

#include <windows.h>

#include <cstring>
#include <memory>
#include <string>

#include "platform/text.h"

namespace platform {
namespace {

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

}  // namespace

uint32_t WorkingDirectory(char* buffer, uint32_t size) {
  DWORD n = GetCurrentDirectoryA(size, buffer);
  if ((n == 0 || n >= size) && size > 0) buffer[0] = '\0';
  return n;
}

// A Windows search reports every attribute at no extra cost.
SearchHandle StartSearch(const char* pattern, FoundEntry* entry, SearchDetail /*detail*/) {
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

bool SetNormalAttributes(const char* path) {
  return SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL) != 0;
}

}  // namespace platform
