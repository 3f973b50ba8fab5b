#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "BuildVersion.h"
#include "StderrCapture.h"
#include "TempDir.h"
#include "TlConfigurationGlobal.h"

namespace {

class BuildVersionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TlConfigurationGlobal::DeleteInstance();
    ASSERT_EQ(0, mkdir(dir.Join("work").c_str(), 0700));
    TlConfigurationGlobal::Instance()->AtGlobalPut("GLOBAL.ROOT_DIRECTORY", dir.path());
    saved = get_current_dir_name();
    ASSERT_EQ(0, chdir(dir.Join("work").c_str()));
  }
  void TearDown() override {
    EXPECT_EQ(0, chdir(saved));
    free(saved);
    setForcedVersion(nullptr);
    TlConfigurationGlobal::DeleteInstance();
  }

  static std::string Component() {
    std::string out;
    getComponentBuildString(out);
    return out;
  }
  static std::string Display() {
    StdoutCapture capture;
    EXPECT_EQ(0, displayVersionString());
    return capture.Stop();
  }

  // The root directory, with the working directory "work" below it.
  TempDir dir;
  char* saved = nullptr;
};

TEST_F(BuildVersionTest, VersionBlockComesFromFileUnderRootDirectory) {
  dir.WriteFile("version", "5.2.1 patch 3\r\nnightly\n");
  std::string path, version, comment;
  ASSERT_TRUE(whichVersionFile(path));
  EXPECT_EQ(dir.path() + "/version", path);
  EXPECT_TRUE(getBuildVersionString(version, false));
  EXPECT_EQ("5.2.1 patch 3", version);
  EXPECT_TRUE(getBuildCommentString(comment, false));
  EXPECT_EQ("nightly", comment);

  const std::string release = Component();
  EXPECT_EQ(".89.1", release.substr(release.size() - 5));
  setForcedVersion("7.0");
  EXPECT_EQ("App 7.0; Lib " + release, Component());

  getBuildCommentString(comment, true);
  EXPECT_EQ(0u, comment.rfind("nightly ", 0));
  const std::string head = "Version:  5.2.1 patch 3 SunOS.sparc (App 7.0; Lib " + release +
                           " build)\nComment:  " + comment + "\nCompiled: ";
  const std::string text = Display();
  EXPECT_EQ(head, text.substr(0, head.size()));
  EXPECT_NE(std::string::npos, text.find(" on ", head.size()));
  EXPECT_NE(std::string::npos, text.find(" by ", head.size()));

  dir.WriteFile("version", std::string(600, 'x') + "\n");
  getBuildVersionString(version, false);
  EXPECT_EQ(std::string(511, 'x'), version);
}

TEST_F(BuildVersionTest, RelativeCandidatesInOrderThenOnlyTheStamp) {
  ASSERT_EQ(0, mkdir(dir.Join("root").c_str(), 0700));
  TlConfigurationGlobal::Instance()->AtGlobalPut("GLOBAL.ROOT_DIRECTORY", dir.Join("root"));
  dir.WriteFile("version", "parent\n");
  dir.WriteFile("work/version", "here\n");
  std::string path, version = "stale", comment;
  ASSERT_TRUE(whichVersionFile(path));
  EXPECT_EQ("../version", path);
  ASSERT_EQ(0, std::remove(dir.Join("version").c_str()));
  ASSERT_TRUE(whichVersionFile(path));
  EXPECT_EQ("./version", path);
  ASSERT_EQ(0, std::remove(dir.Join("work/version").c_str()));
  EXPECT_FALSE(whichVersionFile(path));
  EXPECT_EQ("./version", path);

  EXPECT_FALSE(getBuildVersionString(version, false));
  EXPECT_EQ("", version);
  EXPECT_TRUE(getBuildVersionString(version, true));
  EXPECT_EQ("SunOS.sparc (" + Component() + " build)", version);
  EXPECT_TRUE(getBuildCommentString(comment, false));
  EXPECT_EQ("N/A", comment);
  getBuildCommentString(comment, true);
  EXPECT_EQ(0u, comment.rfind("N/A ", 0));
  EXPECT_GT(comment.size(), 4u);
  EXPECT_EQ(0u, Display().rfind("Version:  " + version + "\nComment:  " + comment + "\n", 0));
}

}  // namespace
