// patchtool's commands and the helpers they share. Inside the tool, names,
// paths and list text are code page 932 ("system text") with `\` as
// separator, as the installer handles them; the command line and the
// terminal use the local text (UTF-8 on Linux, the ANSI code page on
// Windows).
#ifndef VX_TOOLS_PATCHTOOL_PATCHTOOL_H_
#define VX_TOOLS_PATCHTOOL_PATCHTOOL_H_

#include <cstdint>
#include <string>
#include <vector>

namespace patchtool {

// Exit statuses.
constexpr int kOk = 0;
constexpr int kFailed = 1;  // the work failed, or found errors
constexpr int kUsage = 64;

// The name of the list and of the installer in a patch folder.
extern const char kListName[];
extern const char kInstallerName[];

// Prints "patchtool: <message>" (system text) as one line on standard error.
void Error(const std::string& message);
// Prints "patchtool: warning: <message>" as one line on standard error.
void Warn(const std::string& message);
// Writes one line of system text on standard output.
void PrintLine(const std::string& line);

// Each command takes the arguments after its name.
int Make(const std::vector<std::string>& args);
int Check(const std::vector<std::string>& args);
int Plan(const std::vector<std::string>& args);

// --- check, also run by make on what it wrote -----------------------------

// One finding of check: line 0 is about the list as a whole.
struct Finding {
  int m_line;
  bool m_error;
  std::string m_text;  // system text
};

// Checks the update.lst of the current directory against the files beside
// it, as the installer would read and use them.
std::vector<Finding> CheckCurrentFolder();

// Prints findings as "update.lst:LINE: error: TEXT" on standard output.
// Returns true when one of them is an error.
bool PrintFindings(const std::vector<Finding>& findings);

// The last value of every known setting of a list text, by SettingKey,
// untrimmed by capacity: index 0 is unused; empty when not set.
std::vector<std::string> SettingValues(const std::string& text);

// --- the patch's rules, made by make --------------------------------------

// Rule lines (source patterns with an empty destination sub-path) that copy
// exactly files (relative paths) from a patch folder that holds those files
// and, at its top, the list and the installer, each into the same relative
// place of the installation, with as few rules as it finds. False, with
// *error saying which name, when a name can't be spelled by any rule.
bool MakeRules(const std::vector<std::string>& files, std::vector<std::string>* rules,
               std::string* error);

// --- files and folders through the platform layer -------------------------

// Every file below root (system text; empty for the current directory), as
// relative paths with `\`, sorted; folders as well when folders is not null.
// False, with *error, when a name can't be had exactly.
bool ListFiles(const std::string& root, std::vector<std::string>* files,
               std::vector<std::string>* folders, std::string* error);

// True when both files hold the same bytes; false when they differ or one
// can't be read (*readable false then).
bool SameContents(const std::string& a, const std::string& b, bool* readable);

// The last-write time of a file; false when it can't be had.
bool FileWriteTime(const std::string& path, uint64_t* time);

// ASCII letters folded to upper case, double-byte characters kept whole:
// the key under which Windows takes two names for one.
std::string FoldCase(const std::string& text);

// The bytes of text, as its characters (a double-byte character is one).
std::vector<std::string> Characters(const std::string& text);

// --- where the tool meets the system (Linux and Windows apart) ------------

// Local text to system text; false when it has no exact code page 932 form.
bool ToSystemText(const std::string& local, std::string* system);
// System text for the terminal: bytes that do not convert become `?`.
std::string Shown(const std::string& system);
// True when text is code page 932 text (every byte sequence converts).
bool IsSystemText(const std::string& text);
// A local path made absolute (not resolved) against the current directory.
bool AbsolutePath(const std::string& local, std::string* absolute);
// Makes the local path the current directory.
bool ChangeDirectory(const std::string& local);
// Sets the last-write time of a file (system text) to the current time.
bool TouchNow(const std::string& path);
// Looks below a local folder for a name that has no exact code page 932
// form, which the platform's search passes over; true (with the local path
// in *found) when there is one.
bool FindUnconvertibleName(const std::string& local, std::string* found);

}  // namespace patchtool

#endif  // VX_TOOLS_PATCHTOOL_PATCHTOOL_H_
