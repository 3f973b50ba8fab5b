#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <list>
#include <string>

#include "Directory.h"
#include "File.h"
#include "TempDir.h"

TEST(DirectoryTest, GetFilesListsOnlyRegularFiles) {
  TempDir tmp;
  tmp.WriteFile("a.log", "1");
  tmp.WriteFile("b.log", "2");
  ASSERT_EQ(0, mkdir(tmp.Join("sub").c_str(), 0700));
  ASSERT_EQ(0, symlink("/nonexistent", tmp.Join("dangling").c_str()));
  std::list<std::string> names = {"kept"};
  EXPECT_TRUE(Directory(tmp.path()).GetFiles(names, 0));
  names.sort();
  EXPECT_EQ((std::list<std::string>{"a.log", "b.log", "kept"}), names);
}

TEST(DirectoryTest, GetFilesOfAMissingDirectoryFailsAndLeavesTheList) {
  TempDir tmp;
  std::list<std::string> names = {"kept"};
  EXPECT_FALSE(Directory(tmp.Join("missing")).GetFiles(names, 1));
  EXPECT_EQ(std::list<std::string>{"kept"}, names);
}

TEST(DirectoryTest, CheckPathCreatesEveryMissingLevel) {
  TempDir tmp;
  EXPECT_TRUE(Directory(tmp.Join("a/b//c/")).CheckPath());
  EXPECT_TRUE(File(tmp.Join("a/b/c")).IsDirectory());
  EXPECT_TRUE(Directory(tmp.Join("a/b/c")).CheckPath());  // already there

  tmp.WriteFile("plain", "");
  EXPECT_FALSE(Directory(tmp.Join("plain/sub")).CheckPath());
  EXPECT_FALSE(File(tmp.Join("plain/sub")).Exist());
}
