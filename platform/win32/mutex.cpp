#include "platform/mutex.h"

#include <windows.h>

namespace platform {

MutexHandle CreateNamedMutex(const char* name, uint32_t* lastError) {
  HANDLE h = CreateMutexA(nullptr, TRUE, name);
  *lastError = GetLastError();
  if (h == nullptr) return nullptr;
  if (*lastError != kErrorAlreadyExists) *lastError = 0;
  return h;
}

void CloseMutex(MutexHandle mutex) {
  if (mutex != nullptr) CloseHandle(mutex);
}

}  // namespace platform
