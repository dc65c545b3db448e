// packtool's commands and the helpers they share.
#ifndef VX_TOOLS_PACKTOOL_PACKTOOL_H_
#define VX_TOOLS_PACKTOOL_PACKTOOL_H_

#include <string>
#include <vector>

#include "fileaccess/pack_format.h"

namespace packtool {

// Exit statuses.
constexpr int kOk = 0;
constexpr int kPackFailed = 1;   // the pack can't be opened (or written)
constexpr int kEntryFailed = 2;  // an entry can't be opened, read or made
constexpr int kUsage = 64;

// Prints "packtool: <message>" as one line on standard error.
void Error(const std::string& message);

// Each command takes the arguments after its name.
int Create(const std::vector<std::string>& args);
int List(const std::vector<std::string>& args);
int Cat(const std::vector<std::string>& args);
int Extract(const std::vector<std::string>& args);
int Verify(const std::vector<std::string>& args);

// Text of the command line and of file names (UTF-8 on Linux, the ANSI code
// page on Windows) to the system's code page 932 text; false when it has no
// such form.
bool ToSystemText(const std::string& local, std::string* system);
// Code page 932 text to the local form, for file names; false when it does
// not convert.
bool ToLocalText(const std::string& system, std::string* local);
// Code page 932 text for showing: bytes that do not convert become `?`.
std::string ToDisplayText(const std::string& system);
// The last component of a local path.
std::string BaseName(const std::string& local);
// Makes the folder (and its parents) of a local path; false when it can't.
bool MakeFolders(const std::string& local);
// Switches standard output to binary writes.
void SetBinaryOutput();
// True when a local path names a folder.
bool IsFolder(const std::string& local);
// A number as eight hexadecimal digits.
std::string Hex(uint32_t value);

// True (with *reason) when the pack open in file is not well formed at its
// head: no whole head word, no trailer, or an index that does not lie whole
// inside the file (before an extended pack's trailer).
bool IndexFault(platform::FileHandle file, std::string* reason);
// Why an entry of a pack is not well formed (a name without an end, bytes
// past the end of the file); empty when it is.
std::string EntryFault(platform::FileHandle file, const PackEntry& record,
                       const pack::EntryHead& head);

}  // namespace packtool

#endif  // VX_TOOLS_PACKTOOL_PACKTOOL_H_
