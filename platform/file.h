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
// and the given sharing. Returns nullptr when it can't be opened.
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

}  // namespace platform

#endif  // VX_PLATFORM_FILE_H_
