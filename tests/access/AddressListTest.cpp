#include "AddressList.h"
#include "TestCommon.h"

namespace {

uint32_t Ip(const char* text) {
  uint32_t address = 0;
  EXPECT_TRUE(AddressList::ParseDotted(text, address)) << text;
  return address;
}

struct FakeInterfaces {
  std::vector<uint32_t> addresses{Ip("192.168.1.5"), Ip("127.0.0.1")};
  int reads = 0;
  AddressList::InterfaceReader Reader() {
    return [this](std::vector<uint32_t>& out) {
      ++reads;
      out = addresses;
      return true;
    };
  }
};

// A malformed list is an error naming the entry, and matches nothing.
TEST(AddressListTest, ListsAdmitExactlyTheirPeersAndKnowWhetherTheyReachBeyondHostOrAreErrors) {
  struct Case {
    const char* list;
    std::vector<const char*> in;
    std::vector<const char*> out;
    bool beyondHost;
    const char* named = "";  // part of the error text; empty: the list parses
  };
  const Case kCases[] = {
      {"10.1.2.3", {"10.1.2.3"}, {"10.1.2.2", "10.1.2.4", "127.0.0.1"}, true},
      {"10.1.0.0/16", {"10.1.0.0", "10.1.255.255"}, {"10.0.255.255", "10.2.0.0"}, true},
      {"0.0.0.0/0", {"0.0.0.0", "255.255.255.255", "8.8.8.8"}, {}, true},
      {"10.0.0.7/32", {"10.0.0.7"}, {"10.0.0.6"}, true},
      {"10.0.0.6/31", {"10.0.0.6", "10.0.0.7"}, {"10.0.0.5", "10.0.0.8"}, true},
      {"128.0.0.0/1", {"128.0.0.0", "255.1.2.3"}, {"127.255.255.255"}, true},
      {" 10.0.0.1 ,\t10.0.0.3 ", {"10.0.0.1", "10.0.0.3"}, {"10.0.0.2"}, true},
      {"local", {"127.0.0.1", "127.255.0.9", "192.168.1.5"}, {"192.168.1.6", "10.0.0.1"}, false},
      {"LOCAL, 10.9.0.0/16", {"127.0.0.2", "10.9.3.4", "192.168.1.5"}, {"10.8.0.1"}, true},
      {"local,192.168.1.5/32", {"192.168.1.5"}, {"192.168.1.4"}, false},
      {"127.0.0.1", {"127.0.0.1"}, {"127.0.0.2"}, false},
      {"127.0.0.0/8", {"127.9.9.9"}, {"128.0.0.0"}, false},
      {"127.1.0.0/16", {"127.1.2.3"}, {"127.2.0.0"}, false},
      {"192.168.1.5", {"192.168.1.5"}, {"192.168.1.6"}, false},
      {"192.168.1.0/24", {"192.168.1.5", "192.168.1.77"}, {"192.168.2.5"}, true},
      {"any", {"1.2.3.4", "127.0.0.1"}, {}, true},
      {"10.0.0.1,Any", {"1.2.3.4"}, {}, true},
      {"10.0.0.1,", {}, {}, false, "empty entry"},
      {"10.0.0.1,,10.0.0.2", {}, {}, false, "empty entry"},
      {"  ", {}, {}, false, "empty entry"},
      {"10.0.0.256", {}, {}, false, "'10.0.0.256'"},
      {"10.0.0", {}, {}, false, "'10.0.0'"},
      {"10.0.0.1.2", {}, {}, false, "'10.0.0.1.2'"},
      {"010.0.0.1", {}, {}, false, "'010.0.0.1'"},
      {"10.08.0.1", {}, {}, false, "'10.08.0.1'"},
      {"0x0A.0.0.1", {}, {}, false, "'0x0A.0.0.1'"},
      {"10.0.0.1/33", {}, {}, false, "'10.0.0.1/33'"},
      {"10.0.0.0/", {}, {}, false, "'10.0.0.0/'"},
      {"10.0.0.0/8/8", {}, {}, false, "'10.0.0.0/8/8'"},
      {"10.0.0.1 10.0.0.2", {}, {}, false, "'10.0.0.1 10.0.0.2'"},
      {"localhost", {}, {}, false, "'localhost'"},
      {"10.1.2.3/16", {}, {}, false, "host bits set; the block is 10.1.0.0/16"},
      {"10.0.0.7/31", {}, {}, false, "host bits set; the block is 10.0.0.6/31"},
      {"1.0.0.0/0", {}, {}, false, "host bits set; the block is 0.0.0.0/0"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.list);
    FakeInterfaces host;
    AddressList list(host.Reader());
    std::string error;
    EXPECT_EQ(list.Parse(c.list, error), *c.named == '\0') << error;
    EXPECT_NE(error.find(c.named), std::string::npos) << error;
    if (*c.named != '\0') {
      EXPECT_FALSE(list.Contains(Ip("127.0.0.1")));
      EXPECT_FALSE(list.Any() || list.Local());
    }
    for (const char* peer : c.in) {
      EXPECT_TRUE(list.Contains(Ip(peer))) << "should admit " << peer;
    }
    for (const char* peer : c.out) {
      EXPECT_FALSE(list.Contains(Ip(peer))) << "should refuse " << peer;
    }
    EXPECT_EQ(list.ReachesBeyondHost(), c.beyondHost);
  }
}

TEST(AddressListTest, LocalListRereadsInterfacesAtMostEveryRefreshPeriodAndRealOnesHaveLoopback) {
  FakeInterfaces host;
  long now = 100;
  AddressList list(host.Reader(), [&] { return now; });
  std::string error;
  ASSERT_TRUE(list.Parse("local", error));
  const int readsAfterParse = host.reads;
  host.addresses.push_back(Ip("10.7.7.7"));
  // Within the refresh period a miss does not read the interfaces again, so a
  // flood of foreign peers costs no system call each.
  for (int i = 0; i < 50; ++i) {
    EXPECT_FALSE(list.Contains(Ip("10.7.7.7")));
  }
  EXPECT_EQ(host.reads, readsAfterParse);
  EXPECT_TRUE(list.Contains(Ip("192.168.1.5")));  // what was read stays
  now += AddressList::kInterfaceRefreshSeconds;
  EXPECT_TRUE(list.Contains(Ip("10.7.7.7")));
  EXPECT_EQ(host.reads, readsAfterParse + 1);
  EXPECT_FALSE(list.Contains(Ip("10.7.7.8")));  // read again only a period later
  EXPECT_EQ(host.reads, readsAfterParse + 1);

  // A list without "local" never reads them on a miss.
  AddressList plain(host.Reader(), [&] { return now; });
  ASSERT_TRUE(plain.Parse("10.0.0.1", error));
  const int readsPlain = host.reads;
  now += 1000;
  EXPECT_FALSE(plain.Contains(Ip("10.7.7.7")));
  EXPECT_EQ(host.reads, readsPlain);
  std::vector<uint32_t> addresses;
  ASSERT_TRUE(AddressList::ReadInterfaces(addresses));
  EXPECT_TRUE(
      std::any_of(addresses.begin(), addresses.end(), [](uint32_t a) { return a >> 24 == 127; }));
}

}  // namespace
