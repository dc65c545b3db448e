#include "platform/posix/registry/registry_tree.h"

#include <gtest/gtest.h>

#include <string>

namespace platform::posix {
namespace {

std::string Names(const RegNode& node) {
  std::string out;
  for (const RegValue& v : node.values()) out += v.name + "=" + v.data + " ";
  return out;
}

// The prefix followed by the number, e.g. "v12". Built by appending: GCC 12
// at -O3 takes `"v" + std::to_string(i)` for an overlapping copy (a false
// -Wrestrict), which stops the release build.
std::string Numbered(const char* prefix, int i) {
  std::string name = prefix;
  name += std::to_string(i);
  return name;
}

// A few values are searched one by one, many through the index; both keep
// the order values were first set in through changes and removals.
TEST(RegistryTree, ValuesKeepTheirOrderThroughRemovals) {
  for (int count : {6, 100}) {
    SCOPED_TRACE(count);
    RegNode node("K", 1);
    std::string expected;
    for (int i = 0; i < count; ++i) node.SetValue(Numbered("v", i), 1, "x");
    for (int i = 0; i < count; i += 3) EXPECT_TRUE(node.RemoveValue(Numbered("V", i)));
    EXPECT_FALSE(node.RemoveValue("V0"));
    node.SetValue("V1", 4, "y");  // keeps its place and its name's case
    node.SetValue("V3", 1, "z");  // removed before: comes last
    for (int i = 0; i < count; ++i) {
      if (i % 3 != 0) expected += Numbered("v", i) + (i == 1 ? "=y " : "=x ");
    }
    expected += "V3=z ";
    EXPECT_EQ(Names(node), expected);
    ASSERT_NE(node.FindValue("v3"), nullptr);
    EXPECT_EQ(node.FindValue("v3")->data, "z");
    EXPECT_EQ(node.FindValue("v6"), nullptr);
    EXPECT_EQ(node.FindValue("v1")->type, 4u);
  }
}

TEST(RegistryTree, SubKeysAreIndexedInCaseBlindOrder) {
  RegNode root("HKEY_USERS", 0);
  // A double-byte character compares whole: its second byte 0x5C or 0x41
  // never folds and never counts as a letter.
  for (const char* name : {"b", "\x95\x5C", "_", "A", "\x95\x41", "C"}) root.AddChild(name);
  std::string order;
  for (size_t i = 0; i < root.ChildCount(); ++i) order += root.ChildAt(i).name() + " ";
  EXPECT_EQ(order, "A b C _ \x95\x41 \x95\x5C ");
  auto gone = root.RemoveChild("B");
  ASSERT_NE(gone, nullptr);
  EXPECT_EQ(root.ChildAt(1).name(), "C");
  root.RestoreChild(gone);
  EXPECT_EQ(root.ChildAt(1).name(), "b");
  EXPECT_EQ(root.FindChild("\x95\x41")->name(), "\x95\x41");
  EXPECT_EQ(root.FindChild("\x95\x61"), nullptr);
}

}  // namespace
}  // namespace platform::posix
