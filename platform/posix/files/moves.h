// Moves held back, on volumes where a file's new contents must be on disk
// before its move over a replaced file or onto a new name: one flush of the
// volume (or a thread's wait for the files' own writes) then serves a batch
// of files instead of one flush each. Also where the volume orders a move
// by itself, to take the files' writes off the copy's thread.
#ifndef VX_PLATFORM_POSIX_FILES_MOVES_H_
#define VX_PLATFORM_POSIX_FILES_MOVES_H_

#include <sys/stat.h>

#include <string>

#include "platform/posix/files/descriptor.h"

namespace platform::posix {

// Holds the move of the written temporary file temp (open as *file, its
// stat made, guarded against signals in slot) in the folder open as folder
// (whose stat is folderStat) over the file `name` there, which expected
// describes; path is that file's whole path. ordered tells that the volume
// orders the move after the file's own writes (WritebackOrdersNaming, asked
// by the caller once): the batch then waits for them, and *file is taken
// over and kept open for that; else a flush of the volume serves, and *file
// is left to the caller to close. The move is made at the next
// CompleteMoves (at once when the batch is full), and only while name is
// still the file expected describes: a file another program put there
// meanwhile stays, as if it had come just after the move. False, and
// nothing held, when the process can't keep what that needs (a low
// descriptor limit): the caller flushes and moves the file itself.
bool HoldMove(int folder, const struct stat& folderStat, Descriptor* file, bool ordered,
              const std::string& temp, const struct stat& made, int slot, const std::string& name,
              const struct stat& expected, const std::string& path);

// Holds the naming of a written new file onto the free name `name` of the
// folder open as folder (whose stat is folderStat), path being its whole
// path: a new file that appears under its name only once on disk. The file
// is *file, without a name (taken over and kept open until it is linked
// in), or, when temp is not empty, the temporary file temp open as *file
// (its stat made, guarded in slot, and ordered as for HoldMove). The naming never replaces: a
// file another program made there meanwhile stays, as if it had come just
// after. False, and nothing held (*file still the caller's), as for
// HoldMove.
bool HoldNew(int folder, const struct stat& folderStat, Descriptor* file, bool ordered,
             const std::string& temp, const struct stat& made, int slot, const std::string& name,
             const std::string& path);

// Gives file, a complete file without a name, the name `name` in folder;
// fails with EEXIST when that name is taken.
bool LinkNoReplace(int file, int folder, const char* name);

// Moves temp onto the name `name` of folder unless that name is taken
// (errno EEXIST then), also where the file system can't rename so.
bool MoveNoReplace(int folder, const std::string& temp, const std::string& name);

// True when a move onto path, or onto a path that differs from it only in
// ASCII letter case, is held: a lookup of that path without regard to case
// must see the held file in place.
bool MoveHeld(const std::string& path);

// Puts the held files' contents on disk and makes their moves. False when
// the flush or a move failed, now or in a batch completed before (their
// temporary files are removed then).
bool CompleteMoves();

}  // namespace platform::posix

#endif  // VX_PLATFORM_POSIX_FILES_MOVES_H_
