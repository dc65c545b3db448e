#include "platform/registry.h"

#include <windows.h>

namespace platform {
namespace {

HKEY H(RegKey key) { return static_cast<HKEY>(key); }

bool IsRoot(RegKey key) { return key == kRegCurrentUser || key == kRegUsers; }

// The registry of the system, through advapi32.
class WinRegistry : public Registry {
 public:
  bool OpenKey(RegKey parent, const char* path, RegAccess access, RegKey* key) override {
    HKEY out = nullptr;
    REGSAM sam = access == RegAccess::kAll ? KEY_ALL_ACCESS : KEY_READ;
    if (RegOpenKeyExA(H(parent), path, 0, sam, &out) != ERROR_SUCCESS) return false;
    *key = out;
    return true;
  }

  bool CreateKey(RegKey parent, const char* path, RegKey* key) override {
    HKEY out = nullptr;
    if (RegCreateKeyExA(H(parent), path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &out, nullptr) != ERROR_SUCCESS) {
      return false;
    }
    *key = out;
    return true;
  }

  bool QueryValue(RegKey key, const char* name, uint32_t* type, void* data,
                  uint32_t* size) override {
    DWORD t = 0;
    DWORD n = *size;
    LONG r = RegQueryValueExA(H(key), name, nullptr, &t, static_cast<BYTE*>(data), &n);
    if (r != ERROR_SUCCESS && r != ERROR_MORE_DATA) return false;
    if (type != nullptr) *type = t;
    *size = n;
    return r == ERROR_SUCCESS;
  }

  bool SetValue(RegKey key, const char* name, uint32_t type, const void* data,
                uint32_t size) override {
    return RegSetValueExA(H(key), name, 0, type, static_cast<const BYTE*>(data), size) ==
           ERROR_SUCCESS;
  }

  bool EnumSubKey(RegKey key, uint32_t index, char* name, uint32_t size) override {
    DWORD n = size;
    return RegEnumKeyExA(H(key), index, name, &n, nullptr, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS;
  }

  bool SubKeyCount(RegKey key, uint32_t* count) override {
    DWORD n = 0;
    if (RegQueryInfoKeyA(H(key), nullptr, nullptr, nullptr, &n, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      return false;
    }
    *count = n;
    return true;
  }

  bool DeleteKey(RegKey parent, const char* name) override {
    return RegDeleteKeyA(H(parent), name) == ERROR_SUCCESS;
  }

  void CloseKey(RegKey key) override {
    if (key != nullptr && !IsRoot(key)) RegCloseKey(H(key));
  }
};

}  // namespace

Registry* DefaultRegistry() {
  static WinRegistry registry;
  return &registry;
}

}  // namespace platform
