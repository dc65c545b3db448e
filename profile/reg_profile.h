// The settings store over the registry: a root key, a base path below it
// (HKEY_CURRENT_USER and "Software" at first), at most one open base key and
// at most one sub-key entered below it.
#ifndef VX_PROFILE_REG_PROFILE_H_
#define VX_PROFILE_REG_PROFILE_H_

#include <cstdint>

#include "platform/registry.h"
#include "profile/profile.h"

class CRegProfile : public CProfile {
 public:
  // The longest base path or joined key path, in bytes, without the terminator.
  static constexpr uint32_t kMaxPath = 255;

  CRegProfile();
  CRegProfile(const CRegProfile&) = delete;
  CRegProfile& operator=(const CRegProfile&) = delete;
  // Closes what is still open.
  ~CRegProfile() override;

  // The key opened is the base path alone when subPath is null, else the base
  // path, a backslash and subPath (an empty subPath gives a trailing
  // backslash). A joined path over kMaxPath bytes is refused. An open key is
  // closed first; on failure the store stays closed.
  bool Create(const char* subPath) override;
  bool Open(const char* subPath) override;
  void Close() override;
  using CProfile::ReadString;
  bool ReadString(const char* name, char* dest, uint32_t size) override;
  bool ReadDword(const char* name, uint32_t* dest) override;
  bool ReadBinary(const char* name, void* dest, uint32_t* size) override;
  // The writes refuse while the store was opened by OpenReadOnly.
  bool WriteString(const char* name, const char* text) override;
  bool WriteDword(const char* name, uint32_t value) override;
  bool WriteBinary(const char* name, const void* data, uint32_t size) override;
  bool EnterSubKey(const char* name) override;
  bool LeaveSubKey() override;

  // As Open, for reading only: the writes refuse until the next open.
  virtual bool OpenReadOnly(const char* subPath);
  // Sets the root and base path for the next open. Ignored while a key is
  // open, for a null root or path, and for a path over kMaxPath bytes.
  virtual void SetBase(platform::RegKey root, const char* basePath);
  // The number of sub-keys of the current key; 0 when closed or unknown.
  virtual uint32_t GetSubKeyCount();
  // Writes the name of the current key's sub-key at index into name, which
  // holds size bytes with the terminator.
  virtual bool EnumSubKey(uint32_t index, char* name, uint32_t size);
  // Deletes the current key's sub-key name (not null, not empty) with every
  // key below it. False when any deletion fails; what was deleted stays so.
  virtual bool DeleteSubKey(const char* name);

  // Deletes every key below the open key, deepest first; the key stays.
  bool DeleteTree(platform::RegKey key);

 private:
  bool OpenWith(const char* subPath, platform::RegAccess access);
  // The key path for subPath into path (kMaxPath + 1 bytes); false if too long.
  bool JoinPath(const char* subPath, char* path) const;

  platform::RegKey m_baseKey;
  platform::RegKey m_currentKey;
  platform::RegKey m_rootKey;
  char m_basePath[kMaxPath + 1];
  bool m_readOnly;
};

#endif  // VX_PROFILE_REG_PROFILE_H_
