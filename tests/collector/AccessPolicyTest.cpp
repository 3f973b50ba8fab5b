#include "AccessPolicy.h"
#include "ClientSession.h"
#include "ListenPort.h"
#include "LoggedCount.h"
#include "TestSockets.h"
#include "TlConfiguration.h"

namespace {

constexpr uid_t kDaemonUid = 4242;

uint32_t Ip(const char* text) {
  uint32_t address = 0;
  EXPECT_TRUE(AddressList::ParseDotted(text, address)) << text;
  return address;
}

class AccessPolicyTest : public LoggingTest {
 protected:
  // Keys that must configure, or with error keys that must be refused.
  std::unique_ptr<AccessPolicy> Policy(const std::map<std::string, std::string>& keys,
                                       std::string* error = nullptr) {
    Handle<TlConfiguration> store(new TlConfiguration());
    for (const auto& [key, value] : keys) {
      store->AtGlobalPut("GLOBAL.WATCHMGR." + key, value);
    }
    auto policy = std::make_unique<AccessPolicy>(kDaemonUid, [](std::vector<uint32_t>& out) {
      out = {Ip("127.0.0.1"), Ip("192.168.1.5")};
      return true;
    });
    std::string scratch, &text = error != nullptr ? *error : scratch;
    EXPECT_EQ(policy->Configure(*store, text), error == nullptr) << text;
    EXPECT_EQ(text.empty(), error == nullptr) << text;
    return policy;
  }
};

// What each of root, the daemon's user, nobody, 1000 and an unknown owner acts as ("-": refused),
// and whether peers beyond this host can reach the address the listener binds.
TEST_F(AccessPolicyTest, KeysDecideWhoActsAsWhomWhereItBindsAndWhoReachesItOrAreNamedErrors) {
  const std::tuple<std::map<std::string, std::string>, const char*, uint32_t, bool> kGood[] = {
      {{}, "0 4242 - - -", INADDR_ANY, false},
      {{{"ALLOWEDUSERS", "nobody, 1000"}}, "- - 65534 1000 -", 0, false},
      {{{"ALLOWEDUSERS", "nobody"}}, "- - 65534 - -", 0, false},
      {{{"ALLOWEDUSERS", "ANY"}}, "0 4242 65534 1000 65534", 0, false},
      {{{"ALLOWEDUSERS", "any"}, {"REMOTEUSER", "root"}}, "0 4242 65534 1000 0", 0, false},
      {{{"ALLOWEDUSERS", "any"}, {"REMOTEUSER", "1000"}}, "0 4242 65534 1000 1000", 0, false},
      {{{"ALLOWEDPEERS", "local"}, {"BINDADDRESS", ""}}, "0 4242 - - -", 0, false},
      {{{"ALLOWEDPEERS", "127.0.0.1,192.168.1.5"}}, "0 4242 - - -", 0, false},
      {{{"ALLOWEDPEERS", "any"}}, "0 4242 - - -", 0, true},
      {{{"ALLOWEDPEERS", "any"}, {"BINDADDRESS", "127.0.0.1"}}, "0 4242 - - -", 0x7F000001u, false},
      {{{"ALLOWEDPEERS", "10.0.0.0/8"}, {"BINDADDRESS", "192.168.1.5"}},
       "0 4242 - - -",
       0xC0A80105u,
       true},
  };
  for (const auto& [keys, acts, bind, open] : kGood) {
    const std::string first = keys.empty() ? "none" : keys.begin()->second;
    auto policy = Policy(keys);
    std::string actsAs;
    for (long owner :
         {0L, static_cast<long>(kDaemonUid), 65534L, 1000L, AccessPolicy::kUnknownUid}) {
      long uid = 4343;
      const bool admitted = policy->AdmitOwner(owner, "10.1.2.3:5000", uid);
      EXPECT_EQ(policy->UserAllowed(owner), admitted) << first << " " << owner;
      actsAs += (actsAs.empty() ? "" : " ") + (admitted ? std::to_string(uid) : "-");
    }
    EXPECT_EQ(actsAs, acts) << first;
    EXPECT_EQ(policy->BindAddress(), bind) << first;
    EXPECT_EQ(policy->OpenBeyondHost(), open) << first;
  }
  const char* const kBad[][3] = {
      {"ALLOWEDUSERS", "no-such-user-here", "unknown user 'no-such-user-here'"},
      {"ALLOWEDUSERS", "root,,nobody", "empty entry"},
      {"ALLOWEDUSERS", "-1", "unknown user '-1'"},
      {"ALLOWEDPEERS", "", "empty entry"},
      {"ALLOWEDCOMMANDS", "(kill", "pattern '(kill' does not compile"},
      // Alone it does not compile; wrapped, it would pair with the group that anchors it.
      {"ALLOWEDCOMMANDS", "x)|(.*", "pattern 'x)|(.*' does not compile"},
      {"BINDADDRESS", "localhost", "malformed address 'localhost'"},
      {"REMOTEUSER", "no-such-user-here", ""},
      {"REMOTEUSER", " ", ""},
  };
  for (const auto& [key, value, why] : kBad) {
    std::string error;
    Policy({{key, value}}, &error);
    EXPECT_NE(error.find(std::string("WATCHMGR.") + key + ": " + why), std::string::npos)
        << value << ": " << error;
  }
}

// A command the pattern admits is still refused when it could make the shell run something
// besides the one program it names.
TEST_F(AccessPolicyTest, CommandsMustMatchThePatternWholeAndHoldNoShellSyntax) {
  auto policy = Policy(
      {{"ALLOWEDCOMMANDS", "/opt/app/[a-z]+\\.sh( [0-9]+)?|kill [0-9]{1,7}|/usr/local/bin/.*"}});
  const struct {
    const char* command;
    int refusedAs;                // -1 when admitted, else the severity of its one log line
    const char* shown = nullptr;  // as the log shows it, when that differs
  } kCases[] = {
      {"/opt/app/run.sh", -1},
      {"/opt/app/run.sh 3", -1},
      {"kill 77", -1},
      {"", -1},  // an empty command runs nothing
      {"/usr/local/bin/x --port=80 -v 'quoted words' \"x\"\targ", -1},
      {"x/opt/app/run.sh", Error},
      {"/opt/app/run.sh 3 4", Error},
      {"/opt/app/RUN.sh", Error},
      {"/usr/local/bin/x; id > f", Warning},
      {"/usr/local/bin/x $(id)", Warning},
      {"/usr/local/bin/x `id`", Warning},
      {"/usr/local/bin/x | sh", Warning},
      {"/usr/local/bin/x & id", Warning},
      {"/usr/local/bin/x\nid", Warning, "/usr/local/bin/x\\x0aid"},
      {"/usr/local/bin/x\rid", Warning, "/usr/local/bin/x\\x0did"},
      {"/usr/local/bin/x < /etc/shadow", Warning},
      {"/usr/local/bin/x >> /etc/passwd", Warning},
      {"/usr/local/bin/x (id)", Warning},
      {"/usr/local/bin/x a\\ b", Warning},
      {"/usr/local/bin/x \x1b[2J", Warning, "/usr/local/bin/x \\x1b[2J"},
      {"/usr/local/bin/x \x7f", Warning, "/usr/local/bin/x \\x7f"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.command);
    log->Clear();
    const String command(c.command);
    EXPECT_EQ(policy->AdmitCommands(5, command, String("")), c.refusedAs == -1);
    EXPECT_EQ(policy->AdmitCommands(5, String(""), command), c.refusedAs == -1);
    const std::string refusal = "[WatchASCIIOrder::ExecuteOrder] " +
                                std::string(c.refusedAs == Error ? "ERROR" : "WARNING") +
                                " : Watch order for pid 5 refused: command '" +
                                (c.shown != nullptr ? c.shown : c.command) + "' " +
                                (c.refusedAs == Error ? "does not match WATCHMGR.ALLOWEDCOMMANDS"
                                                      : "holds shell syntax, which "
                                                        "WATCHMGR.ALLOWEDCOMMANDS does not admit");
    EXPECT_EQ(log->Count(), c.refusedAs == -1 ? 0u : 1u);
    EXPECT_EQ(log->Messages(c.refusedAs),
              c.refusedAs == -1 ? std::vector<std::string>{} : std::vector<std::string>{refusal});
  }
  // Without a filter, commands are shell text and pass as they are.
  auto open = Policy({});
  EXPECT_TRUE(open->AdmitCommands(5, String("/usr/local/bin/x; id > f"), String("")));
}

class HoldSession : public ClientSession {
 public:
  explicit HoldSession(std::atomic<int>& served) { ++served; }
  bool Line(String&) override { return true; }
};

// A refused peer is named once per address, however often it comes back.
TEST_F(AccessPolicyTest, ListenerClosesRefusedPeersBeforeTheSlotCheckOnceNamedAndBindsItsAddress) {
  auto policy = Policy({{"ALLOWEDPEERS", "127.0.0.1, 10.1.0.0/16"}, {"BINDADDRESS", "127.0.0.1"}});
  std::atomic<int> served{0};
  ListenPort listener(1, 0);
  listener.SetMaxClients(32);
  listener.SetAccessPolicy(policy.get());
  listener.SetBindAddress(policy->BindAddress());
  const int port = FreePort();
  ASSERT_EQ(listener.Initialize(port, [&](long) { return std::make_unique<HoldSession>(served); }),
            1);
  ASSERT_EQ(listener.StartThread(), 1);
  ASSERT_TRUE(WaitUntil([&] { return listener.state.load() == ListenPort::kRunning; }, 10000));
  std::vector<int> held;  // every client slot taken, then the refused peer
  for (int i = 1; i <= 32; ++i) {
    held.push_back(ConnectTcp(port));
    ASSERT_TRUE(WaitUntil([&] { return listener.clientCount.load() == i; }, 10000)) << i;
  }
  log->Clear();
  held.push_back(ConnectTcp(port, "127.0.0.2"));
  ASSERT_GE(held.back(), 0);
  EXPECT_EQ(ConnectTcp(port, "127.0.0.1", "127.0.0.2"), -1);  // bound to 127.0.0.1 only
  EXPECT_TRUE(log->WaitForCount(1, 10000));
  EXPECT_EQ(served.load(), 32);
  EXPECT_FALSE(policy->AdmitPeer(Ip("192.168.1.5")));
  const std::string tail = " refused: peer not in WATCHMGR.ALLOWEDPEERS (127.0.0.1, 10.1.0.0/16)";
  EXPECT_EQ(log->Messages(Warning),
            (std::vector<std::string>{
                "[ListenPort::StartBlock] WARNING : Connection from 127.0.0.2" + tail,
                "[ListenPort::StartBlock] WARNING : Connection from 192.168.1.5" + tail}));
  for (int fd : held) {
    close(fd);
  }
  listener.Delete();
  EXPECT_TRUE(WaitUntil([&] { return listener.clientCount.load() == 0; }, 10000));
}

}  // namespace
