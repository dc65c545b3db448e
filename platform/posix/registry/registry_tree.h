// The registry in memory on Linux: a tree of keys, each with its values and
// sub-keys. Every name and every datum is code page 932 bytes, as the
// registry calls hand them; names compare without regard to ASCII case. The
// readers of registry files build such a tree, and the store works on it.
// Finding, adding and removing a value or a sub-key cost about the same
// whatever the number of its siblings.
#ifndef VX_PLATFORM_POSIX_REGISTRY_REGISTRY_TREE_H_
#define VX_PLATFORM_POSIX_REGISTRY_REGISTRY_TREE_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::posix {

struct RegValue {
  std::string name;  // empty: the default value
  uint32_t type = 0;
  std::string data;  // the bytes the registry calls see (strings in code page 932)
};

// A name as it compares: ASCII letters in capitals, a double-byte character
// as it is. Two names are equal without regard to case when their folded
// forms are equal, and the folded forms sort as the registry sorts names.
std::string FoldName(std::string_view name);

class RegNode {
 public:
  RegNode(std::string name, int depth) : name_(std::move(name)), depth_(depth) {}
  RegNode(const RegNode&) = delete;
  RegNode& operator=(const RegNode&) = delete;

  const std::string& name() const { return name_; }
  int depth() const { return depth_; }  // 0 for a root

  // Set when the key was removed from its tree while a handle still held it.
  bool deleted = false;
  // Set for a key that Wine keeps as a link to another key (`#link`): its
  // value SymbolicLinkValue names the key it stands for.
  bool link = false;

  // The value of that name, or null. The pointer holds until the next
  // change to the key's values.
  RegValue* FindValue(std::string_view name);
  const RegValue* FindValue(std::string_view name) const;
  // Gives the value of that name the type and data: an existing value keeps
  // its name and place, a new one comes last.
  void SetValue(std::string_view name, uint32_t type, std::string data);
  // Removes the value of that name; false when there is none.
  bool RemoveValue(std::string_view name);
  // The values in the order they were first set.
  const std::vector<RegValue>& values() const;

  // The direct sub-key of that name, or null.
  std::shared_ptr<RegNode> FindChild(std::string_view name) const;
  // Adds a new direct sub-key (none of that name may exist) and returns it.
  RegNode* AddChild(std::string name);
  // The direct sub-key of that name; when there is none, a new one if add
  // is set, else null.
  RegNode* FindOrAddChild(std::string_view name, bool add);
  // Takes the sub-key of that name, with everything below it, out of the
  // tree and returns it; null when there is none.
  std::shared_ptr<RegNode> RemoveChild(std::string_view name);
  // Puts back a sub-key that RemoveChild took out of this key.
  void RestoreChild(std::shared_ptr<RegNode> child);

  size_t ChildCount() const { return children_.size(); }
  // The sub-key at index in name order (index < ChildCount()).
  const RegNode& ChildAt(size_t index) const;
  // The sub-keys in name order, by folded name.
  const std::map<std::string, std::shared_ptr<RegNode>>& children() const { return children_; }

 private:
  std::string name_;
  int depth_;
  // The place of the value of that name in values_, or kNone.
  size_t Find(std::string_view name) const;
  // The slot of the value of that name in slots_, or of the empty slot
  // where it would go; *found tells which.
  size_t Probe(std::string_view name, bool* found) const;
  // Drops removed values and builds slots_ anew, with room to grow.
  void Rebuild() const;

  // The values, and once there are more than kFewValues of them an
  // open-addressing index into them by folded name: each slot holds a place
  // in values_ plus one, 0 when empty, or kGone. With an index, a removed
  // value stays in values_ until the index is next rebuilt (when it fills
  // up, or when values() looks), so removals cost no more than additions.
  static constexpr size_t kFewValues = 8;
  static constexpr size_t kNone = ~size_t{0};
  static constexpr uint32_t kGone = 0xFFFFFFFF;
  mutable std::vector<RegValue> values_;
  mutable std::vector<uint32_t> slots_;
  mutable size_t used_ = 0;     // slots not empty
  mutable size_t removed_ = 0;  // values in values_ no longer in the index
  std::map<std::string, std::shared_ptr<RegNode>> children_;
  // children_ by index, built when first asked for after a change.
  mutable std::vector<const RegNode*> order_;
  mutable bool orderValid_ = true;
};

// The roots a tree holds. Only HKEY_CURRENT_USER and HKEY_USERS can be
// opened; keys under the others are kept as they were.
constexpr int kRegRootCount = 5;
extern const char* const kRegRootNames[kRegRootCount];
constexpr int kRegRootCurrentUser = 1;
constexpr int kRegRootUsers = 3;

// The deepest a key may lie below its root, as on Windows.
constexpr int kRegMaxDepth = 512;

// How a registry file's text was stored, so that a rewrite keeps it.
enum class RegEncoding { kUtf8, kUtf8Bom, kUtf16le };

struct RegTree {
  std::string header = "Windows Registry Editor Version 5.00";
  RegEncoding encoding = RegEncoding::kUtf8;
  std::shared_ptr<RegNode> roots[kRegRootCount];
  RegTree();
};

// Splits a code page 932 key path at its backslashes (never at the second
// byte of a double-byte character) into *names; a null path has none.
// Trailing backslashes are ignored, as Windows does; an empty name elsewhere
// or one over 255 bytes fails.
bool SplitKeyPath(const char* path, std::vector<std::string>* names);

}  // namespace platform::posix

#endif  // VX_PLATFORM_POSIX_REGISTRY_REGISTRY_TREE_H_
