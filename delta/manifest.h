// The patch manifest: every file a patch installs, with its size and
// SHA-256, and for a delta also the size and SHA-256 of the delta file as
// shipped and of the installed file it applies to. It is a text file of
// tab-separated lines in code page 932 (docs/patch-format.md); the reader
// takes it from strangers and checks every field.
#ifndef VX_DELTA_MANIFEST_H_
#define VX_DELTA_MANIFEST_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/sha256.h"

namespace delta {

// The manifest's name in the patch folder, beside update.lst.
constexpr char kManifestFileName[] = "update.sum";

// Limits of what the reader accepts.
constexpr size_t kMaxManifestBytes = 64u << 20;
constexpr size_t kMaxManifestPath = 259;  // bytes, as a 260-byte path area holds
constexpr uint64_t kMaxFileSize = (uint64_t{1} << 62);

struct ManifestEntry {
  // Relative to the patch folder, code page 932, `\` between folders.
  std::string path;
  // The file as installed: what the copy or the delta must produce.
  uint64_t size = 0;
  platform::Sha256Digest hash{};
  // A delta: the patch folder's file is a delta against the installed file.
  bool isDelta = false;
  // The file in the patch folder (a whole file: the same as size and hash).
  uint64_t patchSize = 0;
  platform::Sha256Digest patchHash{};
  // A delta only: the installed file it applies to.
  uint64_t baseSize = 0;
  platform::Sha256Digest baseHash{};
};

class Manifest {
 public:
  // Reads a manifest from memory. False, with *error saying where and what,
  // for anything malformed; the manifest is then empty.
  bool Parse(const char* data, size_t size, std::string* error);

  // Reads the manifest file at path (code page 932) through the platform
  // layer. False when it can't be opened or read, is larger than
  // kMaxManifestBytes, or is malformed.
  bool Load(const char* path, std::string* error);

  // The entry whose path equals relativePath without regard to ASCII case,
  // `/` counting as `\`, and `.` and empty folder names left out (as a
  // rule's folder part may spell them); nullptr when the manifest does not
  // list it.
  const ManifestEntry* Find(const char* relativePath) const;

  const std::vector<ManifestEntry>& entries() const { return m_entries; }

 private:
  std::vector<ManifestEntry> m_entries;
  // m_entries' indexes sorted by folded path, and those paths, for Find.
  std::vector<uint32_t> m_order;
  std::vector<std::string> m_keys;
};

// The entry for a file shipped whole: its size and hash.
ManifestEntry WholeFileEntry(const std::string& path, const void* data, size_t size);

// The entry for a delta file (header and body, as MakeDelta or MakePackDelta
// wrote it): the base and result as its header names them, and the delta's
// own size and hash. False when delta has no delta header.
bool DeltaFileEntry(const std::string& path, const std::string& delta, ManifestEntry* entry);

// The manifest text for entries, in their order. Paths must be valid
// (ValidManifestPath) and unique without regard to case.
std::string WriteManifest(const std::vector<ManifestEntry>& entries);

// True when path can stand in a manifest: 1 to kMaxManifestPath bytes, no
// control bytes, no `/` or `:`, and no empty, `.` or `..` folder names.
bool ValidManifestPath(const std::string& path);

}  // namespace delta

#endif  // VX_DELTA_MANIFEST_H_
