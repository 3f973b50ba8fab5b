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
  EXPECT_EQ(host.getSnmpVersion(), TlmSnmpVersionNotSpecified);
  EXPECT_STREQ(host.getRCommunity(), SNMPHost::kDefaultRCommunity);
  host.setPort(1161, true);
  host.setRCommunity("secret", true);
  EXPECT_EQ(host.getPort(), 1161);
  EXPECT_STREQ(host.getRCommunity(), "secret");
  host.resetToDefault(nullptr);
  EXPECT_EQ(host.getPort(), 161);
  EXPECT_STREQ(host.getCallName(), "");
}

TEST(SNMPHostTest, VersionTextsAreRecognisedOrRefused) {
  const struct {
    const char* text;
    int version;  // 0: refused, the earlier version stays
  } cases[] = {{"&V1x", 101}, {"V2c", 102}, {"V2C", 102}, {"&V2cx", 102}, {"V3", 103},
               {"&V3", 103},  {"V2", 0},    {"V1 ", 0},   {"&V2", 0},     {nullptr, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text == nullptr ? "null" : c.text);
    SNMPHost host;
    host.setSnmpVersion(TlmSnmpVersion3, true);
    EXPECT_EQ(host.setSnmpVersion(c.text, true), c.version != 0);
    EXPECT_EQ(host.getSnmpVersion(), c.version != 0 ? c.version : TlmSnmpVersion3);
  }
}

}  // namespace
