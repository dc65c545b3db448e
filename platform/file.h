// Reading files: open an existing file, read it, ask its size, move in it,
// close it. Paths are code page 932 text with `\` (or `/`) as separator.
#ifndef VX_PLATFORM_FILE_H_
#define VX_PLATFORM_FILE_H_

#include <cstdint>

namespace platform {

// An open file, or nullptr for none.
using FileHandle = void*;

// Whom else an open lets read the file meanwhile.
enum class Share { kNone, kRead };

// Where a move counts from.
enum class SeekFrom { kBegin, kEnd };

// Opens an existing file (not a folder) for reading, with normal attributes
// and the given sharing. Returns nullptr when it can't be opened. Never
// blocks: only a regular (disk) file opens, not a FIFO, a pipe or a device.
FileHandle OpenExisting(const char* path, Share share);

// Reads up to count bytes into dest. False when the read fails; otherwise
// *done holds the bytes read, 0 at the end of the file.
bool ReadBytes(FileHandle file, void* dest, uint32_t count, uint32_t* done);

// The file's whole size in bytes into *size; false when it can't be had.
bool FileSize(FileHandle file, uint64_t* size);

// Moves the read position by distance from the start or the end. False (and
// the position unchanged) when the new position would be before the start.
bool Seek(FileHandle file, int64_t distance, SeekFrom from);

// Closes the file. Does nothing for nullptr.
void CloseFileHandle(FileHandle file);

// Owns one open file and closes it when destroyed or given another, so that
// no return or exception can leak it. Movable, not copyable.
class File {
 public:
  File() = default;
  explicit File(FileHandle handle) : m_handle(handle) {}
  File(File&& other) noexcept : m_handle(other.Release()) {}
  File& operator=(File&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { CloseFileHandle(m_handle); }

  FileHandle get() const { return m_handle; }
  explicit operator bool() const { return m_handle != nullptr; }
  // Closes the file held, if any, and holds handle instead.
  void Reset(FileHandle handle = nullptr) {
    FileHandle old = m_handle;
    m_handle = handle;
    CloseFileHandle(old);
  }
  // Gives up the file without closing it.
  FileHandle Release() {
    FileHandle handle = m_handle;
    m_handle = nullptr;
    return handle;
  }

 private:
  FileHandle m_handle = nullptr;
};

}  // namespace platform

#endif  // VX_PLATFORM_FILE_H_
