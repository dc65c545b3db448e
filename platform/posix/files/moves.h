// Replacing moves held back, on volumes where a replaced file's new
// contents must be on disk before its move: one flush of the volume then
// serves a batch of files instead of one flush each.
#ifndef VX_PLATFORM_POSIX_FILES_MOVES_H_
#define VX_PLATFORM_POSIX_FILES_MOVES_H_

#include <sys/stat.h>

#include <string>

namespace platform::posix {

// Holds the move of the written and closed temporary file temp (its stat
// made, guarded against signals in slot) in the folder open as folder
// (whose stat is folderStat) over the file `name` there, which expected
// describes; path is that file's whole path. The move is made at the next
// CompleteMoves (at once when the batch is full), and only while name is
// still the file expected describes: a file another program put there
// meanwhile stays, as if it had come just after the move. False, and
// nothing held, when the process can't keep what that needs (a low
// descriptor limit): the caller flushes and moves the file itself.
bool HoldMove(int folder, const struct stat& folderStat, const std::string& temp,
              const struct stat& made, int slot, const std::string& name,
              const struct stat& expected, const std::string& path);

// True when a move onto path is held.
bool MoveHeld(const std::string& path);

// Puts the held files' contents on disk and makes their moves. False when
// the flush or a move failed, now or in a batch completed before (their
// temporary files are removed then).
bool CompleteMoves();

}  // namespace platform::posix

#endif  // VX_PLATFORM_POSIX_FILES_MOVES_H_
