#include <gtest/gtest.h>

#include "Platform.h"

TEST(PlatformTest, IsValidIpAcceptsWhatInetAddrAccepts) {
  EXPECT_TRUE(Platform::isValidIp("192.168.1.10"));
  for (const char* text : {"localhost", "255.255.255.255", "256.1.1.1", "1.2.3.4.5", ""}) {
    EXPECT_FALSE(Platform::isValidIp(text)) << text;
  }
  EXPECT_FALSE(Platform::isValidIp(nullptr));
}
