// A whole pack from the input: opened, and every entry (and a few other
// names) opened and read in pieces, and loaded with LoadFile. Reads must
// never pass GetSize, and every handle opened must be closed again by the
// end of the input. Run with -malloc_limit_mb: an allocation that the input
// can't back is a finding.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fileaccess/fpk.h"
#include "fileaccess/pack_format.h"
#include "platform/testing/handle_count.h"
#include "text/vx_string.h"

namespace {

// Entries are read up to this many pieces and bytes: a header may claim up
// to 2 GiB.
constexpr int kMaxPieces = 64;
constexpr int64_t kMaxBytes = 64 << 10;
// LoadFile reads an entry whole: only entries up to this size, so that the
// runs stay quick (an Rle0 entry may be 2 GiB of zeros).
constexpr int32_t kMaxLoad = 256 << 10;

const std::string& PackPath() {
  // In memory where the system has such a folder: a file is written per input.
  static const std::string folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  static const std::string path = folder + "/vx_pack_fuzz_" + std::to_string(getpid()) + ".pack";
  return path;
}

void ReadEntry(CFPK& fpk, int32_t piece) {
  // One buffer for all runs: a fresh large one each time costs page faults.
  static std::vector<char> buffer(200000);
  int64_t size = fpk.GetSize();
  int64_t total = 0;
  for (int pieces = 0; pieces < kMaxPieces && total < kMaxBytes; ++pieces) {
    int32_t n = fpk.Read(buffer.data(), piece);
    if (n < 0 || n > piece) __builtin_trap();
    if (n == 0) break;
    total += n;
    if (total > size) __builtin_trap();  // never past the entry's end
  }
}

void ReadPack(const std::string& path) {
  CFPK fpk;
  if (!fpk.OpenPack(path.c_str())) return;
  pack::Index index;
  platform::File handle(platform::OpenExisting(path.c_str(), platform::Share::kRead));
  if (!handle || !pack::ReadIndex(handle.get(), &index)) __builtin_trap();  // OpenPack read it
  handle.Reset();
  std::vector<std::string> names = {"update.lst"};
  for (int32_t i = 0; i < index.count && i < 4; ++i) {
    names.emplace_back(index.records[i].name, strnlen(index.records[i].name, 24));
  }
  int32_t pieces[] = {1, 7, 4096, 65529, 200000};
  for (size_t i = 0; i < names.size(); ++i) {
    if (!fpk.OpenFile(names[i].c_str())) continue;
    int32_t size = fpk.GetSize();
    ReadEntry(fpk, pieces[i % 5]);
    if (size >= 0 && size <= kMaxLoad) {
      CVxString text;
      if (text.LoadFile(names[i].c_str(), path.c_str()) && text.GetLength() > size)
        __builtin_trap();
    }
  }
  fpk.CloseFile();
  fpk.ClosePack();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::FILE* file = std::fopen(PackPath().c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  const int handles = platform::OpenHandleCount();
  ReadPack(PackPath());
  if (platform::OpenHandleCount() != handles) __builtin_trap();  // a handle leaked
  return 0;
}
