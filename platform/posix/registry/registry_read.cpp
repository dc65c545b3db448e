#include "platform/posix/registry/registry_read.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform::posix {

bool QueryNodeValue(const RegNode& node, const char* name, uint32_t* type, void* data,
                    uint32_t* size) {
  const RegValue* v = node.FindValue(name != nullptr ? name : "");
  if (v == nullptr) return false;
  if (type != nullptr) *type = v->type;
  uint32_t need = static_cast<uint32_t>(v->data.size());
  if (data == nullptr) {
    *size = need;
    return true;
  }
  if (*size < need) {
    *size = need;
    return false;
  }
  if (need > 0) std::memcpy(data, v->data.data(), need);
  *size = need;
  return true;
}

bool SubKeyName(const RegNode& node, uint32_t index, char* name, uint32_t size) {
  if (index >= node.ChildCount()) return false;
  const std::string& n = node.ChildAt(index).name();
  if (name == nullptr || n.size() + 1 > size) return false;
  std::memcpy(name, n.c_str(), n.size() + 1);
  return true;
}

bool IsPredefinedKey(RegKey key) {
  uintptr_t v = reinterpret_cast<uintptr_t>(key);
  return v >= 0x80000000u && v <= 0x800000FFu;
}

int PredefinedRoot(RegKey key) {
  if (key == kRegCurrentUser) return kRegRootCurrentUser;
  if (key == kRegUsers) return kRegRootUsers;
  return -1;
}

bool FileStamp::operator==(const FileStamp& o) const {
  if (exists != o.exists) return false;
  if (!exists) return true;
  return dev == o.dev && ino == o.ino && size == o.size && mode == o.mode && uid == o.uid &&
         gid == o.gid && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
         ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
}

FileStamp StampOf(const struct stat& st) {
  FileStamp stamp;
  stamp.exists = true;
  stamp.dev = st.st_dev;
  stamp.ino = st.st_ino;
  stamp.size = st.st_size;
  stamp.mode = st.st_mode;
  stamp.uid = st.st_uid;
  stamp.gid = st.st_gid;
  stamp.mtime = st.st_mtim;
  stamp.ctime = st.st_ctim;
  return stamp;
}

FileStamp StampOfPath(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return FileStamp();
  return StampOf(st);
}

bool ReadAll(int fd, std::string* out) {
  out->clear();
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0;
    out->append(buf, static_cast<size_t>(n));
  }
}

}  // namespace platform::posix
