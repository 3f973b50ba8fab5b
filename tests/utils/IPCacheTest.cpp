#include "IPCache.h"
#include "SNMPHost.h"
#include "Sleep.h"
#include "TestCommon.h"

namespace {

class IPCacheTest : public ::testing::Test {
 protected:
  // The name service knows "db" only and answers in delayMs; the clock reads `seconds`.
  IPCacheTest()
      : cache(
            -1,
            [this](const char* name, char* address, char* official) {
              calls++;
              Sleep(delayMs);
              strcpy(address, "10.0.0.5");
              strcpy(official, "db.example.net");
              return strcmp(name, "db") == 0;
            },
            [this] {
              Timestamp now;
              now.SetGMTCount(seconds.load());
              return now;
            }) {}

  std::atomic<int> calls{0};
  std::atomic<unsigned> delayMs{0};
  std::atomic<long> seconds{1700000000};
  IPCache cache;
};

TEST_F(IPCacheTest, DottedAddressesAndDigitSuffixesResolveAndFailedNamesWaitHalfAnHour) {
  // name, then whether it resolves, its address, its full name and the resolver's calls
  const std::pair<const char*, const char*> cases[] = {{"10.1.2.3", "1 10.1.2.3 10.1.2.3 0"},
                                                       {"db", "1 10.0.0.5 db.example.net 1"},
                                                       {"db-12", "1 10.0.0.5 db.example.net 2"},
                                                       {"db-x", "0   1"},
                                                       {"ghost-5", "0   2"}};
  for (const auto& [name, expected] : cases) {
    calls = 0;
    SNMPHost host(name);
    const int found = cache.InternalGetHostByName(&host, name, false);
    EXPECT_EQ(expected, std::to_string(found) + " " + host.getHostIP().chars() + " " +
                            host.getHostFullName().chars() + " " + std::to_string(calls.load()))
        << name;
  }
  calls = 0;
  SNMPHost host("ghost");
  EXPECT_EQ(cache.GetHostByName(&host, "ghost", false), 0);
  seconds += IPCache::kFailureQuarantineSeconds - 1;
  EXPECT_EQ(cache.GetHostByName(&host, "ghost", false), 0);
  EXPECT_EQ(calls.load(), 1);
  seconds += 1;
  EXPECT_EQ(cache.GetHostByName(&host, "ghost", false), 0);
  EXPECT_EQ(calls.load(), 2);
}

TEST_F(IPCacheTest, TwoThreadsAskingForANewNameResolveItOnce) {
  delayMs = 300;  // long enough for b to find the name being resolved and wait
  SNMPHost first("db"), second("db");
  int results[2] = {-1, -1};
  std::thread a([&] { results[0] = cache.GetHostByName(&first, "db", false); });
  EXPECT_TRUE(WaitUntil([&] { return calls.load() > 0; }, 2000, 5));
  std::thread b([&] { results[1] = cache.GetHostByName(&second, "db", false); });
  a.join();
  b.join();
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(results[0] + results[1], 2);
  EXPECT_STREQ(second.getHostIP(), "10.0.0.5");
}

TEST(SNMPHostTest, DefaultsApplyUntilValuesAreSetExplicitly) {
  SNMPHost host("router");
  for (bool explicitly : {false, true}) {
    host.setPort(1161, explicitly);
    host.setRCommunity("secret", explicitly);
    EXPECT_EQ(host.getPort(), explicitly ? 1161 : 161);
    EXPECT_STREQ(host.getRCommunity(), explicitly ? "secret" : SNMPHost::kDefaultRCommunity);
  }
  EXPECT_DOUBLE_EQ(host.getTimeout(), 0.8);
  EXPECT_EQ(host.getTries(), 3);
  host.resetToDefault(nullptr);
  EXPECT_EQ(host.getPort(), 161);
  EXPECT_EQ(host.getSnmpVersion(), TlmSnmpVersionNotSpecified);
}

}  // namespace
