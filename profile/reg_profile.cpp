#include "profile/reg_profile.h"

#include <cstdio>
#include <cstring>

using platform::RegAccess;
using platform::RegKey;

CRegProfile::CRegProfile()
    : m_baseKey(nullptr),
      m_currentKey(nullptr),
      m_rootKey(platform::kRegCurrentUser),
      m_basePath("Software"),
      m_readOnly(false) {}

CRegProfile::~CRegProfile() { Close(); }

bool CRegProfile::JoinPath(const char* subPath, char* path) const {
  const char* base = m_basePath;
  int n = subPath == nullptr ? std::snprintf(path, kMaxPath + 1, "%s", base)
                             : std::snprintf(path, kMaxPath + 1, "%s\\%s", base, subPath);
  return n >= 0 && static_cast<uint32_t>(n) <= kMaxPath;
}

bool CRegProfile::Create(const char* subPath) {
  Close();
  char path[kMaxPath + 1];
  RegKey key = nullptr;
  if (!JoinPath(subPath, path) || !platform::RegistryCreate(m_rootKey, path, &key)) return false;
  m_baseKey = m_currentKey = key;
  m_readOnly = false;
  return true;
}

bool CRegProfile::OpenWith(const char* subPath, RegAccess access) {
  Close();
  char path[kMaxPath + 1];
  RegKey key = nullptr;
  if (!JoinPath(subPath, path) || !platform::RegistryOpen(m_rootKey, path, access, &key)) {
    return false;
  }
  m_baseKey = m_currentKey = key;
  m_readOnly = access == RegAccess::kRead;
  return true;
}

bool CRegProfile::Open(const char* subPath) { return OpenWith(subPath, RegAccess::kAll); }

bool CRegProfile::OpenReadOnly(const char* subPath) { return OpenWith(subPath, RegAccess::kRead); }

void CRegProfile::Close() {
  if (m_currentKey != nullptr && m_currentKey != m_baseKey) platform::RegistryClose(m_currentKey);
  if (m_baseKey != nullptr) platform::RegistryClose(m_baseKey);
  m_baseKey = m_currentKey = nullptr;
}

void CRegProfile::SetBase(RegKey root, const char* basePath) {
  if (m_currentKey != nullptr || root == nullptr || basePath == nullptr) return;
  size_t n = std::strlen(basePath);
  if (n > kMaxPath) return;
  m_rootKey = root;
  std::memcpy(m_basePath, basePath, n + 1);
}

bool CRegProfile::ReadString(const char* name, char* dest, uint32_t size) {
  if (dest == nullptr || size == 0 || m_currentKey == nullptr) return false;
  uint32_t type = 0;
  uint32_t n = 0;
  if (!platform::RegistryQueryValue(m_currentKey, name, &type, nullptr, &n) ||
      type != platform::kRegTypeSz) {
    return false;
  }
  // The read itself is bounded by the destination (the size asked for first
  // may be an estimate). A text without its terminator gets one when room
  // is left; a value that does not fit leaves an empty text behind.
  n = size;
  bool ok = platform::RegistryQueryValue(m_currentKey, name, &type, dest, &n) &&
            type == platform::kRegTypeSz && n <= size;
  if (ok && (n == 0 || dest[n - 1] != '\0')) {
    ok = n < size;
    if (ok) dest[n] = '\0';
  }
  if (!ok) dest[0] = '\0';
  return ok;
}

bool CRegProfile::ReadDword(const char* name, uint32_t* dest) {
  if (dest == nullptr || m_currentKey == nullptr) return false;
  uint32_t type = 0;
  uint32_t n = 0;
  if (!platform::RegistryQueryValue(m_currentKey, name, &type, nullptr, &n) ||
      type != platform::kRegTypeDword || n != sizeof(uint32_t)) {
    return false;
  }
  uint32_t value = 0;
  n = sizeof(value);
  if (!platform::RegistryQueryValue(m_currentKey, name, &type, &value, &n) ||
      type != platform::kRegTypeDword || n != sizeof(value)) {
    return false;
  }
  *dest = value;
  return true;
}

bool CRegProfile::ReadBinary(const char* name, void* dest, uint32_t* size) {
  if (size == nullptr) return false;
  uint32_t type = 0;
  uint32_t need = 0;
  if (m_currentKey == nullptr ||
      !platform::RegistryQueryValue(m_currentKey, name, &type, nullptr, &need)) {
    *size = 0;
    return false;
  }
  if (dest == nullptr || *size < need) {
    *size = need;
    return dest == nullptr;
  }
  if (type != platform::kRegTypeBinary ||
      !platform::RegistryQueryValue(m_currentKey, name, &type, dest, size)) {
    *size = 0;
    return false;
  }
  return true;
}

bool CRegProfile::WriteString(const char* name, const char* text) {
  if (text == nullptr || *text == '\0' || m_currentKey == nullptr || m_readOnly) return false;
  size_t n = std::strlen(text) + 1;
  if (n > UINT32_MAX) return false;
  return platform::RegistrySetValue(m_currentKey, name, platform::kRegTypeSz, text,
                                    static_cast<uint32_t>(n));
}

bool CRegProfile::WriteDword(const char* name, uint32_t value) {
  if (m_currentKey == nullptr || m_readOnly) return false;
  return platform::RegistrySetValue(m_currentKey, name, platform::kRegTypeDword, &value,
                                    sizeof(value));
}

bool CRegProfile::WriteBinary(const char* name, const void* data, uint32_t size) {
  if (data == nullptr || size == 0 || m_currentKey == nullptr || m_readOnly) return false;
  return platform::RegistrySetValue(m_currentKey, name, platform::kRegTypeBinary, data, size);
}

bool CRegProfile::EnterSubKey(const char* name) {
  if (m_currentKey == nullptr || m_currentKey != m_baseKey) return false;
  RegKey key = nullptr;
  if (!platform::RegistryCreate(m_baseKey, name, &key)) return false;
  m_currentKey = key;
  return true;
}

bool CRegProfile::LeaveSubKey() {
  if (m_currentKey == m_baseKey) return false;
  platform::RegistryClose(m_currentKey);
  m_currentKey = m_baseKey;
  return true;
}

uint32_t CRegProfile::GetSubKeyCount() {
  uint32_t count = 0;
  if (m_currentKey == nullptr || !platform::RegistrySubKeyCount(m_currentKey, &count)) return 0;
  return count;
}

bool CRegProfile::EnumSubKey(uint32_t index, char* name, uint32_t size) {
  if (m_currentKey == nullptr || name == nullptr || size == 0) return false;
  return platform::RegistryEnumSubKey(m_currentKey, index, name, size);
}

bool CRegProfile::DeleteSubKey(const char* name) {
  // An empty name would open, empty and delete the current key itself.
  if (m_currentKey == nullptr || name == nullptr || *name == '\0') return false;
  RegKey key = nullptr;
  if (!platform::RegistryOpen(m_currentKey, name, RegAccess::kAll, &key)) return false;
  bool emptied = DeleteTree(key);
  platform::RegistryClose(key);
  return emptied && platform::RegistryDeleteKey(m_currentKey, name);
}

bool CRegProfile::DeleteTree(RegKey key) {
  uint32_t count = 0;
  if (!platform::RegistrySubKeyCount(key, &count)) return false;
  // From the last index down, so the indexes not yet visited stay valid.
  for (uint32_t i = count; i-- > 0;) {
    char name[platform::kRegMaxKeyName + 1];
    RegKey sub = nullptr;
    if (!platform::RegistryEnumSubKey(key, i, name, sizeof(name)) ||
        !platform::RegistryOpen(key, name, RegAccess::kAll, &sub)) {
      return false;
    }
    bool emptied = DeleteTree(sub);
    platform::RegistryClose(sub);
    if (!emptied || !platform::RegistryDeleteKey(key, name)) return false;
  }
  return true;
}
