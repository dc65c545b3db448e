#include "platform/posix/files/native_path.h"

#include <cstring>

#include "platform/posix/files/path_case.h"
#include "platform/posix/registry/wine_prefix.h"
#include "platform/posix/text/cp932.h"

namespace platform::posix {

namespace {

// Conversion and separators, without looking at the file system.
bool ConvertPath(const char* path, std::string* out) {
  if (path == nullptr || !Cp932ToUtf8(path, out)) return false;
  char* p = out->data();
  char* end = p + out->size();
  while ((p = static_cast<char*>(std::memchr(p, '\\', static_cast<size_t>(end - p)))) != nullptr) {
    *p++ = '/';
  }
  // In Wine prefix mode a drive path starts at the drive's folder; letter
  // case below it is resolved with the rest of the path.
  std::string drive;
  std::string rest;
  switch (MapWineDrive(*out, &drive, &rest)) {
    case DriveMapping::kNone:
      return true;
    case DriveMapping::kUnmapped:
      return false;  // names no folder: nothing opens, nothing is made
    case DriveMapping::kMapped:
      break;
  }
  drive.push_back('/');
  drive.append(rest);
  *out = std::move(drive);
  return true;
}

}  // namespace

bool ToNativePath(const char* path, std::string* out) {
  if (!ConvertPath(path, out)) return false;
  ResolvePathCaseInPlace(out);
  return true;
}

bool ToWrittenPath(const char* path, std::string* out) { return ConvertPath(path, out); }

bool ToNativePattern(const char* pattern, std::string* folder, std::string* name) {
  std::string native;
  if (!ConvertPath(pattern, &native)) return false;
  size_t slash = native.rfind('/');
  if (slash == std::string::npos) {
    folder->clear();
    *name = native;
    return true;
  }
  *name = native.substr(slash + 1);
  *folder = ResolvePathCase(native.substr(0, slash + 1));
  return true;
}

}  // namespace platform::posix
