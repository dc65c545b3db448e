// The patch manifest reader on any bytes: it either refuses them or gives
// entries that write back to a manifest reading the same.
#include <cstdint>
#include <string>

#include "delta/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  delta::Manifest manifest;
  std::string error;
  if (!manifest.Parse(reinterpret_cast<const char*>(data), size, &error)) {
    if (error.empty() || !manifest.entries().empty()) __builtin_trap();
    return 0;
  }
  for (const delta::ManifestEntry& entry : manifest.entries()) {
    if (manifest.Find(entry.path.c_str()) != &entry) __builtin_trap();
  }
  std::string text = delta::WriteManifest(manifest.entries());
  delta::Manifest again;
  if (!again.Parse(text.data(), text.size(), &error)) __builtin_trap();
  if (delta::WriteManifest(again.entries()) != text) __builtin_trap();
  return 0;
}
