// The named mutex by which a running game shows that it runs.
#ifndef VX_PLATFORM_MUTEX_H_
#define VX_PLATFORM_MUTEX_H_

#include <cstdint>

namespace platform {

// An open mutex, or nullptr for none.
using MutexHandle = void*;

// The last error that says the mutex existed already.
constexpr uint32_t kErrorAlreadyExists = 183;

// Creates the named mutex, asking for initial ownership. Returns nullptr when
// no handle could be had; otherwise *lastError is kErrorAlreadyExists when a
// mutex of that name existed already (the game runs), else 0.
MutexHandle CreateNamedMutex(const char* name, uint32_t* lastError);

// Closes the handle (and so releases the mutex). Does nothing for nullptr.
void CloseMutex(MutexHandle mutex);

}  // namespace platform

#endif  // VX_PLATFORM_MUTEX_H_
