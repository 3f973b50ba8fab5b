#include <gtest/gtest.h>

#include <string>

#include "File.h"

TEST(FileTest, SplitSeparatesDirectoryNameAndExtension) {
  const char* cases[][2] = {
      {"/a/b/t.log", "/a/b|t|log"},    {"trace", ".|trace|"},       {"/a/.profile", "/a|.profile|"},
      {"/a/b/", ".|/a/b/|"},           {"a/b.", "a|b.|"},           {"a/b.c.d", "a|b.c|d"},
      {"C:\\l\\d.log", "C:\\l|d|log"}, {"x/y\\z.txt", "x/y|z|txt"}, {"/trace.log", ".|/trace|log"}};
  for (const auto& c : cases) {
    std::string dir = "old", name = "old", ext = "old";
    File::Split(c[0], dir, name, ext);
    EXPECT_EQ(c[1], dir + "|" + name + "|" + ext) << c[0];
  }
}
