// patchtool's checks of a patch folder's manifest: every file it lists is
// there with its size and SHA-256, the files the rules copy are listed, and,
// against an installation, every delta applies to the file it would meet.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/copy_run.h"
#include "delta/apply.h"
#include "delta/manifest.h"
#include "platform/fs.h"
#include "tools/patchtool/contents.h"
#include "tools/patchtool/patchtool.h"

namespace patchtool {
namespace {

bool ManifestPresent() {
  platform::FoundEntry entry;
  platform::SearchHandle search = platform::StartSearch(delta::kManifestFileName, &entry);
  if (search == nullptr) return false;
  platform::EndSearch(search);
  return (entry.m_attributes & platform::kAttributeDirectory) == 0;
}

Finding Fault(Severity severity, const std::string& code, const std::string& text,
              const std::string& path) {
  return {severity, code, text, path, delta::kManifestFileName, 0};
}

}  // namespace

bool LoadManifest(delta::Manifest* manifest, bool* present, std::vector<Finding>* findings) {
  *present = ManifestPresent();
  if (!*present) return false;
  std::string error;
  if (manifest->Load(delta::kManifestFileName, &error)) return true;
  findings->push_back(Fault(Severity::kError, "manifest-malformed",
                            error + ": the installer fails every file of the patch as damaged",
                            ""));
  return false;
}

void CheckManifestFiles(const delta::Manifest& manifest,
                        const std::map<std::string, std::string>& copied,
                        std::vector<Finding>* findings) {
  std::set<std::string> listed;
  for (const delta::ManifestEntry& e : manifest.entries()) {
    listed.insert(FoldCase(e.path));
    uint64_t size = 0;
    platform::Sha256Digest digest{};
    if (!HashFile(e.path, &size, &digest)) {
      findings->push_back(Fault(Severity::kError, "manifest-missing",
                                e.path + ": listed in the manifest, but missing or unreadable",
                                e.path));
    } else if (size != e.patchSize || digest != e.patchHash) {
      findings->push_back(
          Fault(Severity::kError, "manifest-damaged",
                e.path + ": " +
                    (size != e.patchSize ? std::to_string(size) + " bytes, the manifest says " +
                                               std::to_string(e.patchSize)
                                         : std::string("its SHA-256 is not the manifest's")) +
                    ": players are told the copy failed",
                e.path));
    } else if (copied.count(FoldCase(e.path)) == 0) {
      findings->push_back(Fault(Severity::kWarning, "not-copied",
                                e.path + ": listed in the manifest, but copied by no rule",
                                e.path));
    }
  }
  for (const auto& [folded, path] : copied) {
    if (listed.count(folded) == 0) {
      findings->push_back(Fault(Severity::kWarning, "not-in-manifest",
                                path + ": copied, but not listed in the manifest: copied unchecked",
                                path));
    }
  }
}

void CheckDeltasApply(const delta::Manifest& manifest, const std::string& installFolder,
                      std::vector<Finding>* findings) {
  std::set<std::string> tried;
  ForEachMatchedFile(installFolder.c_str(), [&](MatchedFile& file) {
    const delta::ManifestEntry* e = manifest.Find(file.m_wholePath.c_str());
    if (e == nullptr || !e->isDelta) return true;
    std::string base = file.m_destinationFolder->GetBuffer();
    if (!base.empty() && base.back() == '\\') base.pop_back();
    base += "\\" + file.m_wholePath;
    if (!tried.insert(FoldCase(base)).second) return true;
    delta::NullOutput discard;
    delta::ApplyResult result =
        delta::ApplyDeltaFiles(file.m_wholePath.c_str(), base.c_str(), &discard, e);
    if (result != delta::ApplyResult::kApplied) {
      findings->push_back(Fault(Severity::kError, "delta-fails",
                                file.m_wholePath + ": the delta does not apply to OLD's file: " +
                                    delta::ApplyResultText(result),
                                file.m_wholePath));
    }
    return true;
  });
}

}  // namespace patchtool
