// The number of operating-system handles the process holds open, for tests
// that prove every open is matched by a close.
#ifndef VX_PLATFORM_TESTING_HANDLE_COUNT_H_
#define VX_PLATFORM_TESTING_HANDLE_COUNT_H_

namespace platform {

// Linux: the open file descriptors but those of folders (the platform keeps
// some folders open on purpose); Windows: GetProcessHandleCount. -1 when
// the count can't be had. Only differences between two calls mean anything.
int OpenHandleCount();

}  // namespace platform

#endif  // VX_PLATFORM_TESTING_HANDLE_COUNT_H_
