#include <gtest/gtest.h>

#include <list>
#include <string>

#include "Directory.h"
#include "File.h"
#include "TempDir.h"

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
