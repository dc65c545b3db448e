// An open Linux file descriptor, closed when its owner goes.
#ifndef VX_PLATFORM_POSIX_FILES_DESCRIPTOR_H_
#define VX_PLATFORM_POSIX_FILES_DESCRIPTOR_H_

#include <unistd.h>

#include <utility>

namespace platform::posix {

// Owns one descriptor (or none, -1). Movable, not copyable.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : m_fd(fd) {}
  ~Descriptor() { Close(); }
  Descriptor(Descriptor&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) reset(std::exchange(other.m_fd, -1));
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return m_fd; }
  // Closes the descriptor held, if any, and holds fd instead.
  void reset(int fd) {
    Close();
    m_fd = fd;
  }
  // Gives up the descriptor without closing it.
  int Release() { return std::exchange(m_fd, -1); }
  // Closes it now; false when close reported a failure (a write that did
  // not reach the file, say).
  bool Close() {
    int fd = std::exchange(m_fd, -1);
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int m_fd;
};

}  // namespace platform::posix

#endif  // VX_PLATFORM_POSIX_FILES_DESCRIPTOR_H_
