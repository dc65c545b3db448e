// Costs of the Linux registry file: reading a file of 40,000 values in one
// key and one of 20,000 keys (opening a key from the root reads the file
// whole), and writing one value back into the 40,000-value file.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/registry.h"

namespace {

namespace fs = std::filesystem;
using platform::RegKey;

// A registry file with `keys` keys below Software\Vendor, each with
// `values` string values; every tenth text holds a double-byte character
// (表, E8 A1 A8 in UTF-8), as an install folder with a Japanese name does.
std::string MakeFile(int keys, int values) {
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
  char line[128];
  for (int k = 0; k < keys; ++k) {
    std::snprintf(line, sizeof(line), "[HKEY_CURRENT_USER\\Software\\Vendor\\Game%05d]\r\n", k);
    text += line;
    for (int v = 0; v < values; ++v) {
      std::snprintf(line, sizeof(line), "\"Value%05d\"=\"C:\\\\Games\\\\%s%05d\"\r\n", v,
                    v % 10 == 0 ? "\xE8\xA1\xA8" : "Game", v);
      text += line;
    }
    text += "\r\n";
  }
  return text;
}

// Opens the key and reads one value, each time from a file not read yet:
// the registry file named alternates between two copies of the text.
void ReadThroughStore(benchmark::State& state, const std::string& text, const char* key,
                      const char* value) {
  const fs::path dir = fs::temp_directory_path() / "vx-registry-bench";
  fs::create_directories(dir);
  const std::string files[2] = {(dir / "a.reg").string(), (dir / "b.reg").string()};
  for (const std::string& file : files) std::ofstream(file, std::ios::binary) << text;
  int turn = 0;
  for (auto _ : state) {
    ::setenv("VXUPDATE_REGISTRY", files[turn ^= 1].c_str(), 1);
    RegKey k = nullptr;
    char data[64];
    uint32_t size = sizeof(data);
    bool ok =
        platform::RegistryOpen(platform::kRegCurrentUser, key, platform::RegAccess::kRead, &k) &&
        platform::RegistryQueryValue(k, value, nullptr, data, &size);
    platform::RegistryClose(k);
    if (!ok) {
      state.SkipWithError("the value was not read");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
  ::unsetenv("VXUPDATE_REGISTRY");
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

void BM_ReadOneKeyOf40kValues(benchmark::State& state) {
  ReadThroughStore(state, MakeFile(1, 40000), "Software\\Vendor\\Game00000", "Value39999");
}
BENCHMARK(BM_ReadOneKeyOf40kValues)->Unit(benchmark::kMillisecond);

void BM_Read20kKeys(benchmark::State& state) {
  ReadThroughStore(state, MakeFile(20000, 1), "Software\\Vendor\\Game19999", "Value00000");
}
BENCHMARK(BM_Read20kKeys)->Unit(benchmark::kMillisecond);

// One value set in the 40,000-value key: the whole file is written anew
// (temporary file, fsync, rename) under the writers' lock.
void BM_WriteOneValueOf40k(benchmark::State& state) {
  const fs::path dir = fs::temp_directory_path() / "vx-registry-bench";
  fs::create_directories(dir);
  const std::string file = (dir / "w.reg").string();
  const std::string text = MakeFile(1, 40000);
  std::ofstream(file, std::ios::binary) << text;
  ::setenv("VXUPDATE_REGISTRY", file.c_str(), 1);
  RegKey k = nullptr;
  if (!platform::RegistryOpen(platform::kRegCurrentUser, "Software\\Vendor\\Game00000",
                              platform::RegAccess::kAll, &k)) {
    state.SkipWithError("the key did not open");
  }
  uint32_t n = 0;
  for (auto _ : state) {
    ++n;
    if (!platform::RegistrySetValue(k, "Value20000", platform::kRegTypeDword, &n, 4)) {
      state.SkipWithError("the value was not written");
      break;
    }
  }
  platform::RegistryClose(k);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
  ::unsetenv("VXUPDATE_REGISTRY");
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}
BENCHMARK(BM_WriteOneValueOf40k)->Unit(benchmark::kMillisecond);

}  // namespace
