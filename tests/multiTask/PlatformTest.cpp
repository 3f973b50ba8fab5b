#include <gtest/gtest.h>

#include <cstring>

#include "Platform.h"

TEST(PlatformTest, IsValidIpAcceptsWhatInetAddrAccepts) {
  for (const char* text : {"192.168.1.10", "127.0.0.1", "0.0.0.0"}) {
    EXPECT_TRUE(Platform::isValidIp(text)) << text;
  }
  for (const char* text : {"localhost", "255.255.255.255", "256.1.1.1", "1.2.3.4.5", ""}) {
    EXPECT_FALSE(Platform::isValidIp(text)) << text;
  }
  EXPECT_FALSE(Platform::isValidIp(nullptr));
}

TEST(PlatformTest, GetHostBynameFillsDottedAddressAndOfficialName) {
  char address[Platform::kAddressSize] = "";
  char officialName[Platform::kOfficialNameSize] = "";
  ASSERT_TRUE(Platform::getHostByname("localhost", address, officialName));
  EXPECT_EQ(0, std::strncmp(address, "127.", 4)) << address;
  EXPECT_TRUE(Platform::isValidIp(address)) << address;
  EXPECT_NE('\0', officialName[0]);
  EXPECT_FALSE(Platform::getHostByname(nullptr, address, officialName));
}
