// Wildcard matching of names, the quick test for one `*` among them.
#include "platform/posix/files/wildcard.h"

#include <gtest/gtest.h>

namespace {

using platform::posix::WildcardMatch;

TEST(WildcardTest, OneStarMatchesStartAndEndWithoutOverlap) {
  EXPECT_TRUE(WildcardMatch("*.dat", "f00001.DAT"));
  EXPECT_TRUE(WildcardMatch("D*1.dat", "data1.dat"));
  EXPECT_TRUE(WildcardMatch("ab*ba", "abba"));
  EXPECT_FALSE(WildcardMatch("ab*ba", "aba"));  // start and end may not share a letter
  EXPECT_FALSE(WildcardMatch("*.dat", "dat"));
  EXPECT_FALSE(WildcardMatch("map*", "ma"));
  EXPECT_TRUE(WildcardMatch("*", ""));
  // Patterns the quick test leaves alone: two stars, `?`, and a trailing ".*"
  // that also matches a name without a dot.
  EXPECT_TRUE(WildcardMatch("*a*", "xAy"));
  EXPECT_TRUE(WildcardMatch("f?.d*", "f1.dat"));
  EXPECT_TRUE(WildcardMatch("readme.*", "README"));
  EXPECT_FALSE(WildcardMatch("readme.*", "readmex"));
}

}  // namespace
