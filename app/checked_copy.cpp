#include "app/checked_copy.h"

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

  bool Examine(const void* data, uint32_t count) override {
    // A file longer than recorded is damaged: no need to read the rest.
    m_count += count;
    if (m_count > m_entry.size) {
      Passed();  // ready for another attempt
      return false;
    }
    m_hash.Update(data, count);
    return true;
  }

  bool Passed() override {
    bool passed = m_count == m_entry.size && m_hash.Finish() == m_entry.hash;
    m_count = 0;
    m_hash.Reset();
    return passed;
  }

 private:
  const delta::ManifestEntry& m_entry;
  const char* m_destination;
  uint64_t m_count = 0;
  platform::Sha256 m_hash;
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
