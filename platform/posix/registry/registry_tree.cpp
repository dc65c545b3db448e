#include "platform/posix/registry/registry_tree.h"

#include "platform/registry.h"
#include "platform/text.h"

namespace platform::posix {

const char* const kRegRootNames[kRegRootCount] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",
                                                  "HKEY_LOCAL_MACHINE", "HKEY_USERS",
                                                  "HKEY_CURRENT_CONFIG"};

// The same folding as CompareNoCase: comparing folded forms byte by byte
// (as unsigned) orders names as CompareNoCase does.
std::string FoldName(std::string_view name) {
  std::string out(name);
  for (size_t i = 0; i < out.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(out[i]);
    if (IsLeadByte(c) && i + 1 < out.size() && out[i + 1] != '\0') {
      ++i;  // the second byte of a double-byte character never folds
    } else if (c >= 'a' && c <= 'z') {
      out[i] = static_cast<char>(c - 0x20);
    }
  }
  return out;
}

namespace {

// The byte of name's folded form at i; *trail tracks double-byte characters
// from one call to the next, as FoldName does.
unsigned char FoldedAt(std::string_view name, size_t i, bool* trail) {
  unsigned char c = static_cast<unsigned char>(name[i]);
  if (*trail) {
    *trail = false;
    return c;
  }
  if (IsLeadByte(c) && i + 1 < name.size() && name[i + 1] != '\0') {
    *trail = true;
    return c;
  }
  return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 0x20) : c;
}

// FNV-1a of the folded form, without making it.
size_t HashFolded(std::string_view name) {
  uint64_t h = 14695981039346656037ull;
  bool trail = false;
  for (size_t i = 0; i < name.size(); ++i) h = (h ^ FoldedAt(name, i, &trail)) * 1099511628211ull;
  return static_cast<size_t>(h ^ (h >> 29));
}

bool EqualFolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  bool ta = false, tb = false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldedAt(a, i, &ta) != FoldedAt(b, i, &tb)) return false;
  }
  return true;
}

}  // namespace

size_t RegNode::Probe(std::string_view name, bool* found) const {
  size_t mask = slots_.size() - 1;
  for (size_t i = HashFolded(name) & mask;; i = (i + 1) & mask) {
    uint32_t slot = slots_[i];
    if (slot == 0 || (slot != kGone && EqualFolded(values_[slot - 1].name, name))) {
      *found = slot != 0;
      return i;
    }
  }
}

void RegNode::Rebuild() const {
  if (removed_ > 0) {
    size_t kept = 0;
    for (size_t i = 0; i < values_.size(); ++i) {
      bool found = false;
      size_t at = Probe(values_[i].name, &found);
      if (!found || slots_[at] != i + 1) continue;  // removed
      if (kept != i) values_[kept] = std::move(values_[i]);
      ++kept;
    }
    values_.resize(kept);
    removed_ = 0;
  }
  size_t size = 32;
  while (size < 4 * values_.size()) size *= 2;
  slots_.assign(size, 0);
  for (size_t i = 0; i < values_.size(); ++i) {
    bool found = false;
    slots_[Probe(values_[i].name, &found)] = static_cast<uint32_t>(i + 1);
  }
  used_ = values_.size();
}

size_t RegNode::Find(std::string_view name) const {
  if (slots_.empty()) {
    for (size_t i = 0; i < values_.size(); ++i) {
      if (EqualFolded(values_[i].name, name)) return i;
    }
    return kNone;
  }
  bool found = false;
  size_t at = Probe(name, &found);
  return found ? slots_[at] - 1 : kNone;
}

RegValue* RegNode::FindValue(std::string_view name) {
  size_t i = Find(name);
  return i == kNone ? nullptr : &values_[i];
}

const RegValue* RegNode::FindValue(std::string_view name) const {
  size_t i = Find(name);
  return i == kNone ? nullptr : &values_[i];
}

void RegNode::SetValue(std::string_view name, uint32_t type, std::string data) {
  size_t i = Find(name);
  if (i == kNone) {
    i = values_.size();
    values_.push_back(RegValue{std::string(name), 0, {}});
    if (!slots_.empty() && 2 * (used_ + 1) <= slots_.size()) {
      bool found = false;
      slots_[Probe(name, &found)] = static_cast<uint32_t>(i + 1);
      ++used_;
    } else if (values_.size() > kFewValues) {
      Rebuild();  // the index is full, or the values too many to search one by one
      i = values_.size() - 1;
    }
  }
  values_[i].type = type;
  values_[i].data = std::move(data);
}

bool RegNode::RemoveValue(std::string_view name) {
  size_t i = Find(name);
  if (i == kNone) return false;
  if (slots_.empty()) {
    values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(i));
    return true;
  }
  bool found = false;
  slots_[Probe(name, &found)] = kGone;
  values_[i].data = std::string();
  ++removed_;
  return true;
}

const std::vector<RegValue>& RegNode::values() const {
  if (removed_ > 0) Rebuild();
  return values_;
}

std::shared_ptr<RegNode> RegNode::FindChild(std::string_view name) const {
  auto it = children_.find(FoldName(name));
  return it == children_.end() ? nullptr : it->second;
}

RegNode* RegNode::AddChild(std::string name) { return FindOrAddChild(name, true); }

RegNode* RegNode::FindOrAddChild(std::string_view name, bool add) {
  std::string key = FoldName(name);
  // A file lists keys in name order, so a new key usually sorts last: then
  // there is nothing to look up, and the index stays valid.
  auto at = children_.end();
  if (!children_.empty() && !(children_.rbegin()->first < key)) {
    at = children_.lower_bound(key);
    if (at != children_.end() && at->first == key) return at->second.get();
  }
  if (!add) return nullptr;
  bool last = at == children_.end();
  auto node = std::make_shared<RegNode>(std::string(name), depth_ + 1);
  RegNode* raw = node.get();
  children_.emplace_hint(at, std::move(key), std::move(node));
  if (last && orderValid_) {
    order_.push_back(raw);
  } else {
    orderValid_ = false;
  }
  return raw;
}

std::shared_ptr<RegNode> RegNode::RemoveChild(std::string_view name) {
  auto it = children_.find(FoldName(name));
  if (it == children_.end()) return nullptr;
  std::shared_ptr<RegNode> gone = std::move(it->second);
  children_.erase(it);
  orderValid_ = false;
  return gone;
}

void RegNode::RestoreChild(std::shared_ptr<RegNode> child) {
  std::string key = FoldName(child->name());
  children_.emplace(std::move(key), std::move(child));
  orderValid_ = false;
}

const RegNode& RegNode::ChildAt(size_t index) const {
  if (!orderValid_) {
    order_.clear();
    order_.reserve(children_.size());
    for (const auto& entry : children_) order_.push_back(entry.second.get());
    orderValid_ = true;
  }
  return *order_[index];
}

RegTree::RegTree() {
  for (int i = 0; i < kRegRootCount; ++i) {
    roots[i] = std::make_shared<RegNode>(kRegRootNames[i], 0);
  }
}

// Splits a code page 932 key path at its backslashes (never at the second
// byte of a double-byte character). Trailing backslashes are ignored, as
// Windows does; an empty or over-long name elsewhere fails.
bool SplitKeyPath(const char* path, std::vector<std::string>* names) {
  names->clear();
  if (path == nullptr) return true;
  std::string name;
  const char* p = path;
  for (; *p != '\0'; ++p) {
    if (*p == '\\') {
      if (name.empty()) break;
      names->push_back(std::move(name));
      name.clear();
      continue;
    }
    name.push_back(*p);
    if (IsLeadByte(static_cast<unsigned char>(*p)) && p[1] != '\0') name.push_back(*++p);
  }
  if (*p == '\\') {
    while (*p == '\\') ++p;  // only trailing backslashes may follow
    if (*p != '\0') return false;
  }
  if (!name.empty()) names->push_back(std::move(name));
  for (const std::string& n : *names) {
    if (n.size() > kRegMaxKeyName) return false;
  }
  return true;
}

}  // namespace platform::posix
