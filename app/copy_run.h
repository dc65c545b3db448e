// The copy run: confirms the source and destination folders with the user,
// then copies every file that the update list's rules match from the patch
// folder (the current directory) into the install directory, asking before
// it overwrites a file as new as the patch's or creates a missing folder.
#ifndef VX_APP_COPY_RUN_H_
#define VX_APP_COPY_RUN_H_

#include <cstdint>
#include <functional>
#include <string>

#include "app/update_list.h"
#include "platform/file.h"
#include "text/vx_string.h"

// Size of every path area of the run, the terminating zero included.
constexpr int kCopyPathAreaSize = 260;

// Runs the copy over UpdateList into UpdateSettings.m_installDir. False when
// the user did not confirm the folders or chose to stop after a failed file;
// true otherwise, also when single files failed and the user went on.
bool RunUpdate();

// Copies one file, named by its path relative to both folders, from the
// source folder into the destination folder, with the questions and failure
// messages of the run. True when the file was copied. Drops one trailing
// backslash from each folder string in place. Paths that would not fit a
// path area are not copied (the failure message names the relative path).
bool CopyUpdateFile(const char* relativePath, CVxString& destinationFolder,
                    CVxString& sourceFolder);

// Why a file will not be copied, as the probes find it before any question.
enum class CopyFailure {
  kNone,
  kPathTooLong,       // a path does not fit its area: "copy failed" (M12)
  kSourceUnreadable,  // the patch's file is missing or in use: M8
  kTimeUnreadable,    // a time stamp can't be read: no message
};

// What the run will do with one file, found by the probes alone: nothing is
// asked and nothing is written while it is made. It keeps the probe handles
// open until it is carried out or destroyed, as the run keeps them open
// from the probes until just before the copy.
struct CopyDecision {
  CopyDecision();
  CopyDecision(const CopyDecision&) = delete;
  CopyDecision& operator=(const CopyDecision&) = delete;
  ~CopyDecision();
  // Closes the probe handles (idempotent).
  void CloseProbes();

  std::string m_relativePath;        // as the messages name the file
  CVxString m_sourcePath;            // source folder, `\`, relative path
  CVxString m_destinationPath;       // destination folder, `\`, relative path
  char m_folder[kCopyPathAreaSize];  // destination path cut at its last backslash
  CopyFailure m_failure;
  bool m_folderMissing;      // m_folder is no directory: the folder question (M9) comes
  bool m_destinationExists;  // the destination opened: it exists and nobody holds it
  bool m_asNewOrNewer;       // its time is not older: the overwrite question (M11) comes
  uint64_t m_sourceTime;     // last-write times, when m_destinationExists
  uint64_t m_destinationTime;
  platform::FileHandle m_source;  // probe handles, or nullptr
  platform::FileHandle m_destination;
};

// Probes one file as CopyUpdateFile does (source and destination opened,
// destination folder tested, time stamps compared) and records the outcome
// in *decision, without asking or writing anything. Drops one trailing
// backslash from each folder string in place.
void DecideCopy(const char* relativePath, CVxString& destinationFolder, CVxString& sourceFolder,
                CopyDecision* decision);

// Does what *decision says, with the run's questions and failure messages in
// the run's order: the failure message, the folder question and creation,
// the overwrite question, then the copy. True when the file was copied.
bool CarryOutCopy(CopyDecision* decision);

// True when an installed file with destinationTime makes the run ask before
// it overwrites it with a file of sourceTime: it is as new or newer.
bool AsksBeforeOverwrite(uint64_t sourceTime, uint64_t destinationTime);

// Reads the current directory into *folder as the run's source folder. False
// when no file can be copied from it (it can't be read, or does not fit its
// area); *folder then holds what can be shown of it.
bool ReadSourceFolder(CVxString* folder);

// One file that a rule matched in the patch folder.
struct MatchedFile {
  const UpdateEntry* m_rule;
  // The path relative to both folders; nullptr when it does not fit an area.
  const char* m_relativePath;
  std::string m_wholePath;         // the same at any length, for messages
  CVxString* m_destinationFolder;  // the rule's destination folder
};

// Walks the rules of UpdateList in list order, searches each pattern from
// the current directory and calls visit for every file it matches (folders
// are passed over) in the order the search returns them, with the rule's
// destination folder below installDir. Stops and returns false as soon as
// visit returns false; true when every rule was walked.
bool ForEachMatchedFile(const char* installDir, const std::function<bool(MatchedFile&)>& visit);

// The decision for a matched file, as the run makes it: a path that does
// not fit, or a source folder that can't be used, is a failure to copy.
void DecideMatchedFile(MatchedFile& file, bool sourceUsable, CVxString& sourceFolder,
                       CopyDecision* decision);

// Watches the copy run, for the program's progress line and its count of
// files not copied. Its calls must not show boxes.
class CopyRunObserver {
 public:
  virtual ~CopyRunObserver() = default;
  // The user confirmed the folders; the files of the rules come next, with
  // their destination folders below installDir.
  virtual void RunStarting(const char* installDir) = 0;
  // The run decided about file and is about to carry the decision out.
  virtual void FileStarting(const MatchedFile& file, const CopyDecision& decision) = 0;
  // The file was copied, or not (failed, or declined by the user).
  virtual void FileDone(bool copied) = 0;
};

// Makes observer watch every later run (nullptr: none) and returns the one
// it replaces.
CopyRunObserver* SetCopyRunObserver(CopyRunObserver* observer);

// Writes folder, `\` and name into out (kCopyPathAreaSize bytes), dropping
// one trailing backslash of the folder and one leading backslash of the
// name; just the name when the folder is empty. A null folder or name counts
// as empty. Returns out; nullptr when out is null or the path does not fit
// (out then holds the empty text).
char* JoinPath(char* out, const char* folder, const char* name);

// Writes the folder part of a search pattern into out (kCopyPathAreaSize
// bytes): everything up to and including its last separator (`\` or `/`,
// each written as `\`), without a leading drive; empty when there is no
// separator. False, and out empty, when it does not fit.
bool GetPatternFolder(const char* pattern, char* out);

#endif  // VX_APP_COPY_RUN_H_
