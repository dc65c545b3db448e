// Copies checked against the patch's manifest (update.sum, beside
// update.lst): a listed file is hashed as it is written, a listed delta is
// applied to the installed file, and either is put in place only when it
// has the size and SHA-256 the manifest records. A patch folder without a
// manifest, and a file it does not list, are copied as they stand.
#ifndef VX_APP_CHECKED_COPY_H_
#define VX_APP_CHECKED_COPY_H_

#include "delta/manifest.h"
#include "platform/file.h"

class PatchManifest {
 public:
  // Reads the manifest of the current directory (the patch folder). None
  // there: every file is copied as it stands. One that can't be read or is
  // malformed: the download is damaged, and every file fails.
  void Load();

  // True when the manifest is there but can't be read or is malformed:
  // every file fails, and nothing is copied.
  bool Refuses() const { return m_broken; }

  // Copies source over destination as platform::CopyOver does, checked as
  // the manifest says for relativePath (as the run names the file, relative
  // to both folders). False when the copy fails, the file is damaged, or a
  // delta's installed file is not the one it was made from; nothing is then
  // written. Takes over openSource. Not for a manifest that Refuses().
  bool Copy(const char* relativePath, const char* source, const char* destination,
            platform::FileHandle openSource) const;

 private:
  bool m_present = false;
  bool m_broken = false;
  delta::Manifest m_manifest;
};

#endif  // VX_APP_CHECKED_COPY_H_
