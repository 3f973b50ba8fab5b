#include <gtest/gtest.h>

#include "BError.h"
#include "String.h"

TEST(BErrorTest, GetMsgJoinsMessageAndOriginAndIgnoresAddedLines) {
  BError full("ListenPort::Initialize", "bind failed");
  EXPECT_EQ(1, full.AddErrorLine(3, "vigild::main"));
  EXPECT_EQ(1, full.AddErrorLine(-1, nullptr));
  BError copy;
  copy = BError(full);
  const std::pair<BError, const char*> cases[] = {
      {BError(), "BError: '',from ''"},
      {BError("main"), "BError: '',from 'main'"},
      {BError(nullptr, nullptr), "BError: '',from ''"},
      {copy, "BError: 'bind failed',from 'ListenPort::Initialize'"},
  };
  for (const auto& c : cases) {
    String out("previous text");
    EXPECT_STREQ(c.second, c.first.GetMsg(out));
    EXPECT_STREQ(c.second, static_cast<const char*>(out));
  }
}
