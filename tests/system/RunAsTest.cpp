#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "RunAs.h"

namespace {

TEST(RunAsTest, UserNamesAndNumbersResolveAndBadOnesAreNamed) {
  struct Case {
    const char* text;
    bool ok;
    uid_t uid;
    const char* error;
  };
  const Case kCases[] = {
      {"root", true, 0, ""},
      {"nobody", true, 65534, ""},
      {"0", true, 0, ""},
      {"65534", true, 65534, ""},
      {"424242", true, 424242, ""},  // a number needs no account
      {"no-such-user-here", false, 0, "unknown user 'no-such-user-here'"},
      {"4294967295", false, 0, "'4294967295' out of range"},
      {"99999999999999999999", false, 0, "out of range"},
      {"", false, 0, "empty"},
  };
  for (const Case& c : kCases) {
    uid_t uid = 1;
    std::string error;
    EXPECT_EQ(RunAs::ResolveUser(c.text, uid, error), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(uid, c.uid) << c.text;
    } else {
      EXPECT_NE(error.find(c.error), std::string::npos) << c.text << ": " << error;
    }
  }
}

TEST(RunAsTest, AccountsGiveTheirGroupsAndProcessesTheirRealUid) {
  RunAs nobody;
  std::string error;
  ASSERT_TRUE(RunAs::ForUid(65534, nobody, error)) << error;
  EXPECT_EQ(nobody.name, "nobody");
  EXPECT_EQ(nobody.gid, 65534u);
  EXPECT_NE(std::find(nobody.groups.begin(), nobody.groups.end(), nobody.gid), nobody.groups.end());
  RunAs none;
  EXPECT_FALSE(RunAs::ForUid(424242, none, error));
  EXPECT_NE(error.find("no account has uid 424242"), std::string::npos) << error;

  uid_t uid = 99;
  ASSERT_TRUE(RunAs::ProcessRealUid(getpid(), uid));
  EXPECT_EQ(uid, getuid());
  EXPECT_FALSE(RunAs::ProcessRealUid(0, uid));
  EXPECT_FALSE(RunAs::ProcessRealUid(0x7FFFFFF0, uid));
}

}  // namespace
