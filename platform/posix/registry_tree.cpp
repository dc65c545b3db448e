#include "platform/posix/registry_tree.h"

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

RegValue* RegNode::FindValue(std::string_view name) {
  auto it = valueIndex_.find(FoldName(name));
  return it == valueIndex_.end() ? nullptr : &*it->second;
}

const RegValue* RegNode::FindValue(std::string_view name) const {
  auto it = valueIndex_.find(FoldName(name));
  return it == valueIndex_.end() ? nullptr : &*it->second;
}

void RegNode::SetValue(std::string_view name, uint32_t type, std::string data) {
  auto [it, added] = valueIndex_.try_emplace(FoldName(name));
  if (added) it->second = values_.insert(values_.end(), RegValue{std::string(name), 0, {}});
  it->second->type = type;
  it->second->data = std::move(data);
}

bool RegNode::RemoveValue(std::string_view name) {
  auto it = valueIndex_.find(FoldName(name));
  if (it == valueIndex_.end()) return false;
  values_.erase(it->second);
  valueIndex_.erase(it);
  return true;
}

std::shared_ptr<RegNode> RegNode::FindChild(std::string_view name) const {
  auto it = children_.find(FoldName(name));
  return it == children_.end() ? nullptr : it->second;
}

RegNode* RegNode::AddChild(std::string name) {
  std::string key = FoldName(name);
  auto node = std::make_shared<RegNode>(std::move(name), depth_ + 1);
  RegNode* raw = node.get();
  // A file lists keys in name order, so a new key usually sorts last and the
  // index stays valid.
  bool last = children_.empty() || children_.rbegin()->first < key;
  children_.emplace_hint(children_.end(), std::move(key), std::move(node));
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

}  // namespace platform::posix
