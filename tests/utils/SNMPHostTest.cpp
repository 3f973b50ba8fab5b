#include <gtest/gtest.h>

#include "SNMPHost.h"

namespace {

TEST(SNMPHostTest, DefaultsApplyUntilValuesAreSetExplicitly) {
  SNMPHost host("router");
  host.setPort(1161, false);
  host.setRCommunity("secret", false);
  EXPECT_EQ(host.getPort(), 161);
  EXPECT_DOUBLE_EQ(host.getTimeout(), 0.8);
  EXPECT_EQ(host.getTries(), 3);
  EXPECT_STREQ(host.getRCommunity(), SNMPHost::kDefaultRCommunity);
  host.setPort(1161, true);
  host.setRCommunity("secret", true);
  EXPECT_EQ(host.getPort(), 1161);
  EXPECT_STREQ(host.getRCommunity(), "secret");
  host.resetToDefault(nullptr);
  EXPECT_EQ(host.getPort(), 161);
  EXPECT_EQ(host.getSnmpVersion(), TlmSnmpVersionNotSpecified);
}

}  // namespace
