#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "AccessPolicy.h"
#include "CapturingLogDevice.h"
#include "ClientSession.h"
#include "Cnx.h"
#include "ListenPort.h"
#include "LogServer.h"
#include "TestSockets.h"
#include "TestWaits.h"
#include "TlConfiguration.h"
#include "WatchASCIIOrder.h"
#include "WatchedList.h"

namespace {

constexpr uid_t kDaemonUid = 4242;

uint32_t Ip(const char* text) {
  uint32_t address = 0;
  EXPECT_TRUE(AddressList::ParseDotted(text, address)) << text;
  return address;
}

// This host: loopback and 192.168.1.5.
bool TwoInterfaces(std::vector<uint32_t>& out) {
  out = {Ip("127.0.0.1"), Ip("192.168.1.5")};
  return true;
}

class AccessPolicyTest : public ::testing::Test {
 protected:
  void TearDown() override {
    AccessPolicy::Publish(nullptr);
    pepoWatchedList = nullptr;
    LogServer::DeleteInstance();
  }
  // A policy configured from keys; error empty when it configured.
  std::unique_ptr<AccessPolicy> Policy(const std::map<std::string, std::string>& keys,
                                       std::string& error) {
    Handle<TlConfiguration> store(new TlConfiguration());
    for (const auto& [key, value] : keys) {
      store->AtGlobalPut("GLOBAL." + key, value);
    }
    auto policy = std::make_unique<AccessPolicy>(kDaemonUid, TwoInterfaces);
    error.clear();
    if (!policy->Configure(*store, error)) {
      EXPECT_FALSE(error.empty());
    }
    return policy;
  }

  std::shared_ptr<CapturingLogDevice::Log> log = CapturingLogDevice::Install(LogServer::Instance());
};

TEST_F(AccessPolicyTest, KeysConfigureTheRulesAndMalformedOnesAreNamedErrors) {
  const long kUnknown = AccessPolicy::kUnknownUid;
  const struct {
    std::map<std::string, std::string> keys;
    std::vector<long> allowedUids;  // kUnknownUid stands for an unknown owner
    std::vector<long> refusedUids;
    uint32_t bind;
  } kGood[] = {
      {{}, {0, kDaemonUid}, {65534, 1000, kUnknown}, INADDR_ANY},
      {{{"WATCHMGR.ALLOWEDUSERS", "nobody, 1000"}}, {65534, 1000}, {0, kDaemonUid, kUnknown}, 0},
      {{{"WATCHMGR.ALLOWEDUSERS", "ANY"}}, {0, 65534, kUnknown}, {}, 0},
      {{{"WATCHMGR.BINDADDRESS", "127.0.0.1"}}, {0}, {}, 0x7F000001u},
  };
  for (const auto& c : kGood) {
    const std::string first = c.keys.empty() ? "none" : c.keys.begin()->second;
    std::string error;
    auto policy = Policy(c.keys, error);
    EXPECT_EQ(error, "") << first;
    for (long uid : c.allowedUids) {
      EXPECT_TRUE(policy->UserAllowed(uid)) << first << " " << uid;
    }
    for (long uid : c.refusedUids) {
      EXPECT_FALSE(policy->UserAllowed(uid)) << first << " " << uid;
    }
    EXPECT_EQ(policy->BindAddress(), c.bind) << first;
  }
  const struct {
    const char* key;
    const char* value;
    const char* error;
  } kBad[] = {
      {"ALLOWEDUSERS", "no-such-user-here", "unknown user 'no-such-user-here'"},
      {"ALLOWEDUSERS", "root,,nobody", "empty entry"},
      {"ALLOWEDUSERS", "-1", "unknown user '-1'"},
      {"ALLOWEDPEERS", "10.0.0.300", "malformed entry '10.0.0.300'"},
      {"ALLOWEDPEERS", "", "empty entry"},
      {"ALLOWEDCOMMANDS", "(kill", "pattern '(kill' does not compile"},
      // Alone it does not compile; wrapped, it would pair with the group that anchors it.
      {"ALLOWEDCOMMANDS", "x)|(.*", "pattern 'x)|(.*' does not compile"},
      {"BINDADDRESS", "localhost", "malformed address 'localhost'"},
      {"REMOTEUSER", "no-such-user-here", ""},
      {"REMOTEUSER", " ", ""},
  };
  for (const auto& c : kBad) {
    const std::string key = std::string("WATCHMGR.") + c.key;
    std::string error;
    Policy({{key, c.value}}, error);
    EXPECT_NE(error.find(key + ": " + c.error), std::string::npos) << c.value << ": " << error;
  }
}

TEST_F(AccessPolicyTest, UnknownOwnersActAsTheRemoteUserOnlyWhenAnyUserIsAllowed) {
  const long kUnknown = AccessPolicy::kUnknownUid;
  struct Case {
    std::map<std::string, std::string> keys;
    long owner;
    bool admitted;
    long actsAs;
  } kCases[] = {
      {{}, kUnknown, false, kUnknown},
      {{}, 0, true, 0},
      {{{"WATCHMGR.ALLOWEDUSERS", "nobody"}}, kUnknown, false, kUnknown},
      {{{"WATCHMGR.ALLOWEDUSERS", "any"}}, kUnknown, true, 65534},
      {{{"WATCHMGR.ALLOWEDUSERS", "any"}}, 1000, true, 1000},
      {{{"WATCHMGR.ALLOWEDUSERS", "any"}, {"WATCHMGR.REMOTEUSER", "root"}}, kUnknown, true, 0},
      {{{"WATCHMGR.ALLOWEDUSERS", "any"}, {"WATCHMGR.REMOTEUSER", "1000"}}, kUnknown, true, 1000},
  };
  for (const Case& c : kCases) {
    std::string error;
    auto policy = Policy(c.keys, error);
    ASSERT_EQ(error, "");
    long uid = 4242;
    EXPECT_EQ(c.admitted, policy->AdmitOwner(c.owner, "10.1.2.3:5000", uid)) << c.owner;
    if (c.admitted) {
      EXPECT_EQ(c.actsAs, uid) << c.owner;
    }
  }
}

TEST_F(AccessPolicyTest, RefusedPeersAreLoggedOncePerAddress) {
  std::string error;
  auto policy = Policy({{"WATCHMGR.ALLOWEDPEERS", "127.0.0.1, 10.1.0.0/16"}}, error);
  ASSERT_EQ(error, "");
  EXPECT_TRUE(policy->AdmitPeer(Ip("127.0.0.1")));
  EXPECT_TRUE(policy->AdmitPeer(Ip("10.1.200.3")));
  for (int i = 0; i < 200; ++i) {
    EXPECT_FALSE(policy->AdmitPeer(Ip("127.0.0.2")));
  }
  EXPECT_FALSE(policy->AdmitPeer(Ip("192.168.1.5")));
  const std::string tail = " refused: peer not in WATCHMGR.ALLOWEDPEERS (127.0.0.1, 10.1.0.0/16)";
  EXPECT_EQ(log->Messages(Warning),
            (std::vector<std::string>{
                "[ListenPort::StartBlock] WARNING : Connection from 127.0.0.2" + tail,
                "[ListenPort::StartBlock] WARNING : Connection from 192.168.1.5" + tail}));
}

TEST_F(AccessPolicyTest, OpenBeyondHostWhenForeignPeersCanReachTheBoundAddress) {
  struct Case {
    const char* peers;
    const char* bind;
    bool open;
  };
  const Case kCases[] = {
      {"local", "", false},        {"127.0.0.1,192.168.1.5", "", false},
      {"any", "", true},           {"local,192.168.1.0/24", "", true},
      {"any", "127.0.0.1", false}, {"10.0.0.0/8", "192.168.1.5", true},
  };
  for (const Case& c : kCases) {
    std::string error;
    auto policy =
        Policy({{"WATCHMGR.ALLOWEDPEERS", c.peers}, {"WATCHMGR.BINDADDRESS", c.bind}}, error);
    ASSERT_EQ(error, "") << c.peers;
    EXPECT_EQ(policy->OpenBeyondHost(), c.open) << c.peers << " bound to '" << c.bind << "'";
  }
}

// A watch order for this process, as the client routine feeds it, with these commands.
int Watch(long uid, const std::string& start, const std::string& stop) {
  WatchASCIIOrder order;
  order.SetClientUid(uid);
  int complete = 0;
  for (const std::string& text : {std::string("BEGINWATCH"), "pid: " + std::to_string(getpid()),
                                  "psstart: " + start, "psstop: " + stop, std::string("END;")}) {
    String line(text.c_str());
    complete = order.ProcessLine(line);
  }
  Cnx connection;
  return complete == 1 ? order.ExecuteOrder(connection) : -1;
}

TEST_F(AccessPolicyTest, WatchOrdersRegisterTheirUserAndCommandsMustMatchThePatternWhole) {
  std::string error;
  auto policy = Policy(
      {{"WATCHMGR.ALLOWEDCOMMANDS", "/opt/app/[a-z]+\\.sh( [0-9]+)?|kill [0-9]{1,7}"}}, error);
  ASSERT_EQ(error, "");
  WatchedList list;
  const int pid = getpid();
  const long uid = static_cast<long>(geteuid());
  pepoWatchedList = &list;
  AccessPolicy::Publish(policy.get());
  struct Case {
    std::string start;
    std::string stop;
    const char* refused;  // the command named in the Error, "" when registered
  };
  const Case kCases[] = {
      {"/opt/app/run.sh", "kill 77", ""},
      {"/opt/app/run.sh 3", "", ""},  // an empty command runs nothing
      {"x/opt/app/run.sh", "kill 77", "x/opt/app/run.sh"},
      {"/opt/app/run.sh 3 4", "kill 77", "/opt/app/run.sh 3 4"},
      {"/opt/app/run.sh", "kill 12345678", "kill 12345678"},
      {"/opt/app/RUN.sh", "kill 77", "/opt/app/RUN.sh"},
  };
  for (const Case& c : kCases) {
    list.DeleteWatch(pid);
    log->Clear();
    const bool registered = *c.refused == '\0';
    EXPECT_EQ(Watch(uid, c.start, c.stop), registered ? 1 : 0) << c.start << " | " << c.stop;
    EXPECT_EQ(list.Size(), registered ? 1u : 0u) << c.start;
    if (registered) {
      EXPECT_EQ(list.Snapshot().at(pid).ownerUid, uid);
      EXPECT_TRUE(log->Messages(Error).empty());
    } else {
      EXPECT_EQ(log->Messages(Error),
                std::vector<std::string>{"[WatchASCIIOrder::ExecuteOrder] ERROR : Watch order for "
                                         "pid " +
                                         std::to_string(pid) + " refused: command '" +
                                         std::string(c.refused) +
                                         "' does not match WATCHMGR.ALLOWEDCOMMANDS"});
    }
  }
  // Under published rules a client whose user is unknown registers nothing.
  EXPECT_EQ(Watch(-1, "/opt/app/run.sh", "kill 77"), 0);
  EXPECT_EQ(list.Size(), 0u);
  // Without published rules every order registers, under its connection's user.
  AccessPolicy::Publish(nullptr);
  EXPECT_EQ(Watch(-1, "anything at all", "really"), 1);
  EXPECT_EQ(list.Snapshot().at(pid).ownerUid, -1);
}

// A pattern that admits every byte still refuses a command that could make
// the shell run something besides the one program it names.
TEST_F(AccessPolicyTest, CommandsHoldingShellSyntaxAreRefusedOnceEachWhenAFilterIsSet) {
  std::string error;
  auto policy = Policy({{"WATCHMGR.ALLOWEDCOMMANDS", "/usr/local/bin/.*"}}, error);
  ASSERT_EQ(error, "");
  struct Case {
    const char* command;
    bool admitted;
    const char* shown = nullptr;  // as the log shows it, when that differs
  };
  const Case kCases[] = {
      {"/usr/local/bin/x", true},
      {"/usr/local/bin/x --port=80 -v 'quoted words' \"x\"\targ", true},
      {"/usr/local/bin/x; id > f", false},
      {"/usr/local/bin/x $(id)", false},
      {"/usr/local/bin/x ${HOME}", false},
      {"/usr/local/bin/x `id`", false},
      {"/usr/local/bin/x | sh", false},
      {"/usr/local/bin/x || id", false},
      {"/usr/local/bin/x && id", false},
      {"/usr/local/bin/x & id", false},
      {"/usr/local/bin/x\nid", false, "/usr/local/bin/x\\x0aid"},
      {"/usr/local/bin/x\rid", false, "/usr/local/bin/x\\x0did"},
      {"/usr/local/bin/x < /etc/shadow", false},
      {"/usr/local/bin/x >> /etc/passwd", false},
      {"/usr/local/bin/x (id)", false},
      {"/usr/local/bin/x \\; id", false},
      {"/usr/local/bin/x \x1b[2J", false, "/usr/local/bin/x \\x1b[2J"},
      {"/usr/local/bin/x \x7f", false, "/usr/local/bin/x \\x7f"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.command);
    log->Clear();
    const String command(c.command);
    // Once as the start command, once as the stop command.
    EXPECT_EQ(policy->AdmitCommands(5, command, String("")), c.admitted);
    EXPECT_EQ(policy->AdmitCommands(5, String(""), command), c.admitted);
    if (c.admitted) {
      EXPECT_TRUE(log->Records().empty());
      continue;
    }
    EXPECT_EQ(log->Messages(Warning),
              std::vector<std::string>{
                  "[WatchASCIIOrder::ExecuteOrder] WARNING : Watch order for pid 5 refused: "
                  "command '" +
                  std::string(c.shown != nullptr ? c.shown : c.command) +
                  "' holds shell syntax, which WATCHMGR.ALLOWEDCOMMANDS does not admit"});
    EXPECT_TRUE(log->Messages(Error).empty());
  }
  // Without a filter, commands are shell text and pass as they are.
  auto open = Policy({}, error);
  EXPECT_TRUE(open->AdmitCommands(5, String("/usr/local/bin/x; id > f"), String("")));
}

// The listener's sessions: each counts itself and takes every line.
std::atomic<int> served{0};
class HoldSession : public ClientSession {
 public:
  bool Line(String&) override { return true; }
};
std::unique_ptr<ClientSession> Hold(long) {
  ++served;
  return std::unique_ptr<ClientSession>(new HoldSession);
}

TEST_F(AccessPolicyTest, ListenerClosesRefusedPeersBeforeTheSlotCheckAndBindsItsAddress) {
  std::string error;
  auto policy = Policy(
      {{"WATCHMGR.ALLOWEDPEERS", "127.0.0.1"}, {"WATCHMGR.BINDADDRESS", "127.0.0.1"}}, error);
  ASSERT_EQ(error, "");
  ListenPort listener(1, 0);
  listener.SetMaxClients(32);
  listener.SetAccessPolicy(policy.get());
  listener.SetBindAddress(policy->BindAddress());
  const int port = FreePort();
  ASSERT_EQ(listener.Initialize(port, Hold), 1);
  ASSERT_EQ(listener.StartThread(), 1);
  ASSERT_TRUE(WaitUntil([&] { return listener.state.load() == ListenPort::kRunning; }, 10000));
  served = 0;
  std::vector<int> held;  // every client slot taken
  for (int i = 1; i <= 32; ++i) {
    held.push_back(ConnectTcp(port));
    ASSERT_TRUE(WaitUntil([&] { return listener.clientCount.load() == i; }, 10000)) << i;
  }
  log->Clear();
  const int refused = ConnectTcp(port, "127.0.0.2");
  ASSERT_GE(refused, 0);
  char byte = 0;
  EXPECT_LE(recv(refused, &byte, 1, 0), 0);  // closed at once, nothing sent
  close(refused);
  EXPECT_EQ(ConnectTcp(port, "127.0.0.1", "127.0.0.2"), -1);  // bound to 127.0.0.1 only
  EXPECT_TRUE(WaitUntil([&] { return log->Count() >= 1; }, 10000));
  EXPECT_EQ(log->Messages(Warning),
            std::vector<std::string>{"[ListenPort::StartBlock] WARNING : Connection from "
                                     "127.0.0.2 refused: peer not in WATCHMGR.ALLOWEDPEERS "
                                     "(127.0.0.1)"});
  EXPECT_EQ(served.load(), 32);
  for (int fd : held) {
    close(fd);
  }
  listener.Delete();
  EXPECT_TRUE(WaitUntil([&] { return listener.clientCount.load() == 0; }, 10000));
}

}  // namespace
