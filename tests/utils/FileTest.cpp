#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "DaylightTable.h"
#include "File.h"
#include "StderrCapture.h"
#include "TempDir.h"
#include "Timestamp.h"

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

TEST(FileTest, AttributesAndModeString) {
  TempDir tmp;
  tmp.WriteFile("f", "12345");
  File file(tmp.Join("f")), missing(tmp.Join("none"));
  EXPECT_TRUE(file.IsRegular() && !file.IsDirectory() && file.Size() == 5);
  EXPECT_EQ("uid(" + std::to_string(getuid()) + ")", file.UidString());
  EXPECT_TRUE(!missing.Exist() && missing.Size() == 0);
  EXPECT_EQ("?group? ----------", missing.GidString() + " " + missing.ModeString());

  const std::pair<mode_t, const char*> modes[] = {
      {0644, "-rw-r--r--"},  {04755, "-rwsr-xr-x"}, {04644, "-rwSr--r--"},
      {02750, "-rwxr-s---"}, {02640, "-rw-r-S---"}, {0007, "-------rwx"},
  };
  for (const auto& m : modes) {
    ASSERT_EQ(0, chmod(file.Path().c_str(), m.first));
    EXPECT_EQ(m.second, File(file.Path()).ModeString()) << std::oct << m.first;
  }
  ASSERT_EQ(0, chmod(tmp.path().c_str(), 0750));
  EXPECT_EQ("drwxr-x---", File(tmp.path()).ModeString());
}

TEST(FileTest, RemoveDeletesFilesAndEmptyDirectoriesAndReportsFailures) {
  TempDir tmp;
  tmp.WriteFile("f", "x");
  EXPECT_TRUE(File(tmp.Join("f")).Remove());
  EXPECT_FALSE(File(tmp.Join("f")).Exist());
  EXPECT_TRUE(File(tmp.Join("never-there")).Remove());

  const std::string dir = tmp.Join("d");
  ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
  tmp.WriteFile("d/inner", "x");
  StderrCapture capture;
  EXPECT_FALSE(File(dir).Remove());
  EXPECT_EQ("[File::Remove] ERROR : remove directory " + dir +
                " failed!:" + std::to_string(ENOTEMPTY) + "\n",
            capture.Stop());
  ASSERT_TRUE(File(dir + "/inner").Remove());
  EXPECT_TRUE(File(dir).Remove());
  EXPECT_FALSE(File(dir).Exist());
}

TEST(FileTest, RenameMovesTheFileAndFollowsItsNewPath) {
  TempDir tmp;
  tmp.WriteFile("old", "abc");
  File file(tmp.Join("old"));
  ASSERT_TRUE(file.Rename(tmp.Join("new")));
  EXPECT_EQ(tmp.Join("new"), file.Path());
  EXPECT_FALSE(File(tmp.Join("old")).Exist());
  EXPECT_EQ(3, file.Size());

  StderrCapture capture;
  EXPECT_FALSE(file.Rename(tmp.Join("x/y")));
  EXPECT_EQ("[File::Rename] ERROR : rename " + tmp.Join("new") + "  into " + tmp.Join("x/y") +
                "  failed!:" + std::to_string(ENOENT) + "\n",
            capture.Stop());
  EXPECT_EQ(tmp.Join("new"), file.Path());
}

TEST(FileTest, MTimeStringShowsTheModificationTimeInFileListingForm) {
  setenv("TZ", "UTC0", 1);
  DaylightTable::ResetForTest();
  TempDir tmp;
  tmp.WriteFile("f", "x");
  Timestamp m;
  ASSERT_EQ(1, m.SetFromGmt(2007, 7, 1, 23, 59, 0, Timestamp::kAnyWeekday));
  const struct timeval times[2] = {{m.GMTCount(), 0}, {m.GMTCount(), 0}};
  ASSERT_EQ(0, utimes(tmp.Join("f").c_str(), times));
  EXPECT_EQ("Jul  1 2007", File(tmp.Join("f")).MTimeString());
  EXPECT_EQ("Jan 1 1970", File(tmp.Join("missing")).MTimeString());
}
