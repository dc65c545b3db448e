// patchtool's commands and the helpers they share. Inside the tool, names,
// paths and list text are code page 932 ("system text") with `\` as
// separator, as the installer handles them; the command line, the
// publisher's folders and the terminal use the local text (UTF-8 on Linux,
// the ANSI code page on Windows).
#ifndef VX_TOOLS_PATCHTOOL_PATCHTOOL_H_
#define VX_TOOLS_PATCHTOOL_PATCHTOOL_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "delta/manifest.h"
#include "tools/patchtool/report.h"

namespace patchtool {

// Exit statuses.
constexpr int kOk = 0;
constexpr int kFailed = 1;  // the work failed, or found errors (or warnings under --strict)
constexpr int kUsage = 64;

// The names a patch folder keeps at its top for itself: the list, the
// installer, and the list of files that the patch does not remove.
extern const char kListName[];
extern const char kInstallerName[];
extern const char kRemovedListName[];

// Prints "patchtool: <message>" (system text) as one line on standard error.
void Error(const std::string& message);

// Each command takes the arguments after its name.
int Make(const std::vector<std::string>& args);
int Check(const std::vector<std::string>& args);
int Plan(const std::vector<std::string>& args);

// --- check, also run by make on what it wrote -----------------------------

// Checks the update.lst of the current directory against the files beside
// it, as the installer would read and use them, and the files against the
// manifest when there is one. Findings about the list carry its name and a
// line number (of the file's own lines). With oldInstall (system text, an
// installation of OLD), also that every delta applies to the file it meets
// there.
std::vector<Finding> CheckCurrentFolder(const std::string& oldInstall = "");

// --- the manifest (update.sum) ----------------------------------------------

// Reads the current directory's manifest. *present tells whether there is
// one; false when there is none or it is malformed (an error finding).
bool LoadManifest(delta::Manifest* manifest, bool* present, std::vector<Finding>* findings);
// Every listed file present with its size and SHA-256; copied (the relative
// paths that the rules copy, by their folded form) listed.
void CheckManifestFiles(const delta::Manifest& manifest,
                        const std::map<std::string, std::string>& copied,
                        std::vector<Finding>* findings);
// Every delta that the rules copy into installFolder (system text) applies
// to the file there.
void CheckDeltasApply(const delta::Manifest& manifest, const std::string& installFolder,
                      std::vector<Finding>* findings);

// The last value of every known setting of a list text, by SettingKey:
// index 0 is unused; *present tells which keys had a line.
std::vector<std::string> SettingValues(const std::string& text, std::vector<bool>* present);

// Why a setting's value would make the installer fail or read it otherwise
// than meant (code and text of an error); empty when none. key is a
// SettingKey.
std::string SettingFault(int key, const std::string& value, std::string* code);

// Why a list text would be read otherwise than written, for the first line
// (from 1) where it happens: a NUL byte, UTF-8 text; 0 when none.
int TextFault(const std::string& text, std::string* code, std::string* message);

// --- the patch's rules, made by make --------------------------------------

// Rule lines (source patterns with an empty destination sub-path) that copy
// exactly files (relative paths) from a patch folder that holds those files
// and, at its top, the names in reserved, each into the same relative place
// of the installation, with as few rules as it finds. False, with *error
// saying which name, when a name can't be spelled by any rule.
bool MakeRules(const std::vector<std::string>& files, const std::vector<std::string>& reserved,
               std::vector<std::string>* rules, std::string* error);

// --- what the installer will do, shared by plan and make --------------------

// One file of a plan: what the player meets, in the installer's order.
struct PlanStep {
  std::string m_what;         // new, new-folder, replace, ask or fail
  std::string m_relative;     // the source, relative to the patch folder
  std::string m_destination;  // as the installer writes it
  std::string m_why;          // for fail: the reason
  bool m_folderQuestion = false;
  bool m_overwriteQuestion = false;
  bool m_delta = false;  // the patch ships the file as a delta
};

// Reads the current directory's update.lst and decides, with the installer's
// own copy run, what it would do with every file against the install folder
// (system text), sourceFolder being the patch folder's system-text path.
// False (with *error) when the list can't be read or is refused.
bool PlanSteps(const std::string& sourceFolder, const std::string& installFolder,
               std::vector<PlanStep>* steps, std::string* error);

// --- names as Windows holds them ---------------------------------------------

// The key under which Windows takes two names for one: ASCII and the
// full-width Latin, Greek and Cyrillic letters folded to upper case, other
// double-byte characters kept whole.
std::string FoldCase(const std::string& text);

// The bytes of text, as its characters (a double-byte character is one).
std::vector<std::string> Characters(const std::string& text);

// Why Windows can't hold a name (one path component); empty when it can.
std::string WindowsNameFault(const std::string& name);
// The same for every component of a relative path, naming the component.
std::string PathFault(const std::string& path);

// The components of a path (`\` or `/` between), empty ones dropped.
std::vector<std::string> PathComponents(const std::string& path);
// A path as Windows resolves it, folded, for telling whether two paths name
// one place: separators of either kind and doubled, `.` components, and
// dots and blanks at a component's end make no difference; `..` takes the
// component before it away.
std::string PathKey(const std::string& path);

// The installer's longest path, without the terminating zero.
constexpr size_t kCopyPathLimit = 259;
// Room that a path leaves for the install folder and the patch folder
// before a length warning: "C:\Program Files (x86)\" and a game's folder.
constexpr size_t kFolderRoom = 64;
enum class LengthVerdict { kFits, kShortFoldersOnly, kNever };
// Whether a relative path can be copied: kNever when not even below a
// drive's root.
LengthVerdict PathLengthVerdict(const std::string& relative);

// --- the patch folder through the platform layer (as the installer sees it) --

// Every file below root (system text; empty for the current directory), as
// relative paths with `\`, sorted; folders as well when folders is not null.
// False, with *error, when a name can't be had exactly.
bool ListFiles(const std::string& root, std::vector<std::string>* files,
               std::vector<std::string>* folders, std::string* error);

// The first bytes of a file, at most count; empty when it can't be read.
std::string FileHead(const std::string& local, size_t count);

// --- the publisher's folders, in local text ------------------------------------

enum class EntryKind { kFile, kFolder, kOther };

// One file or folder found below a root.
struct TreeEntry {
  std::string m_path;  // relative, system text with `\`; for a name without a
                       // code page 932 form, what can be shown of it
  EntryKind m_kind = EntryKind::kFile;
  uint64_t m_size = 0;
  uint64_t m_time = 0;        // last-write time as a Windows file time
  std::string m_problem;      // why it can't go into a patch; empty when it can
  std::string m_outsideLink;  // a link that leads out of the root: its target (local)
};

// Every file and folder below a local root, following links, in no set
// order. A link loop, a link that leads nowhere, anything that is neither
// file nor folder, or a name without an exact code page 932 form is
// listed with its problem and not descended into. skip(relative) leaves out
// a path and all below it. False (with *error) when root can't be read.
bool WalkTree(const std::string& root, const std::function<bool(const std::string&)>& skip,
              std::vector<TreeEntry>* entries, std::string* error);

// The local path of a relative system-text path below a local root.
std::string LocalPathOf(const std::string& root, const std::string& relative);
// True when both files hold the same bytes; *readable false when one can't be read.
bool SameLocalContents(const std::string& a, const std::string& b, bool* readable);
// Copies a file with its last-write time (the current time when touch).
bool CopyLocalFile(const std::string& from, const std::string& to, bool touch);
// Writes bytes as a new file.
bool WriteLocalFile(const std::string& path, const std::string& bytes);
// Writes bytes as a new file with the permission bits and last-write time
// of the file like (the current time when touch): a delta that stands for it.
bool WriteLocalFileLike(const std::string& path, const std::string& bytes, const std::string& like,
                        bool touch);
// Makes a folder and its parents.
bool MakeLocalFolders(const std::string& path);
// Removes a folder and all below it.
void RemoveLocalTree(const std::string& path);
bool RenameLocal(const std::string& from, const std::string& to);
bool IsLocalFolder(const std::string& path);
bool LocalExists(const std::string& path);
// True when a local folder holds nothing.
bool IsEmptyLocalFolder(const std::string& path);
// The folder of the running program (local text); empty when unknown.
std::string ProgramFolder();

// A local folder reached by a system-text path, for the installer's code:
// the folder's own absolute path when it has a code page 932 form, else (on
// Linux) a link to it in a private temporary folder, removed at the end.
class ReachablePath {
 public:
  ReachablePath() = default;
  ReachablePath(const ReachablePath&) = delete;
  ReachablePath& operator=(const ReachablePath&) = delete;
  ~ReachablePath();
  // False when the folder can't be reached so.
  bool Reach(const std::string& local);
  const std::string& system() const { return m_system; }
  // Shows a system-text path that starts with system() in local terms.
  std::string Shown(const std::string& path) const;

 private:
  std::string m_system;
  std::string m_local;
  std::string m_aliasFolder;
};

// --- where the tool meets the system (Linux and Windows apart) ------------

// Local text to system text; false when it has no exact code page 932 form.
bool ToSystemText(const std::string& local, std::string* system);
// System text for the terminal: bytes that do not convert become `?`.
std::string Shown(const std::string& system);
// System text and local text as UTF-8, for JSON.
std::string ToUtf8(const std::string& system);
std::string LocalToUtf8(const std::string& local);
// True when text is code page 932 text (every byte sequence converts).
bool IsSystemText(const std::string& text);
// A local path made absolute (not resolved) against the current directory.
bool AbsolutePath(const std::string& local, std::string* absolute);
// Makes the local path the current directory.
bool ChangeDirectory(const std::string& local);

}  // namespace patchtool

#endif  // VX_TOOLS_PATCHTOOL_PATCHTOOL_H_
