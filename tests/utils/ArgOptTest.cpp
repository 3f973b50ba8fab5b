#include <gtest/gtest.h>

#include "ArgOpt.h"

TEST(ArgOptTest, ValuesComeFromTheFirstMatchWithEnoughArgumentsAfterIt) {
  char a0[] = "vigild", a1[] = "-f", a2[] = "x", a3[] = "y", a4[] = "-f";
  char* argv[] = {a0, a1, a2, a3, a4, nullptr};
  ArgOpt opt(5, argv);
  EXPECT_STREQ("x", opt.GetValue("-f"));
  EXPECT_STREQ("-f", opt.GetValue3("-f"));
  EXPECT_EQ(vide, opt.GetValue("-x"));
  EXPECT_EQ(vide, ArgOpt(4, argv).GetValue3("-f"));  // vigild -f x y
  EXPECT_EQ(vide, ArgOpt(2, argv).GetValue("-f"));   // vigild -f
}
