// The copy run: confirms the source and destination folders with the user,
// then copies every file that the update list's rules match from the patch
// folder (the current directory) into the install directory, asking before
// it overwrites a file as new as the patch's or creates a missing folder.
#ifndef VX_APP_COPY_RUN_H_
#define VX_APP_COPY_RUN_H_

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
