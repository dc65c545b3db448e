#include "app/run_progress.h"

#include <gtest/gtest.h>

TEST(RunProgress, HeadCountsFilesAndBytes) {
  EXPECT_EQ(FormatProgressHead(0, 3, 0), "0/3 files, 0 B, ");
  EXPECT_EQ(FormatProgressHead(12, 340, 1536), "12/340 files, 1.5 KiB, ");
  EXPECT_EQ(FormatProgressHead(7, 0, uint64_t{5} << 30), "7 files, 5.0 GiB, ");
  // More files done than were counted (the patch folder grew meanwhile).
  EXPECT_EQ(FormatProgressHead(5, 4, 1023), "5/5 files, 1023 B, ");
}
