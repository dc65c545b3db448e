// The Linux registry file: a tree of keys and values read from, and written
// back to, UTF-8 text in the registry editor's export format. Inside the tree
// every name and string is code page 932, as the registry calls hand them.
#ifndef VX_PLATFORM_POSIX_REGISTRY_FILE_H_
#define VX_PLATFORM_POSIX_REGISTRY_FILE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform::posix {

struct RegValue {
  std::string name;  // empty: the default value
  uint32_t type = 0;
  std::string data;  // the bytes the registry calls see (strings in code page 932)
};

struct RegNode {
  std::string name;
  std::vector<RegValue> values;                    // in the order they were set
  std::vector<std::shared_ptr<RegNode>> children;  // sorted by name, case-blind
  int depth = 0;                                   // 0 for a root
  bool deleted = false;  // removed from the tree while a handle still held it

  // The value or direct sub-key of that name (case-blind), or null.
  RegValue* FindValue(std::string_view n);
  RegNode* FindChild(std::string_view n);
  // Inserts a new sub-key in sorted place and returns it.
  RegNode* AddChild(std::string n);
};

// The roots a file may hold. Only HKEY_CURRENT_USER and HKEY_USERS can be
// opened; keys under the others are kept as they were.
constexpr int kRegRootCount = 5;
extern const char* const kRegRootNames[kRegRootCount];
constexpr int kRegRootCurrentUser = 1;
constexpr int kRegRootUsers = 3;

// The deepest a key may lie below its root, as on Windows.
constexpr int kRegMaxDepth = 512;

struct RegTree {
  std::string header = "Windows Registry Editor Version 5.00";
  std::shared_ptr<RegNode> roots[kRegRootCount];
  RegTree();
};

// Reads the file's text into *tree. False when the text is not a registry
// file this store can keep: no header line, a line it doesn't know, a bad
// escape or hex list, a name or text that does not convert to code page 932,
// a key name over 255 bytes or deeper than kRegMaxDepth, `[-...]` removals.
bool ParseRegistryFile(std::string_view text, RegTree* tree);

// The file's text for the tree (header, blank line, one section per key,
// CRLF line ends). False when a name or string does not convert to UTF-8.
bool FormatRegistryFile(const RegTree& tree, std::string* text);

// Text conversions of string values: code page 932 <-> UTF-16LE bytes.
bool Cp932ToUtf16le(std::string_view in, std::string* out);
bool Utf16leToCp932(std::string_view in, std::string* out);

}  // namespace platform::posix

#endif  // VX_PLATFORM_POSIX_REGISTRY_FILE_H_
