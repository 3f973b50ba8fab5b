#include <sys/resource.h>
#include <sys/un.h>

#include <future>

#include "Cnx.h"
#include "InheritedSocket.h"
#include "ListenPort.h"
#include "LoggedCount.h"
#include "StderrCapture.h"
#include "TestSockets.h"
#include "TlConfigurationGlobal.h"

namespace {

std::mutex linesMutex;             // guards lines
std::map<std::string, int> lines;  // every line served, with how often it came
std::atomic<size_t> lineCount{0};

std::map<std::string, int> Lines() {
  std::lock_guard<std::mutex> lock(linesMutex);
  return lines;
}

class CountingSession : public ClientSession {
 public:
  bool Line(String& line) override {
    std::lock_guard<std::mutex> lock(linesMutex);
    ++lines[line.chars()];
    ++lineCount;
    return true;
  }
};
std::unique_ptr<ClientSession> Serve(long) {
  return std::unique_ptr<ClientSession>(new CountingSession);
}

class ListenPortTest : public LoggingTest {
 protected:
  void SetUp() override {
    LogServer::Instance()->setDebugLevelNumber(4);
    log->Clear();
    lines.clear();
    lineCount = 0;
  }
  void TearDown() override {
    listener.Delete();
    EXPECT_TRUE(WaitUntil([&] { return listener.clientCount.load() == 0; }, 5000));
    EXPECT_EQ(descriptors, CountOpenDescriptors());
    LogServer::DeleteInstance();
    TlConfigurationGlobal::DeleteInstance();
  }

  static void Start(ListenPort& one, int at) {
    ASSERT_EQ(1, one.Initialize(at, Serve));
    ASSERT_EQ(1, one.StartThread());
    ASSERT_TRUE(WaitUntil([&] { return one.state.load() == ListenPort::kRunning; }, 2000));
  }
  Cnx Client() {
    Cnx client;
    client.Establish("127.0.0.1", port, true);
    return client;
  }
  // Sends one line on a connection of its own; every line served once that one is in.
  std::map<std::string, int> Said(const std::string& line) {
    Cnx client = Client();
    client.SendPacket((line + "\n").c_str(), 0, 0, true);
    WaitUntil([&] { return Lines().count(line) == 1; }, 5000);
    client.Disconnect();
    return Lines();
  }

  ListenPort listener;
  int port = FreePort();
  int descriptors = CountOpenDescriptors();
};

TEST_F(ListenPortTest, PortZeroIsRefusedAndABusyPortRetriedUntilGivenUp) {
  ListenPort zero;
  EXPECT_EQ(0, zero.Initialize(0, Serve));
  EXPECT_EQ(std::vector<std::string>{"[ListenPort::_Initialize] : Invalid peiPort number, "
                                     "bad configuration."},
            log->Messages());
  ASSERT_EQ(1, listener.Initialize(port, Serve));  // never started: it only holds the port
  const std::string busy = "[ListenPort::_Initialize] WARNING : Socket bind to " +
                           std::to_string(port) + " failed: (Address already in use).";
  ListenPort refused(3, 50);
  const int64_t start = NowMs();
  EXPECT_EQ(0, refused.Initialize(port, Serve));
  EXPECT_GE(NowMs() - start, 150);
  EXPECT_EQ(3u, Logged(*log, busy));
  EXPECT_EQ("[ListenPort::_Initialize] ERROR : Too many attempts, bind failed.",
            log->Messages().back());
  EXPECT_EQ(1, listener.Delete());  // it never ran: nothing to wait for
  EXPECT_EQ(1u, Logged(*log, "Listen Port Stopped."));
}

// With a short accept queue the SYNs beyond it are dropped and those clients stay unconnected for
// the seconds of their retransmissions; clients that sent and left before the loop took them are
// counted out as they are accepted, so a backlog larger than the client limit costs no refusal.
TEST_F(ListenPortTest, BurstBeforeTheLoopAndThirtyTwoSendersAreServedWhileOthersComeAndGo) {
  listener.SetMaxClients(32);
  ASSERT_EQ(1, listener.Initialize(port, Serve));  // listening, no loop taking clients yet
  constexpr int kBurst = 64;
  std::vector<pollfd> pending;
  for (int i = 0; i < kBurst; ++i) {
    pending.push_back(pollfd{ConnectTcp(port, "127.0.0.1", "127.0.0.1", false), POLLOUT, 0});
  }
  const auto allConnected = [&] {
    poll(pending.data(), pending.size(), 50);
    return std::all_of(pending.begin(), pending.end(), [](const pollfd& one) {
      int error = -1;
      socklen_t length = sizeof error;
      getsockopt(one.fd, SOL_SOCKET, SO_ERROR, &error, &length);
      return (one.revents & POLLOUT) != 0 && error == 0;
    });
  };
  EXPECT_TRUE(WaitUntil(allConnected, 5000));  // a dropped SYN's retry comes seconds later
  for (int i = 0; i < kBurst; ++i) {
    const std::string line = "q" + std::to_string(i) + "\n";
    EXPECT_EQ(static_cast<ssize_t>(line.size()),
              send(pending[i].fd, line.data(), line.size(), MSG_NOSIGNAL));
    close(pending[i].fd);
  }
  ThreadLauncher::_TestAPI_FailNextDetach();  // the loop runs all the same, and Stop waits for it
  ASSERT_EQ(1, listener.StartThread());
  ASSERT_TRUE(WaitUntil([&] { return listener.state.load() == ListenPort::kRunning; }, 2000));
  EXPECT_TRUE(WaitUntil([&] { return lineCount.load() == kBurst; }, 5000)) << lineCount.load();
  EXPECT_TRUE(WaitUntil([&] { return listener.clientCount.load() == 0; }, 5000));
  constexpr int kSenders = 32, kLines = 10000;
  const int64_t start = NowMs();
  std::vector<Cnx> senders;
  for (int i = 1; i <= kSenders; ++i) {  // one by one: a burst would overflow the backlog
    senders.push_back(Client());
    WaitUntil([&] { return listener.clientCount.load() == i; }, 2000);
  }
  std::vector<std::future<void>> senderThreads;
  for (int s = 0; s < kSenders; ++s) {
    senderThreads.push_back(std::async(std::launch::async, [&, s] {
      std::string text;
      for (int n = 0; n < kLines; ++n) {
        text += "s" + std::to_string(s) + "-" + std::to_string(n) + "\n";
      }
      for (size_t at = 0; at < text.size(); at += 997) {
        senders[s].SendPacket(text.substr(at, 997).c_str(), 0, 0, true);
      }
      senders[s].Disconnect();
    }));
  }
  // Meanwhile others come and go: until every line is in and, the senders gone, one of theirs
  // too (at least two seconds).
  const size_t sent = static_cast<size_t>(kSenders) * kLines;
  for (int i = 0;
       NowMs() - start < 2000 || (lineCount.load() <= sent + kBurst && NowMs() - start < 60000);
       ++i) {
    Cnx client = Client();
    client.SendPacket(("c" + std::to_string(i) + "\n").c_str(), 0, 0, true);
    client.Disconnect();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  senderThreads.clear();  // waits for every sender
  ASSERT_TRUE(WaitUntil([&] { return listener.clientCount.load() == 0; }, 5000));
  std::map<char, size_t> byKind;  // 's' sender, 'c' churn, 'q' burst
  for (const auto& [line, count] : Lines()) {
    EXPECT_EQ(1, count) << line;
    ++byKind[line[0]];
  }
  EXPECT_EQ(sent, byKind['s']);
  EXPECT_GT(byKind['c'], 0u);  // served once the senders were gone
}

// Both handed-over sockets are served and neither configured place is bound. Once the handed-over
// TCP socket stops listening no rebuild can succeed: the service ends.
TEST_F(ListenPortTest, HandedOverSocketsAreServedRebuiltAndNeverReplacedByABind) {
  const int managers = ListenOnLoopback(&port, 8);
  TempDir dir;
  sockaddr_un local{AF_UNIX, {}};
  snprintf(local.sun_path, sizeof local.sun_path, "%s", dir.Join("handed.sock").c_str());
  const int managersLocal = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(0, bind(managersLocal, reinterpret_cast<sockaddr*>(&local), sizeof local));
  ASSERT_EQ(0, listen(managersLocal, 8));
  constexpr int kFirst = 300;  // the handover is two descriptors in a row
  ASSERT_TRUE(dup2(managers, kFirst) == kFirst && dup2(managersLocal, kFirst + 1) == kFirst + 1);
  close(managersLocal);
  setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
  setenv("LISTEN_FDS", "2", 1);
  InheritedSocket inherited;
  ASSERT_EQ(InheritedSocket::kAdopted, inherited.TakeFromEnvironment(kFirst));
  const int configured = FreePort();
  ListenPort handed(1, 10);  // a bind, were it tried, would fail at once
  handed.UseInheritedSocket(&inherited);
  handed.SetLocalSocket(dir.Join("configured.sock"));
  Start(handed, configured);
  EXPECT_EQ(1u, Logged(*log, "Listenner started on TCP port " + std::to_string(port)));
  EXPECT_EQ(1u, Logged(*log, "the configured port " + std::to_string(configured) + " is not used"));
  EXPECT_EQ(1u, Logged(*log, "Listenner started on the local socket handed over"));
  EXPECT_EQ(-1, ConnectTcp(configured));
  const int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(0, connect(client, reinterpret_cast<sockaddr*>(&local), sizeof local));
  ASSERT_EQ(6, send(client, "local\n", 6, MSG_NOSIGNAL));
  EXPECT_TRUE(WaitUntil([&] { return Lines().count("local") == 1; }, 5000));
  close(client);

  handed._TestAPI_CloseSocket();
  ASSERT_TRUE(
      WaitUntil([&] { return Logged(*log, "INFO : Listenner socket re-activated") > 0; }, 5000));
  EXPECT_EQ((std::map<std::string, int>{{"local", 1}, {"one", 1}}), Said("one"));
  EXPECT_FALSE(std::filesystem::exists(dir.Join("configured.sock")));
  shutdown(managers, SHUT_RDWR);
  EXPECT_TRUE(WaitUntil([&] { return handed.state.load() == ListenPort::kStopped; }, 5000));
  const std::string byManager =
      "[ListenPort::_Initialize] : Socket handed over by the service manager ";
  EXPECT_EQ(1u, Logged(*log, byManager + "on port " + std::to_string(port) + " is not listening."));
  EXPECT_EQ(1u, Logged(*log, "Unable to re-initialize the Listenner socket"));
  handed.Delete();
  close(managers);

  setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
  setenv("LISTEN_FDS", "3", 1);
  InheritedSocket refused;
  refused.TakeFromEnvironment(-5);
  ListenPort refusing(1, 10);
  refusing.UseInheritedSocket(&refused);
  EXPECT_EQ(0, refusing.Initialize(configured, Serve));
  EXPECT_EQ(ListenPort::kStopped, refusing.state.load());
  EXPECT_EQ(1u, Logged(*log, byManager + "refused: 3 descriptors handed over"));
  EXPECT_EQ(-1, ConnectTcp(configured));
}

// A time-out of silence drops a partial line, two end the connection.
// A command's child holds copies of every descriptor from its fork to its exec: a connection the
// loop closes meanwhile must leave the epoll set all the same, or the peer's next bytes come back
// as an event for a connection already freed (the sanitizer build reports it).
TEST_F(ListenPortTest, RebuiltSocketDropsSilentClientsThoughAChildHoldsThemAndStopClosesAll) {
  listener.SetReadTimeoutMs(1000);
  Start(listener, port);
  listener._TestAPI_CloseSocket();
  ASSERT_TRUE(
      WaitUntil([&] { return Logged(*log, "INFO : Listenner socket re-activated") > 0; }, 5000));
  EXPECT_LT(0u, Logged(*log, "[ListenPort::StartBlock] WARNING : Select failed: ") +
                    Logged(*log, "[ListenPort::StartBlock] WARNING : accept failed: "));
  constexpr int kIdle = 200;
  std::vector<int> idle;
  for (int i = 0; i < kIdle; ++i) {
    idle.push_back(ConnectTcp(port));
  }
  const int64_t idleSince = NowMs();
  const int talker = ConnectTcp(port);
  ASSERT_TRUE(WaitUntil([&] { return listener.clientCount.load() == kIdle + 1; }, 5000));
  const pid_t holder = fork();
  if (holder == 0) {
    sleep(30);
    _exit(0);
  }
  ASSERT_GT(holder, 0);
  ASSERT_EQ(2, send(talker, "ab", 2, 0));
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  ASSERT_EQ(2, send(talker, "c\n", 2, 0));
  EXPECT_TRUE(WaitUntil([&] { return Lines().count("c") == 1; }, 5000));
  EXPECT_EQ(0u, Lines().count("abc"));

  // The talker beats; the idle ones go after two time-outs, not sooner.
  while (listener.clientCount.load() > 1 && NowMs() - idleSince < 6000) {
    ASSERT_EQ(5, send(talker, "beat\n", 5, MSG_NOSIGNAL));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_GE(NowMs() - idleSince, 1900);
  EXPECT_EQ(1, listener.clientCount.load());
  EXPECT_EQ(static_cast<size_t>(kIdle), Logged(*log,
                                               "WARNING : Socket is mute for long time (more "
                                               "than 1 sec), connection will be closed"));
  constexpr int kLate = 5;
  for (int i = 0; i < kLate; ++i) {
    send(idle[i], "late\n", 5, MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(5, send(talker, "next\n", 5, MSG_NOSIGNAL));
  EXPECT_TRUE(WaitUntil([&] { return Lines().count("next") == 1; }, 5000));
  EXPECT_EQ(0u, Lines().count("late"));
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  for (int i = 0; i < kIdle; ++i) {
    char byte;  // the late bytes reset their connections; the others see an orderly end
    EXPECT_TRUE(i < kLate || recv(idle[i], &byte, 1, 0) == 0) << i;
    close(idle[i]);
  }
  std::vector<int> held = {talker};
  for (int i = 0; i < 20; ++i) {
    held.push_back(ConnectTcp(port));
  }
  ASSERT_TRUE(WaitUntil([&] { return listener.clientCount.load() == 21; }, 5000));
  log->Clear();
  const int64_t start = NowMs();
  EXPECT_EQ(1, listener.Stop());
  EXPECT_LT(NowMs() - start, 1000);
  EXPECT_EQ(0, listener.clientCount.load());
  for (int fd : held) {
    char byte;
    EXPECT_EQ(0, recv(fd, &byte, 1, 0)) << "the stop left a connection open";
    close(fd);
  }
  EXPECT_EQ(1u, Logged(*log, "Listen Port Stopped."));
  EXPECT_EQ(0u, Logged(*log, "Select failed") + Logged(*log, "accept failed"));
  EXPECT_EQ(-1, ConnectTcp(port));
}

TEST_F(ListenPortTest, DescriptorLimitIsRaisedForTheClientLimitOrWarnedAbout) {
  rlimit original{};
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &original));
  if (original.rlim_max != RLIM_INFINITY && original.rlim_max < 2000) {
    GTEST_SKIP() << "hard descriptor limit too low to test";
  }
  struct Case {
    int maxClients;
    bool warned;
  } cases[] = {{1024, false}, {1900, false}, {0, true}};
  for (const Case& c : cases) {
    const int clients = c.maxClients != 0                    ? c.maxClients
                        : original.rlim_max == RLIM_INFINITY ? 1 << 30
                                                             : static_cast<int>(original.rlim_max);
    SCOPED_TRACE(clients);
    rlimit low = original;
    low.rlim_cur = 256;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
    log->Clear();
    ListenPort limited(1, 0);
    limited.SetMaxClients(clients);
    // The limit is settled before the bind, so a port another test takes meanwhile decides nothing.
    limited.Initialize(FreePort(), Serve);
    rlimit now{};
    getrlimit(RLIMIT_NOFILE, &now);
    EXPECT_EQ(c.warned ? 1u : 0u, Logged(*log, "leaves room for fewer than WATCHMGR.MAXCLIENTS=" +
                                                   std::to_string(clients)));
    EXPECT_TRUE(c.warned ? now.rlim_cur == original.rlim_max
                         : now.rlim_cur >= static_cast<rlim_t>(clients))
        << now.rlim_cur;
    limited.Delete();
  }
  setrlimit(RLIMIT_NOFILE, &original);
}

// A waiting client left queued would wake the loop again and again.
TEST_F(ListenPortTest, ClientBeyondTheDescriptorLimitIsRefusedAndServiceResumes) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer's runtime takes descriptors of its own, so a limit "
                  "that leaves exactly one free cannot be held to here";
#endif
  Start(listener, port);
  // The test's own sockets exist before the limit is tightened.
  const int first = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int refused = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  rlimit original{};
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &original));
  const int lowestFree = dup(0);
  close(lowestFree);
  rlimit tight = original;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree + 1);  // room for one accept
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &tight));
  ASSERT_EQ(0, connect(first, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_TRUE(WaitUntil([&] { return listener.clientCount.load() == 1; }, 5000));
  ASSERT_EQ(0, connect(refused, reinterpret_cast<sockaddr*>(&address), sizeof address));
  pollfd closed{refused, POLLIN, 0};
  EXPECT_EQ(1, poll(&closed, 1, 5000));
  char byte;
  EXPECT_EQ(0, recv(refused, &byte, 1, MSG_DONTWAIT));
  const std::string tooMany =
      "[ListenPort::StartBlock] WARNING : Connection refused: Too many open files";
  EXPECT_TRUE(WaitUntil([&] { return Logged(*log, tooMany) == 1; }, 5000));
  EXPECT_EQ(1, listener.clientCount.load());
  setrlimit(RLIMIT_NOFILE, &original);
  close(refused);
  close(first);
  EXPECT_EQ((std::map<std::string, int>{{"after", 1}}), Said("after"));
}

}  // namespace
