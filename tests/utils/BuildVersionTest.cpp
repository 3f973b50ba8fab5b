#include <sys/utsname.h>

#include "BuildVersion.h"
#include "StderrCapture.h"
#include "TlConfigurationGlobal.h"

namespace {

TEST(BuildVersionTest, VersionFileIsSearchedInOrderAndShapesTheStrings) {
  TempDir dir;
  ASSERT_EQ(0, mkdir(dir.Join("work").c_str(), 0700));
  ASSERT_EQ(0, mkdir(dir.Join("root").c_str(), 0700));
  TlConfigurationGlobal::Instance()->AtGlobalPut("GLOBAL.ROOT_DIRECTORY", dir.Join("root"));
  const std::filesystem::path saved = std::filesystem::current_path();
  ASSERT_EQ(0, chdir(dir.Join("work").c_str()));
  dir.WriteFile("root/version", "5.2.1 patch 3\r\nnightly\n");
  dir.WriteFile("version", "parent\n");
  dir.WriteFile("work/version", "here\n");
  std::string path, version, comment, release;
  getComponentBuildString(release);
  EXPECT_EQ(".89.1", release.substr(release.size() - 5));
  setForcedVersion("7.0");
  EXPECT_TRUE(getBuildVersionString(version, true));
  struct utsname names;
  ASSERT_EQ(0, uname(&names));
  const std::string platform = std::string(names.sysname) + "." + names.machine;
  EXPECT_EQ("5.2.1 patch 3 " + platform + " (App 7.0; Lib " + release + " build)", version);
  getBuildCommentString(comment, true);
  EXPECT_EQ(0u, comment.rfind("nightly ", 0));
  StdoutCapture capture;
  EXPECT_EQ(0, displayVersionString());
  EXPECT_EQ(0u, capture.Stop().rfind(
                    "Version:  " + version + "\nComment:  " + comment + "\nCompiled: ", 0));
  for (const char* expected : {"", "../version", "./version"}) {
    ASSERT_TRUE(whichVersionFile(path));
    EXPECT_EQ(*expected ? std::string(expected) : dir.Join("root/version"), path);
    ASSERT_EQ(0, std::remove(path.c_str()));
  }
  EXPECT_FALSE(whichVersionFile(path));
  EXPECT_FALSE(getBuildVersionString(version, false));
  EXPECT_TRUE(getBuildCommentString(comment, false));
  EXPECT_EQ("N/A", comment);
  setForcedVersion(nullptr);
  TlConfigurationGlobal::DeleteInstance();
  std::filesystem::current_path(saved);
}

}  // namespace
