#include "app/checked_copy.h"

#include <memory>

#include "delta/apply.h"
#include "delta/streams.h"
#include "platform/fs.h"

namespace {

// The copy's own temporary file, as a delta's output.
class SinkOutput : public delta::Output {
 public:
  explicit SinkOutput(platform::CopySink* sink) : m_sink(sink) {}
  bool Write(const void* data, uint32_t count) override { return m_sink->Write(data, count); }

 private:
  platform::CopySink* m_sink;
};

// A listed file's contents: the patch's file itself, hashed as written, or
// a delta applied to the installed file. Either is complete only when it
// has the manifest's size and SHA-256.
class CheckedContents : public platform::CopyContents {
 public:
  CheckedContents(const delta::ManifestEntry& entry, const char* destination)
      : m_entry(entry), m_destination(destination) {}

  // A whole file is copied as it stands and checked as written.
  bool Unchanged() const override { return !m_entry.isDelta; }

  bool Produce(platform::FileHandle source, platform::CopySink* out) override {
    // The installed file is read, shared, while the result is written
    // beside it; the delta checks it whole before writing anything.
    SinkOutput sink(out);
    delta::FileInput input(source);
    platform::File base(platform::OpenExisting(m_destination, platform::Share::kRead));
    uint64_t size = 0;
    if (!base || !platform::FileSize(base.get(), &size)) return false;
    delta::FileBase installed(base.get(), size);
    return delta::ApplyDelta(&input, &installed, &sink, &m_entry) == delta::ApplyResult::kApplied;
  }

  bool Check(platform::FileHandle written) override {
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kChunk]);
    platform::Sha256 hash;
    uint64_t count = 0;
    for (;;) {
      uint32_t got = 0;
      if (!platform::ReadBytes(written, buffer.get(), kChunk, &got)) return false;
      if (got == 0) break;
      // A file longer than recorded is damaged: no need to read the rest.
      count += got;
      if (count > m_entry.size) return false;
      hash.Update(buffer.get(), got);
    }
    return count == m_entry.size && hash.Finish() == m_entry.hash;
  }

 private:
  static constexpr uint32_t kChunk = 1u << 20;
  const delta::ManifestEntry& m_entry;
  const char* m_destination;
};

bool ManifestThere() {
  platform::FoundEntry entry;
  platform::SearchHandle search = platform::StartSearch(delta::kManifestFileName, &entry);
  if (search == nullptr) return false;
  platform::EndSearch(search);
  return true;
}

}  // namespace

void PatchManifest::Load() {
  m_present = ManifestThere();
  std::string error;
  m_broken = m_present && !m_manifest.Load(delta::kManifestFileName, &error);
}

bool PatchManifest::Copy(const char* relativePath, const char* source, const char* destination,
                         platform::FileHandle openSource) const {
  const delta::ManifestEntry* entry = m_present ? m_manifest.Find(relativePath) : nullptr;
  if (entry == nullptr) return platform::CopyOver(source, destination, openSource);
  CheckedContents contents(*entry, destination);
  return platform::CopyOver(source, destination, openSource, &contents);
}
