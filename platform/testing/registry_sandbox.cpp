#include "platform/testing/registry_sandbox.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#ifndef _WIN32
#include <dirent.h>
#include <unistd.h>
#endif

namespace platform {
#ifdef _WIN32
namespace {

// Deletes the key name below parent with everything below it.
void RemoveTree(RegKey parent, const char* name) {
  RegKey key = nullptr;
  if (!RegistryOpen(parent, name, RegAccess::kAll, &key)) return;
  char sub[kRegMaxKeyName + 1];
  while (RegistryEnumSubKey(key, 0, sub, sizeof(sub))) {
    RemoveTree(key, sub);
    if (!RegistryDeleteKey(key, sub)) break;
  }
  RegistryClose(key);
  RegistryDeleteKey(parent, name);
}

void RemoveBelow(RegKey root, const char* base, const std::string& name) {
  RegKey key = nullptr;
  if (!RegistryOpen(root, base, RegAccess::kAll, &key)) return;
  RemoveTree(key, name.c_str());
  RegistryClose(key);
}

}  // namespace
#endif

RegistrySandbox::RegistrySandbox() {
  static int serial = 0;
  long long now = static_cast<long long>(std::time(nullptr));
  m_name = "VxUpdateTest" + std::to_string(now % 100000000) + "_" + std::to_string(++serial);
#ifndef _WIN32
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vxreg.XXXXXX";
  if (::mkdtemp(pattern.data()) != nullptr) m_dir = pattern;
  m_file = m_dir + "/registry.reg";
  const char* old = std::getenv("VXUPDATE_REGISTRY");
  m_hadEnv = old != nullptr;
  if (m_hadEnv) m_oldEnv = old;
  ::setenv("VXUPDATE_REGISTRY", m_file.c_str(), 1);
  // A Wine prefix in the developer's environment must not take the place
  // of the sandbox's file, nor turn drive paths into the prefix's.
  const char* prefix = std::getenv("WINEPREFIX");
  m_hadPrefix = prefix != nullptr;
  if (m_hadPrefix) m_oldPrefix = prefix;
  ::unsetenv("WINEPREFIX");
#endif
}

RegistrySandbox::~RegistrySandbox() {
#ifndef _WIN32
  if (m_hadEnv) {
    ::setenv("VXUPDATE_REGISTRY", m_oldEnv.c_str(), 1);
  } else {
    ::unsetenv("VXUPDATE_REGISTRY");
  }
  if (m_hadPrefix) ::setenv("WINEPREFIX", m_oldPrefix.c_str(), 1);
  if (DIR* dir = ::opendir(m_dir.c_str())) {
    while (dirent* e = ::readdir(dir)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
        ::unlink((m_dir + "/" + e->d_name).c_str());
      }
    }
    ::closedir(dir);
    ::rmdir(m_dir.c_str());
  }
#else
  RemoveBelow(kRegCurrentUser, "Software", m_name);
  RemoveBelow(kRegUsers, ".DEFAULT\\Software", m_name);
#endif
}

bool RegistrySandbox::Put(RegKey root, const char* subPath, const char* value, uint32_t type,
                          const void* data, uint32_t size) {
  std::string path = (root == kRegUsers ? ".DEFAULT\\Software\\" : "Software\\") + m_name;
  if (subPath != nullptr && *subPath != '\0') path += std::string("\\") + subPath;
  RegKey key = nullptr;
  if (!RegistryCreate(root, path.c_str(), &key)) return false;
  bool ok = value == nullptr || RegistrySetValue(key, value, type, data, size);
  RegistryClose(key);
  return ok;
}

bool RegistrySandbox::PutText(RegKey root, const char* subPath, const char* value, const char* text,
                              uint32_t type) {
  return Put(root, subPath, value, type, text, static_cast<uint32_t>(std::strlen(text) + 1));
}

}  // namespace platform
