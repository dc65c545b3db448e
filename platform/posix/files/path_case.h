// This folder: the Linux build's files and folders. Letter case, opening and
// reading files, folder tests and searches, and the copy.
//
// Letter case on Linux as a Windows file system has it: a name that is not
// there as written is found in any mix of upper and lower ASCII letters.
#ifndef VX_PLATFORM_POSIX_FILES_PATH_CASE_H_
#define VX_PLATFORM_POSIX_FILES_PATH_CASE_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/files/descriptor.h"

namespace platform::posix {

// Where a folder is: its volume and inode (0 when not known).
struct FolderId {
  dev_t device = 0;
  ino_t inode = 0;
  bool Known() const { return inode != 0; }
};

// True when name a comes before name b in a search's order, the order in
// which NTFS lists a folder: "." and ".." first, then by code point with
// ASCII letters taken as upper case (UTF-8 byte order is code point order),
// names equal so far by length, then by their bytes.
bool NameBefore(std::string_view a, std::string_view b);

// A key for sorting many names in that order: name a comes before name b
// when a's key is less than b's, or the keys are equal and a < b.
std::string NameOrderKey(std::string_view name);

// True when two UTF-8 names are equal without regard to ASCII letter case
// (other characters compare as they are).
bool SameNameNoCase(std::string_view a, std::string_view b);

// Walks the UTF-8 components below root, an existing Linux folder ("" is the
// current directory), and returns root joined with them by `/`. A component
// is taken as written when root and the components before it hold an entry
// of that name; otherwise the folder's entry of the same name without regard
// to ASCII case is taken, the first in a search's order when there are
// several. From the first component that has neither, the rest stay as
// written (a new name). "." and ".." stay as they are; an empty component
// (of a doubled or trailing `/`) keeps one separator.
std::string ResolveCase(std::string root, const std::vector<std::string>& components);

// As ResolveCase for a whole Linux path (absolute from "/", else from the
// current directory). A path that exists as written costs one lstat; a
// missing name is looked up in its folder's listing, which is read once
// and kept for the process while one stat of the folder shows it unchanged.
// A listing so checked in the last millisecond is used without a new stat.
std::string ResolvePathCase(const std::string& path);

// As *path = ResolvePathCase(*path), without a new text where the folder's
// kept listing answers and the name stays as written. *folder, when given,
// gets the identity of the folder whose listing answered for the last
// component (left as it is when none did).
void ResolvePathCaseInPlace(std::string* path, FolderId* folder = nullptr);

// True when folder (a Linux path as kept) has a listing that a stat showed
// current in the last millisecond, or is kept open for reading (see
// OpenInFolder) and its path was checked in the last millisecond: it is a
// folder, and no stat is needed to say so.
bool IsTrustedFolder(const std::string& folder);

// Opens path as ::open(path, flags, mode) does. Where path's folder has a
// listing that is trusted (see IsTrustedFolder) and a file was made there
// through this call before, the name is opened through the folder's kept
// descriptor, without a walk of the folder's path. At most one descriptor
// is kept for each kept listing. Likewise, a folder without a listing that
// many files are opened from for reading is kept open (only the last two
// such folders), while a stat of its path at most once a millisecond shows
// that the path still leads to it.
int OpenInFolder(const std::string& path, int flags, mode_t mode);

// The process's own changes to a folder whose listing is kept, so that the
// next lookup there finds them at once; call it right after the change.
// path's last component was just made, under that name.
void NoteNewEntry(const std::string& path);
// The file at path was replaced under the name it had (by a rename over it).
void NoteEntryReplaced(const std::string& path);
// path's last component was removed or its folder changed otherwise.
void NoteEntryRemoved(const std::string& path);
// NoteNewEntry (new) or NoteEntryReplaced for each of paths, in one look at
// the listings: for a batch of files put in place together.
void NoteEntries(const std::vector<const std::string*>& paths, bool added);

// A folder that files are written into, open: the descriptor kept with its
// listing, or one of its own that goes with it.
class WriteFolder {
 public:
  int fd() const { return m_fd; }
  // The folder's stat, taken when it was opened or handed out.
  const struct stat& st() const { return m_st; }
  FolderId Id() const { return FolderId{m_st.st_dev, m_st.st_ino}; }

  // Filled by OpenWriteFolder.
  int m_fd = -1;
  Descriptor m_owned;
  struct stat m_st {};
};

// Opens folder (a Linux path, resolved) to write files into: the descriptor
// kept with its listing when a stat showed its path leading there in the
// last moment (opened and kept now, while the process may keep
// descriptors), else one of its own. False when it is no folder.
bool OpenWriteFolder(const std::string& folder, WriteFolder* out);

// Lets go of whatever is kept of folder (its listing, its descriptors), so
// that what follows goes by its path again.
void ForgetFolder(const std::string& folder);

// Closes every folder descriptor kept for speed, for a process that ran out
// of descriptors.
void ReleaseKeptDescriptors();

}  // namespace platform::posix

#endif  // VX_PLATFORM_POSIX_FILES_PATH_CASE_H_
