// A registry of a test's own. On Linux the registry file moves to a fresh
// temporary folder for the sandbox's life; on Windows the real registry is
// used, and the test keeps to the key Software\<Name()> below
// HKEY_CURRENT_USER and HKEY_USERS\.DEFAULT, which the sandbox removes at
// the end. Tests keep to those keys on Linux too, so that one test serves
// both systems. On Linux, Wine prefix mode is off for the sandbox's life.
#ifndef VX_PLATFORM_TESTING_REGISTRY_SANDBOX_H_
#define VX_PLATFORM_TESTING_REGISTRY_SANDBOX_H_

#include <string>

#include "platform/registry.h"

namespace platform {

class RegistrySandbox {
 public:
  RegistrySandbox();
  ~RegistrySandbox();
  RegistrySandbox(const RegistrySandbox&) = delete;
  RegistrySandbox& operator=(const RegistrySandbox&) = delete;

  // The test's key name below Software, unique to this sandbox.
  const char* Name() const { return m_name.c_str(); }

  // Linux: the registry file (it need not exist); empty on Windows.
  const std::string& FilePath() const { return m_file; }

  // Stores a value below root\Software\<Name()>\<subPath>, creating the keys.
  bool Put(RegKey root, const char* subPath, const char* value, uint32_t type, const void* data,
           uint32_t size);
  bool PutText(RegKey root, const char* subPath, const char* value, const char* text,
               uint32_t type = kRegTypeSz);

 private:
  std::string m_name;
  std::string m_dir;
  std::string m_file;
  std::string m_oldEnv;
  bool m_hadEnv = false;
  std::string m_oldPrefix;  // WINEPREFIX, cleared for the sandbox's life
  bool m_hadPrefix = false;
};

}  // namespace platform

#endif  // VX_PLATFORM_TESTING_REGISTRY_SANDBOX_H_
