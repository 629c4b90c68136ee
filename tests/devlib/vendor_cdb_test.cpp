#include "devlib/commands/vendor_cdb.h"

#include <gtest/gtest.h>

TEST(RuntimeRandom, FollowsTheRuntimeSequence) {
  RuntimeRandom random(1);
  EXPECT_EQ(random.Next(), 41);
  EXPECT_EQ(random.Next(), 18467);
  EXPECT_EQ(random.Next(), 6334);
}
