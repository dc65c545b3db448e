// Feeds arbitrary bytes to the Linux registry file's reader. Whatever it
// accepts must write back, and the written text must read back to the same
// text when written again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/posix/registry/registry_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using platform::posix::FormatRegistryFile;
  using platform::posix::ParseRegistryFile;
  using platform::posix::RegTree;
  RegTree tree;
  if (!ParseRegistryFile(std::string_view(reinterpret_cast<const char*>(data), size), &tree)) {
    return 0;
  }
  std::string first;
  if (!FormatRegistryFile(tree, &first)) __builtin_trap();
  RegTree again;
  std::string second;
  if (!ParseRegistryFile(first, &again) || !FormatRegistryFile(again, &second)) __builtin_trap();
  if (first != second) __builtin_trap();
  return 0;
}
