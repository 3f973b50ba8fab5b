#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <string>
#include <thread>

#include "BError.h"
#include "IPCache.h"
#include "Sleep.h"

namespace {

class IPCacheTest : public ::testing::Test {
 protected:
  // The fake name service knows "db" (and "late" once lateKnown is set),
  // counts its calls and holds them while held is set.
  IPCacheTest()
      : cache(
            -1,
            [this](const char* name, char* address, char* official) {
              calls++;
              for (int waited = 0; held && waited < 2000; waited += 5) {
                Sleep(5);
              }
              const bool known = strcmp(name, "db") == 0 || (lateKnown && !strcmp(name, "late"));
              if (known) {
                strcpy(address, name[0] == 'd' ? "10.0.0.5" : "10.0.0.9");
                strcpy(official, name[0] == 'd' ? "db.example.net" : "late.example.net");
              }
              return known;
            },
            [this] {
              Timestamp now;
              now.SetGMTCount(seconds.load());
              return now;
            }) {}

  std::atomic<int> calls{0};
  std::atomic<bool> held{false};
  std::atomic<bool> lateKnown{false};
  std::atomic<long> seconds{1700000000};
  IPCache cache;
};

TEST_F(IPCacheTest, DottedAddressesAndDigitSuffixesResolve) {
  struct Case {
    const char* name;
    int result;
    const char* ip;
    const char* fullName;
    int resolverCalls;
  } cases[] = {
      {"10.1.2.3", 1, "10.1.2.3", "10.1.2.3", 0},  // no resolver call
      {"db", 1, "10.0.0.5", "db.example.net", 1},
      {"db-12", 1, "10.0.0.5", "db.example.net", 2},
      {"10.0.0.7-3", 1, "10.0.0.7", "10.0.0.7-3", 1},
      {"db-x", 0, "", "", 1},
      {"db_a-3", 0, "", "", 1},  // '_' is not a host-name character
      {"ghost-5", 0, "", "", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    calls = 0;
    SNMPHost host(c.name);
    EXPECT_EQ(cache.InternalGetHostByName(&host, c.name, false), c.result);
    EXPECT_STREQ(host.getHostIP(), c.ip);
    EXPECT_STREQ(host.getHostFullName(), c.fullName);
    EXPECT_STREQ(host.getHostName(), c.result ? c.name : "");
    EXPECT_EQ(calls.load(), c.resolverCalls);
  }
}

TEST_F(IPCacheTest, TwoThreadsAskingForANewNameResolveItOnce) {
  held = true;
  SNMPHost first("db"), second("db");
  int results[2] = {-1, -1};
  std::thread a([&] { results[0] = cache.GetHostByName(&first, "db", false); });
  for (int waited = 0; calls.load() == 0 && waited < 2000; waited += 5) {
    Sleep(5);
  }
  std::thread b([&] { results[1] = cache.GetHostByName(&second, "db", false); });
  Sleep(50);  // b finds the name being resolved and waits
  held = false;
  a.join();
  b.join();
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(results[0] + results[1], 2);
  EXPECT_STREQ(second.getHostIP(), "10.0.0.5");
  EXPECT_STREQ(second.getHostFullName(), "db.example.net");
}

TEST_F(IPCacheTest, FailedNameIsQuarantinedForHalfAnHour) {
  SNMPHost host("late");
  EXPECT_EQ(cache.GetHostByName(&host, "late", false), 0);
  lateKnown = true;
  seconds += IPCache::kFailureQuarantineSeconds - 1;
  EXPECT_EQ(cache.GetHostByName(&host, "late", false), 0);
  EXPECT_EQ(calls.load(), 1);
  seconds += 1;
  EXPECT_EQ(cache.GetHostByName(&host, "late", false), 1);
  EXPECT_EQ(calls.load(), 2);
  EXPECT_STREQ(host.getHostIP(), "10.0.0.9");
}

TEST_F(IPCacheTest, CachedAnswersCarryTheVersionUntilResetOrMaxRetain) {
  SNMPHost host("db");
  ASSERT_EQ(cache.GetHostByName(&host, "db", false), 1);
  cache.vSetSnmpVersion("db", TlmSnmpVersion3);
  SNMPHost cached;
  ASSERT_EQ(cache.GetHostByName(&cached, "db", false), 1);
  EXPECT_EQ(calls.load(), 1);
  EXPECT_STREQ(cached.getCallName(), "db");
  EXPECT_STREQ(cached.getHostName(), "db");
  EXPECT_STREQ(cached.getHostIP(), "10.0.0.5");
  EXPECT_EQ(cached.getSnmpVersion(), TlmSnmpVersion3);

  cache.Reset();
  cache.set_MaxRetain(60);
  const int expectedCalls[] = {2, 2, 3};  // after reset; 60 s later; 61 s later
  const long advance[] = {0, 60, 1};
  for (int i = 0; i < 3; ++i) {
    seconds += advance[i];
    ASSERT_EQ(cache.GetHostByName(&host, "db", false), 1);
    EXPECT_EQ(calls.load(), expectedCalls[i]) << i;
  }
}

TEST_F(IPCacheTest, ResolverExceptionBecomesBErrorAndFreesTheName) {
  IPCache throwing(
      -1, [](const char*, char*, char*) -> bool { throw 7; }, [] { return Timestamp(); });
  SNMPHost host("x");
  for (int attempt = 0; attempt < 2; ++attempt) {  // the second would hang if the name stayed held
    try {
      throwing.GetHostByName(&host, "x", false);
      ADD_FAILURE() << "no BError";
    } catch (const BError& error) {
      EXPECT_EQ(error.From(), "IPCache::GetHostByName");
      EXPECT_EQ(error.Message(), "State IP_RESOLVE_STATE_RESOLVE in InternalGetHostByName");
    }
  }
}

}  // namespace
