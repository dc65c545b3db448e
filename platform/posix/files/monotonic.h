// The monotonic clock, for the short windows in which what the process
// looked at a moment ago is taken as current.
#ifndef VX_PLATFORM_POSIX_FILES_MONOTONIC_H_
#define VX_PLATFORM_POSIX_FILES_MONOTONIC_H_

#include <time.h>

#include <cstdint>

namespace platform::posix {

// How long what the process looked at (a folder's stamps, a file's stat) is
// taken as current without looking again, in nanoseconds: no longer than
// the tick of a coarse file time stamp, within which a change by another
// process could go unseen anyway.
constexpr int64_t kMoment = 1000000;

// Nanoseconds on CLOCK_MONOTONIC.
inline int64_t MonotonicNow() {
  timespec t;
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace platform::posix

#endif  // VX_PLATFORM_POSIX_FILES_MONOTONIC_H_
