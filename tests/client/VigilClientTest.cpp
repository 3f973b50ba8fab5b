// The client's orders as the daemon's own parser reads them, its refusals,
// its time-outs and its one reconnection.
#include "LogServer.h"
#include "TestCommon.h"
#include "TestSockets.h"
#include "VigilClient.h"
#include "WatchASCIIOrder.h"

namespace {

// Feeds text line by line to a fresh parser; true when the last line
// completed exactly one block.
bool ParseBlock(const std::string& text, WatchASCIIOrder* order) {
  std::istringstream lines(text);
  int completed = 0;
  for (std::string line; std::getline(lines, line);) {
    String current(line.c_str());
    completed += order->ProcessLine(current);
  }
  return completed == 1 && order->Complete() == 1;
}

class Listener {
 public:
  Listener() : fd(ListenOnLoopback(&port, 8)) {}
  ~Listener() { close(fd); }
  // What the next connection within 2 s brings until it is quiet for 300 ms. The connection is
  // then closed, as the daemon does after its read time-out.
  std::string Next() {
    const int connection = AcceptWithin(fd, 2000);
    std::string text;
    char buffer[4096];
    pollfd ready{connection, POLLIN, 0};
    for (ssize_t n; connection >= 0 && poll(&ready, 1, 300) == 1 &&
                    (n = recv(connection, buffer, sizeof buffer, 0)) > 0;) {
      text.append(buffer, static_cast<size_t>(n));
    }
    close(connection);
    return text;
  }
  int port = 0;
  int fd;
};

VigilClient::WatchRequest Request() {
  return {4711, "web", "'/usr/bin/vigilctl' run -- python3 -m http.server 8000", "kill 4711"};
}

}  // namespace

TEST(VigilClientTest, DaemonParserReadsBackWhatTheClientWrites) {
  const std::tuple<int, int, int, int, int> cases[] = {
      {-1, -1, -1, -1, -1}, {10, -1, -1, -1, -1}, {2, 50000, 1000, 150, 3}, {0, 0, 0, 0, 0}};
  for (const auto& c : cases) {
    VigilClient::WatchRequest request = Request();
    std::tie(request.wdfreq, request.maxwset, request.minwset, request.wsetincr,
             request.maxerrors) = c;
    std::string text, error;
    ASSERT_TRUE(VigilClient::WatchText(request, &text, &error)) << error;
    WatchASCIIOrder order;
    ASSERT_TRUE(ParseBlock(text, &order)) << text;
    ASSERT_EQ(WatchASCIIOrder::ServiceWatch, order.Type());
    ProcessInfo info;
    WatchSettings settings;
    ASSERT_EQ(1, order.ProcessInfoFromBody(info));
    order.WatchSettingsFromBody(settings);
    EXPECT_EQ(
        std::make_tuple(4711, "web|" + request.start + "|kill 4711"),
        std::make_tuple(info.pid, std::string(settings.psName.chars()) + "|" +
                                      settings.psStart.chars() + "|" + settings.psStop.chars()));
    EXPECT_EQ(std::make_tuple(request.wdfreq != -1, request.maxerrors != -1),
              std::make_tuple(settings.heartbeatOn == 1, settings.errorsOn == 1))
        << text;
    EXPECT_EQ(c, std::make_tuple(settings.heartbeatOn == 1 ? settings.wdFreq : -1, settings.maxWSet,
                                 settings.minWSet, settings.wsetIncr,
                                 settings.errorsOn == 1 ? settings.maxErrors : -1));
  }

  // The report of an end is a heartbeat to a daemon that reads no psdown.
  for (const std::string& text : {VigilClient::BeatText(4711, 12000, 9000, 2),
                                  VigilClient::DownText(4711, 12000, 9000, 2, "signal 9")}) {
    WatchASCIIOrder order;
    ProcessInfo info;
    ASSERT_TRUE(ParseBlock(text, &order)) << text;
    ASSERT_EQ(WatchASCIIOrder::ServiceMsg, order.Type());
    ASSERT_EQ(1, order.ProcessInfoFromBody(info));
    EXPECT_EQ(std::make_tuple(4711, 12000, 9000, 2),
              std::make_tuple(info.pid, info.psWSet, info.psNomWSet, info.psErrors));
  }

  LogServer::DeleteInstance();
}

TEST(VigilClientTest, TextThatWouldInjectOrEndAnOrderIsRefusedAndNothingIsSent) {
  Listener daemon;
  const std::string refused[] = {"a\nBEGINMGMT",
                                 "a\rb",
                                 std::string("a\0b", 3),
                                 "backend.exe",
                                 "the END;",
                                 "x ENd,",
                                 std::string(VigilClient::kMaxText + 1, 'a')};
  for (const std::string& text : refused) {
    for (int field = 0; field < 3; ++field) {
      VigilClient::WatchRequest request = Request();
      (field == 0 ? request.name : field == 1 ? request.start : request.stop) = text;
      VigilClient client("127.0.0.1", daemon.port, 1000);
      EXPECT_EQ(VigilClient::kInvalid, client.Watch(request)) << field << ": " << text;
      EXPECT_FALSE(client.LastError().empty());
    }
  }
  VigilClient client("127.0.0.1", daemon.port, 1000);
  EXPECT_EQ(VigilClient::kInvalid, client.Watch({0, "web", "start", "stop"}));
  EXPECT_EQ(VigilClient::kInvalid, client.Beat(0, 1, 1, 1));
  EXPECT_EQ(VigilClient::kInvalid, client.Down(0, 1, 1, 1, "probe"));
  EXPECT_EQ(VigilClient::kInvalid, client.Reset(""));
  EXPECT_EQ(VigilClient::kInvalid, client.Reset("a\nBEGINMGMT"));
  EXPECT_EQ(-1, AcceptWithin(daemon.fd, 200)) << "a refused order opened a connection";
}

// A connection the daemon closed is replaced before the order goes. A daemon that stops reading
// fills the connection until a send times out, maybe after part of a block: that block goes
// again, whole, on a new connection, and the caller sees no failure.
TEST(VigilClientTest, ClosedOrStalledConnectionIsReplacedAndTheBlockSentWholeOnANewOne) {
  Listener daemon;
  const int small = 4096;
  setsockopt(daemon.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  VigilClient closed("127.0.0.1", daemon.port, 2000);
  ASSERT_EQ(VigilClient::kOk, closed.Beat(77, 1, 2, 3));
  EXPECT_EQ(VigilClient::BeatText(77, 1, 2, 3), daemon.Next());
  ASSERT_EQ(VigilClient::kOk, closed.Forget(77));
  EXPECT_EQ(VigilClient::ForgetText(77), daemon.Next());
  EXPECT_EQ(2, closed.Connections());

  VigilClient client("127.0.0.1", daemon.port, 300);
  ASSERT_EQ(VigilClient::kOk, client.Connect());
  const int stalled = AcceptWithin(daemon.fd, 2000);
  ASSERT_GE(stalled, 0);
  int beat = 0;
  while (client.Connections() == 1 && beat < 1000000) {
    ASSERT_EQ(VigilClient::kOk, client.Beat(77, ++beat, 2, 3)) << client.LastError();
  }
  EXPECT_EQ(2, client.Connections());
  EXPECT_EQ(VigilClient::BeatText(77, beat, 2, 3), daemon.Next());
  close(stalled);
}

TEST(VigilClientTest, SilentDaemonIsReportedUnreachableWithinTheTimeOut) {
  // A listener whose queue is full drops new handshakes: the connect
  // time-out ends the call instead of a wait for ever.
  Listener full;
  listen(full.fd, 0);
  std::vector<int> queued;
  for (int i = 0; i < 4; ++i) {
    queued.push_back(ConnectTcp(full.port, "127.0.0.1", "127.0.0.1", false));
  }
  const auto begin = std::chrono::steady_clock::now();
  VigilClient silent("127.0.0.1", full.port, 300);
  EXPECT_EQ(VigilClient::kUnreachable, silent.Connect());
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
  EXPECT_EQ("cannot connect to 127.0.0.1:" + std::to_string(full.port) + ": Connection timed out",
            silent.LastError());
  for (int fd : queued) {
    close(fd);
  }
}

// A one-shot client that closed at once could have its last order reset away
// before the daemon read it: it ends its sending side, and only the daemon's
// close, 300 ms after it saw that end, lets Finish return.
TEST(VigilClientTest, FinishEndsTheSendingSideAndReturnsOnlyOnceTheDaemonCloses) {
  Listener daemon;
  std::string received;
  int64_t closedAt = 0;
  std::thread peer([&] {
    const int connection = AcceptWithin(daemon.fd, 2000);
    char buffer[4096];
    for (ssize_t n; (n = recv(connection, buffer, sizeof buffer, 0)) > 0;) {
      received.append(buffer, static_cast<size_t>(n));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    closedAt = NowMs();
    close(connection);
  });
  VigilClient client("127.0.0.1", daemon.port, 3000);
  EXPECT_EQ(VigilClient::kOk, client.Beat(77, 1, 2, 3));
  client.Finish();
  const int64_t finished = NowMs();
  peer.join();
  EXPECT_EQ(VigilClient::BeatText(77, 1, 2, 3), received);
  EXPECT_GE(finished, closedAt);
  EXPECT_LT(finished - closedAt, 1000) << "Finish waited for its time-out";
  EXPECT_EQ(-1, client.Fd());
}
