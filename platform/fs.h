// Folders and whole files: the current directory, file search, time stamps,
// directory tests and creation, and the copy of one file over another.
// Paths are code page 932 text with `\` as separator.
#ifndef VX_PLATFORM_FS_H_
#define VX_PLATFORM_FS_H_

#include <cstdint>

#include "platform/file.h"

namespace platform {

// Size of a path area, the terminating zero included.
constexpr uint32_t kPathAreaSize = 260;

// File attributes as the system reports them.
constexpr uint32_t kAttributeReadOnly = 0x01;
constexpr uint32_t kAttributeHidden = 0x02;
constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint32_t kAttributeNormal = 0x80;

// Writes the current directory into buffer, which holds size bytes. Returns
// its length without the terminator when it fits; when it does not, the size
// it needs with the terminator (buffer then holds the empty text); 0 when it
// can't be had.
uint32_t WorkingDirectory(char* buffer, uint32_t size);

// An open search, or nullptr for none.
using SearchHandle = void*;

// One entry found by a search: its attributes and its bare name.
struct FoundEntry {
  uint32_t m_attributes;
  char m_name[kPathAreaSize];
};

// What a search reports of each entry: all its attributes, or only whether
// it is a folder (a file then reports kAttributeNormal), which Linux can
// tell from the folder's own listing without examining every entry.
enum class SearchDetail { kAttributes, kKindOnly };

// Starts a search for the entries that match pattern: a path whose last
// component may hold `*` (any run of characters) and `?` (one character).
// Relative patterns count from the current directory. Fills *entry with the
// first match and returns the search, or nullptr when nothing matches.
SearchHandle StartSearch(const char* pattern, FoundEntry* entry,
                         SearchDetail detail = SearchDetail::kAttributes);

// Fills *entry with the next match; false when there is none left.
bool ContinueSearch(SearchHandle search, FoundEntry* entry);

// Ends a search. Does nothing for nullptr.
void EndSearch(SearchHandle search);

// The last-write time of an open file, in 100-nanosecond units since
// 1601-01-01 UTC, into *time; false when it can't be had.
bool LastWriteTime(FileHandle file, uint64_t* time);

// True when path names an existing directory.
bool IsDirectory(const char* path);

// Creates every missing folder of path up to its last separator (`\` or `/`
// standing as a character of its own). False when one can't be made.
bool CreateFoldersOf(const char* path);

// Copies source over destination, keeping the source's contents and
// last-write time; true when done. openSource is the source already open
// for reading, or nullptr: the copy takes it over and closes it, so that the
// source is opened once. A destination path holds its whole old file or its
// whole new file at every moment, after a power cut too: a new destination
// appears under its name only once complete and on disk; an existing one is
// replaced by a copy written under a temporary name in its folder and moved
// over it in one step, its contents on disk before the move. No temporary file stays behind, and a
// failure removes nothing but what the copy made. A destination that is a symbolic link is written
// through (the link stays, its target is replaced). Where the folder takes no new file but the
// destination may be written, the copy goes onto it in place once the volume has room for the whole
// new file. Fails without touching the destination when it is read-only (Windows: or hidden where
// the system's own copy refuses that, or held open by another process).
//
// Linux: a new file gets the source's permission bits less the umask and
// never its set-id bits; run as root, the owner and group of its folder. A
// replaced file keeps its owner, group and mode bits. When the destination
// was probed just before by OpenExisting with the same path text, the copy
// acts on the file (or the absence) and the folder that probe found, and
// fails without writing (see CopyMetAChange) when another program replaced
// either meanwhile. Windows: likewise for the file or the absence, checked
// right before the move.
bool CopyOver(const char* source, const char* destination, FileHandle openSource = nullptr);

// Where a copy writes the contents that CopyContents produces: its own
// temporary file (or the new file not yet under its name).
class CopySink {
 public:
  virtual ~CopySink() = default;
  // Writes count bytes; false when they can't all be written.
  virtual bool Write(const void* data, uint32_t count) = 0;
};

// Contents checked or made on their way into place: a copy checked against
// a recorded hash, or a file made from a delta and the installed file.
class CopyContents {
 public:
  virtual ~CopyContents() = default;
  // True when the new file is the source's bytes as they stand: the copy
  // copies them its own way and checks what it wrote (Examine, Passed).
  // False: it calls Produce for the bytes instead.
  virtual bool Unchanged() const = 0;
  // Writes the new file's whole contents to out, reading source (open for
  // reading at its start) as it needs. False when they can't be made or
  // fail a check: the copy then fails and writes nothing.
  virtual bool Produce(FileHandle source, CopySink* out) = 0;
  // Check the new file as written, before it is put in place: the copy
  // passes the bytes it wrote to Examine in order, as it writes them (read
  // back from the file on Linux), possibly from a thread of its own, one
  // call at a time; then it asks Passed, on the caller's thread, also
  // after a failed attempt. False from either fails the copy, which then
  // writes nothing.
  virtual bool Examine(const void* data, uint32_t count) = 0;
  virtual bool Passed() = 0;
};

// CopyOver, with the new file checked or made by contents (called once per
// attempt at the file); the new file keeps every other guarantee of
// CopyOver and gets the source's last-write time. The destination is never
// written in place: where its folder takes no new file, the copy fails,
// since the old file must stay whole until the new one is complete and
// checked, and contents may read it meanwhile.
bool CopyOver(const char* source, const char* destination, FileHandle openSource,
              CopyContents* contents);

// True when the last CopyOver failed because the destination or its folder
// was no longer the one its probe examined: nothing was written, and a new
// probe and decision may well succeed.
bool CopyMetAChange();

// From now until FlushCopies, CopyOver may hold back the moves of replaced
// files and the names of new files on volumes where their contents must be
// flushed before, so that one flush serves many files: such a file is in
// place once FlushCopies returns, or once its path (in any letter case) is
// opened or copied to again. For a run that ends with FlushCopies.
// (Windows: nothing is held back.)
void BatchReplacingMoves(bool on);

// Puts every file that CopyOver wrote on disk (Linux: syncfs of each volume
// written; Windows: each file was flushed as it was written), held moves
// made first, and ends the holding of moves. False when the system reports
// that a write or a move did not succeed.
bool FlushCopies();

// Gives path the normal attributes: clears read-only, hidden, system and
// archive (Linux: gives the owner write permission).
bool SetNormalAttributes(const char* path);

// For tests: the next CopyOver fails once it has written `bytes` bytes of the
// copy, as a full disk or a read error would make it fail.
void FailNextCopyAfter(uint64_t bytes);

// For tests, Windows: the next CopyOver that replaces a file by a move calls
// hook(path, context) once the new file is written and closed and before it
// is moved, where a virus scanner or an indexer would open it; path is the
// new file's full name in long form (`\\?\`). Linux, which has no
// mandatory sharing, never calls it.
using NewFileHook = void (*)(const wchar_t* path, void* context);
void OnNextNewFile(NewFileHook hook, void* context);

// For tests: the next CopyOver calls hook(context) once its new file is
// written and before it is put in place under the destination's name, where
// another program could change the destination or its folder (Linux: also
// where a failure asked for by FailNextCopyAfter stops it).
void OnNextCopyWritten(void (*hook)(void*), void* context);

}  // namespace platform

#endif  // VX_PLATFORM_FS_H_
