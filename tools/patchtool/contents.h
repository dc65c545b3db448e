// What a patch ships for each of its files and how the installer checks it:
// the manifest entries (size and SHA-256 of every file, and for a delta the
// installed file it applies to), and with --delta the deltas themselves.
#ifndef VX_TOOLS_PATCHTOOL_CONTENTS_H_
#define VX_TOOLS_PATCHTOOL_CONTENTS_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "delta/manifest.h"

namespace patchtool {

// One file of the patch: NEW's file, and OLD's for a changed one.
struct ContentSource {
  std::string m_path;  // relative, system text with `\`
  std::string m_new;   // local path of NEW's file
  std::string m_old;   // local path of OLD's file; empty for a new file
};

struct PatchContents {
  std::vector<delta::ManifestEntry> m_entries;  // in the files' order
  std::map<std::string, std::string> m_deltas;  // path to the delta that stands for NEW's file
  uint64_t m_wholeBytes = 0;                    // every file shipped whole
  uint64_t m_shippedBytes = 0;                  // with the deltas in place of their files
};

// Hashes every file and, when deltas, makes for each changed file a delta
// against OLD's and keeps it where it is smaller than NEW's file. False
// (with *failure naming the file) when a file can't be read.
bool MakeContents(const std::vector<ContentSource>& files, bool deltas, PatchContents* contents,
                  std::string* failure);

// The SHA-256 and size of a file read through the platform layer (system
// text path); false when it can't be read.
bool HashFile(const std::string& path, uint64_t* size, platform::Sha256Digest* digest);

}  // namespace patchtool

#endif  // VX_TOOLS_PATCHTOOL_CONTENTS_H_
