#include <gtest/gtest.h>

#include "ArgOpt.h"

TEST(ArgOptTest, ValuesComeFromTheFirstMatchWithEnoughArgumentsAfterIt) {
  char a0[] = "vigild", a1[] = "-f", a2[] = "x", a3[] = "y", a4[] = "-f";
  char* argv[] = {a0, a1, a2, a3, a4, nullptr};
  ArgOpt opt(5, argv);
  EXPECT_STREQ("x", opt.GetValue("-f"));
  EXPECT_STREQ("y", opt.GetValue2("-f"));
  EXPECT_STREQ("-f", opt.GetValue3("-f"));
  EXPECT_EQ(vide, opt.GetValue("-x"));
  EXPECT_EQ(1, opt.GetPosition("-f"));
  EXPECT_EQ(-1, opt.GetPosition("vigild"));  // position 0 is not an argument
  EXPECT_EQ(0, opt.IsPresent("f"));

  ArgOpt shorter(4, argv);  // vigild -f x y
  EXPECT_EQ(vide, shorter.GetValue3("-f"));
  EXPECT_EQ(vide, shorter.GetValue2("x"));
  EXPECT_STREQ("y", shorter.GetValue("x"));
  EXPECT_EQ(vide, shorter.GetValue("y"));
  ArgOpt last(2, argv);  // vigild -f
  EXPECT_STREQ("", last.GetValue("-f"));
  EXPECT_EQ(1, last.IsPresent("-f"));
  EXPECT_STREQ("-f", last[1]);
  EXPECT_EQ(nullptr, last[2]);
  EXPECT_EQ(0, ArgOpt().Length());
}
