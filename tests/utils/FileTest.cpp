#include "Directory.h"
#include "File.h"
#include "TestCommon.h"

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

TEST(DirectoryTest, CheckPathCreatesEveryMissingLevelAndGetFilesListsOnlyRegularFiles) {
  TempDir tmp;
  EXPECT_TRUE(Directory(tmp.Join("a/b//c/")).CheckPath());
  EXPECT_TRUE(File(tmp.Join("a/b/c")).IsDirectory());
  tmp.WriteFile("a/f.log", "1");
  std::list<std::string> names = {"kept"};
  EXPECT_TRUE(Directory(tmp.Join("a")).GetFiles(names, 0));
  EXPECT_EQ((std::list<std::string>{"kept", "f.log"}), names);
  EXPECT_FALSE(Directory(tmp.Join("missing")).GetFiles(names, 1));
  EXPECT_EQ(2u, names.size());
  EXPECT_FALSE(Directory(tmp.Join("a/f.log/sub")).CheckPath());
}
