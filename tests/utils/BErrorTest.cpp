#include <gtest/gtest.h>

#include "BError.h"
#include "String.h"

TEST(BErrorTest, GetMsgJoinsMessageAndOriginAndIgnoresAddedLines) {
  BError error("ListenPort::Initialize", "bind failed");
  EXPECT_EQ(1, error.AddErrorLine(3, "vigild::main"));
  EXPECT_EQ(1, error.AddErrorLine(-1, nullptr));
  String out("previous text");
  EXPECT_STREQ("BError: 'bind failed',from 'ListenPort::Initialize'", BError(error).GetMsg(out));
  EXPECT_STREQ("BError: 'bind failed',from 'ListenPort::Initialize'", out);
  EXPECT_STREQ("BError: '',from ''", BError(nullptr, nullptr).GetMsg(out));
}
