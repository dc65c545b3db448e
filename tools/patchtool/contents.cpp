// patchtool make's manifest entries and deltas.
#include "tools/patchtool/contents.h"

#include <fstream>
#include <iterator>
#include <memory>

#include "delta/make.h"
#include "platform/file.h"

namespace patchtool {
namespace {

constexpr size_t kChunk = 1 << 20;

bool HashLocal(const std::string& local, uint64_t* size, platform::Sha256Digest* digest) {
  std::ifstream in(local, std::ios::binary);
  if (!in) return false;
  std::unique_ptr<char[]> buffer(new char[kChunk]);
  platform::Sha256 hash;
  *size = 0;
  while (in) {
    in.read(buffer.get(), kChunk);
    std::streamsize got = in.gcount();
    hash.Update(buffer.get(), static_cast<size_t>(got));
    *size += static_cast<uint64_t>(got);
  }
  if (in.bad()) return false;
  *digest = hash.Finish();
  return true;
}

bool ReadLocal(const std::string& local, std::string* bytes) {
  std::ifstream in(local, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), {});
  return !in.bad();
}

}  // namespace

bool HashFile(const std::string& path, uint64_t* size, platform::Sha256Digest* digest) {
  platform::File file(platform::OpenExisting(path.c_str(), platform::Share::kRead));
  if (!file) return false;
  std::unique_ptr<char[]> buffer(new char[kChunk]);
  platform::Sha256 hash;
  *size = 0;
  for (;;) {
    uint32_t got = 0;
    if (!platform::ReadBytes(file.get(), buffer.get(), kChunk, &got)) return false;
    if (got == 0) break;
    hash.Update(buffer.get(), got);
    *size += got;
  }
  *digest = hash.Finish();
  return true;
}

bool MakeContents(const std::vector<ContentSource>& files, bool deltas, PatchContents* contents,
                  std::string* failure) {
  for (const ContentSource& f : files) {
    delta::ManifestEntry entry;
    entry.path = f.m_path;
    if (!HashLocal(f.m_new, &entry.size, &entry.hash)) {
      *failure = f.m_path + ": can't be read in NEW";
      return false;
    }
    entry.patchSize = entry.size;
    entry.patchHash = entry.hash;
    contents->m_wholeBytes += entry.size;
    if (deltas && !f.m_old.empty()) {
      std::string old;
      std::string next;
      if (!ReadLocal(f.m_old, &old) || !ReadLocal(f.m_new, &next)) {
        *failure = f.m_path + ": can't be read in OLD or NEW";
        return false;
      }
      // The maker's suffix array has 32-bit positions: a larger OLD ships whole.
      if (old.size() <= delta::kMaxMakeBase && next.size() == entry.size) {
        std::string made =
            delta::MakePackDelta(reinterpret_cast<const uint8_t*>(old.data()), old.size(),
                                 reinterpret_cast<const uint8_t*>(next.data()), next.size());
        delta::ManifestEntry deltaEntry;
        if (made.size() < next.size() && delta::DeltaFileEntry(f.m_path, made, &deltaEntry)) {
          entry = deltaEntry;
          contents->m_deltas[f.m_path] = std::move(made);
        }
      }
    }
    contents->m_shippedBytes += entry.patchSize;
    contents->m_entries.push_back(entry);
  }
  return true;
}

}  // namespace patchtool
