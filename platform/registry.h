// The registry calls the settings store needs: open or create a key, read
// and write its values, walk and delete its sub-keys. Names and texts are
// code page 932 bytes. Windows uses the real registry; Linux keeps a registry
// file of its own (see docs/linux.md). Tests may put another backend in place
// at run time with SetRegistry.
#ifndef VX_PLATFORM_REGISTRY_H_
#define VX_PLATFORM_REGISTRY_H_

#include <cstdint>
#include <string>

namespace platform {

// An open key or one of the predefined roots; nullptr for none.
using RegKey = void*;

// The two predefined roots the installer uses (their Windows handle values).
inline const RegKey kRegCurrentUser = reinterpret_cast<RegKey>(uintptr_t{0x80000001});
inline const RegKey kRegUsers = reinterpret_cast<RegKey>(uintptr_t{0x80000003});

// What an open key may be used for. kRead keys can't be written through, and
// a key that can be read but not written can't be opened with kAll.
enum class RegAccess { kRead, kAll };

// Value types (the registry's numbers).
constexpr uint32_t kRegTypeNone = 0;
constexpr uint32_t kRegTypeSz = 1;
constexpr uint32_t kRegTypeExpandSz = 2;
constexpr uint32_t kRegTypeBinary = 3;
constexpr uint32_t kRegTypeDword = 4;

// The longest key name, in bytes, without the terminator.
constexpr uint32_t kRegMaxKeyName = 255;

// A registry backend. Every operation reports success as true; nothing else
// about a failure is kept.
class Registry {
 public:
  virtual ~Registry() = default;

  // Opens the existing key path (components separated by `\`) below parent.
  // A null or empty path opens parent itself anew.
  virtual bool OpenKey(RegKey parent, const char* path, RegAccess access, RegKey* key) = 0;

  // Opens the key path below parent with full access, creating every missing
  // key along it (non-volatile).
  virtual bool CreateKey(RegKey parent, const char* path, RegKey* key) = 0;

  // Reads the value name (null or empty: the default value) of key. *type
  // (when type is not null) gets its type. With data null, *size gets the
  // value's byte size. Otherwise *size is data's capacity in bytes: when the
  // value is larger the call fails with *size set to the size needed,
  // else the bytes are copied and *size is the number copied.
  virtual bool QueryValue(RegKey key, const char* name, uint32_t* type, void* data,
                          uint32_t* size) = 0;

  // Stores size bytes of data as the value name of type type, replacing any
  // value of that name. Fails on a key opened for reading only.
  virtual bool SetValue(RegKey key, const char* name, uint32_t type, const void* data,
                        uint32_t size) = 0;

  // Writes the name of the sub-key at index (sorted as the registry keeps
  // them) into name, which holds size bytes with the terminator. Fails when
  // there is no such sub-key or its name does not fit.
  virtual bool EnumSubKey(RegKey key, uint32_t index, char* name, uint32_t size) = 0;

  // The number of direct sub-keys of key into *count.
  virtual bool SubKeyCount(RegKey key, uint32_t* count) = 0;

  // Deletes the sub-key name (a key path) of parent. Fails when that key has
  // sub-keys of its own or can't be written.
  virtual bool DeleteKey(RegKey parent, const char* name) = 0;

  // Closes an open key. Does nothing for nullptr and the predefined roots.
  virtual void CloseKey(RegKey key) = 0;
};

// The platform's own backend: advapi32 on Windows, the registry file on Linux.
Registry* DefaultRegistry();

// The backend every call below goes to: DefaultRegistry() unless replaced.
Registry* CurrentRegistry();

// Puts registry in place of the current backend (nullptr: the default one)
// and returns the one it replaces. For tests; not thread-safe.
Registry* SetRegistry(Registry* registry);

// The calls, forwarded to the current backend.
inline bool RegistryOpen(RegKey parent, const char* path, RegAccess access, RegKey* key) {
  return CurrentRegistry()->OpenKey(parent, path, access, key);
}
inline bool RegistryCreate(RegKey parent, const char* path, RegKey* key) {
  return CurrentRegistry()->CreateKey(parent, path, key);
}
inline bool RegistryQueryValue(RegKey key, const char* name, uint32_t* type, void* data,
                               uint32_t* size) {
  return CurrentRegistry()->QueryValue(key, name, type, data, size);
}
inline bool RegistrySetValue(RegKey key, const char* name, uint32_t type, const void* data,
                             uint32_t size) {
  return CurrentRegistry()->SetValue(key, name, type, data, size);
}
inline bool RegistryEnumSubKey(RegKey key, uint32_t index, char* name, uint32_t size) {
  return CurrentRegistry()->EnumSubKey(key, index, name, size);
}
inline bool RegistrySubKeyCount(RegKey key, uint32_t* count) {
  return CurrentRegistry()->SubKeyCount(key, count);
}
inline bool RegistryDeleteKey(RegKey parent, const char* name) {
  return CurrentRegistry()->DeleteKey(parent, name);
}
inline void RegistryClose(RegKey key) { CurrentRegistry()->CloseKey(key); }

// An install folder read from the registry, as the platform's files can
// reach it. Windows reaches every folder the registry can name, and has no
// console to say anything on.
#ifdef _WIN32
inline bool RegistryFolderUsable(const char*, std::string*) { return true; }
inline void NoteRegistryLookupFailure(const char*) {}
#else
// Linux: in Wine prefix mode every folder (drive paths reach the prefix's
// drives); otherwise only an absolute Linux path, for a drive letter, a UNC
// path or a relative name would be made inside the current folder. False,
// with *why (code page 932) saying what is wrong, for any other.
bool RegistryFolderUsable(const char* folder, std::string* why);
// Writes one line to standard error: why no install folder came of the
// registry (code page 932) and which registry was read, the file or the
// Wine prefix, with what is wrong with it.
void NoteRegistryLookupFailure(const char* why);
#endif

}  // namespace platform

#endif  // VX_PLATFORM_REGISTRY_H_
