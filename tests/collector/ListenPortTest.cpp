#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CapturingLogDevice.h"
#include "ClientContext.h"
#include "ListenPort.h"
#include "LogServer.h"
#include "StderrCapture.h"
#include "TlConfigurationGlobal.h"

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto start = Clock::now();
  while (!done()) {
    if (MsSince(start) > timeoutMs) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

enum SocketUse { kBindAnyPort, kListen, kConnect };

// A loopback socket bound to or connected to port, or -1; kBindAnyPort
// ignores port and gives a free one back through it.
int LoopbackSocket(SocketUse use, int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(use == kBindAnyPort ? 0 : port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sockaddr* const raw = reinterpret_cast<sockaddr*>(&address);
  socklen_t length = sizeof address;
  const bool ok = use == kConnect ? connect(fd, raw, length) == 0
                                  : bind(fd, raw, length) == 0 && listen(fd, 1) == 0 &&
                                        getsockname(fd, raw, &length) == 0;
  if (!ok) {
    close(fd);
    return -1;
  }
  port = ntohs(address.sin_port);
  return fd;
}

int FreePort() {
  int port = 0;
  close(LoopbackSocket(kBindAnyPort, port));
  return port;
}

int Connect(int port) { return LoopbackSocket(kConnect, port); }

void Send(int fd, const std::string& text) {
  for (size_t sent = 0; sent < text.size();) {
    const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      return;
    }
    sent += static_cast<size_t>(n);
  }
}

// True when the peer closes fd within timeoutMs without sending anything.
bool ClosedByPeer(int fd, int timeoutMs) {
  pollfd waited{fd, POLLIN, 0};
  char byte;
  return poll(&waited, 1, timeoutMs) == 1 && recv(fd, &byte, 1, 0) <= 0;
}

// A listener whose client routine reads lines with Cnx::ReadLine and counts
// every line it receives.
class LineListener : public ListenPort {
 public:
  using ListenPort::ListenPort;

  static void Serve(void* argument) {
    ClientContext* context = static_cast<ClientContext*>(argument);
    Cnx connection = context->connection;
    LineListener* owner = static_cast<LineListener*>(context->owner);
    delete context;
    if ((fcntl(connection.Socket(), F_GETFD) & FD_CLOEXEC) == 0) {
      owner->inheritable.fetch_add(1);
    }
    char line[64];
    while (true) {
      if (connection.ReadLine(line, sizeof line, 1) == 1) {
        std::lock_guard<std::mutex> lock(owner->mutex);
        ++owner->lines[line];
        ++owner->total;
      } else if (connection.Valid() != 1) {
        break;
      }
    }
    connection.Disconnect();
    owner->clientCount.fetch_sub(1);
  }

  std::map<std::string, int> Lines() {
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
  }
  size_t Total() {
    std::lock_guard<std::mutex> lock(mutex);
    return total;
  }
  bool WaitForLine(const std::string& line) {
    return WaitUntil([&] { return Lines().count(line) == 1; }, 5000);
  }

  std::atomic<int> inheritable{0};  // accepted sockets without close-on-exec

 private:
  std::mutex mutex;  // guards lines and total
  std::map<std::string, int> lines;
  size_t total = 0;
};

class ListenPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log = CapturingLogDevice::Install(LogServer::Instance());
    LogServer::Instance()->setDebugLevelNumber(4);
    descriptors = CountOpenDescriptors();
  }

  void TearDown() override {
    if (listener) {
      listener->Delete();
      EXPECT_TRUE(WaitUntil([&] { return listener->clientCount.load() == 0; }, 5000));
      EXPECT_EQ(0, listener->inheritable.load());
      listener.reset();
    }
    EXPECT_EQ(descriptors, CountOpenDescriptors());
    LogServer::DeleteInstance();
    TlConfigurationGlobal::DeleteInstance();
  }

  void Start() {
    port = FreePort();
    listener = std::make_unique<LineListener>();
    ASSERT_EQ(1, listener->Initialize(port, LineListener::Serve));
    ASSERT_EQ(1, listener->StartThread());
    ASSERT_TRUE(WaitUntil([&] { return listener->state.load() == ListenPort::kRunning; }, 2000));
  }

  // Connects count clients one at a time, each once the previous one is
  // served: a burst would overflow the short accept backlog and cost the
  // clients a second each in connect retries.
  std::vector<int> ConnectServed(int count) {
    std::vector<int> clients;
    const int before = listener->clientCount.load();
    for (int i = 1; i <= count; ++i) {
      clients.push_back(Connect(port));
      WaitUntil([&] { return listener->clientCount.load() >= before + i; }, 2000);
    }
    return clients;
  }

  // Records whose text contains part.
  size_t Logged(const std::string& part) {
    const auto messages = log->Messages();
    return std::count_if(messages.begin(), messages.end(), [&](const std::string& message) {
      return message.find(part) != std::string::npos;
    });
  }
  bool WaitLogged(const std::string& part, int timeoutMs) {
    return WaitUntil([&] { return Logged(part) > 0; }, timeoutMs);
  }

  std::shared_ptr<CapturingLogDevice::Log> log;
  std::unique_ptr<LineListener> listener;
  int port = 0;
  int descriptors = 0;
};

}  // namespace

TEST_F(ListenPortTest, PortZeroIsRefusedBeforeAnyBind) {
  ListenPort unused;
  log->Clear();
  EXPECT_EQ(0, unused.Initialize(0, LineListener::Serve));
  EXPECT_EQ(ListenPort::kStopped, unused.state.load());
  const auto records = log->Records();
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ("[ListenPort::_Initialize] : Invalid peiPort number, bad configuration.",
            records[0].message);
  EXPECT_EQ(Warning, records[0].severity);
  EXPECT_EQ("DL30102", records[0].code);
  EXPECT_EQ("GENERIC", records[0].tag);

  EXPECT_EQ(1, unused.Delete());
  EXPECT_EQ(ListenPort::kStopped, unused.state.load());
  EXPECT_EQ(1u, Logged("Listen Port Stopped."));
}

TEST_F(ListenPortTest, ErrnoTextNamesTheErrorOrGivesItsNumberAndKeepsErrno) {
  const std::pair<int, const char*> cases[] = {{EBADF, "EBADF Bad file number"},
                                               {ENOTCONN, "ENOTCONN Socket is not connected"},
                                               {EPERM, "<unknown, errno=1>"}};
  for (const auto& [number, expected] : cases) {
    std::string text;
    errno = number;
    EXPECT_TRUE(ListenPort::GetLastListennerError(text));
    EXPECT_EQ(expected, text);
    EXPECT_EQ(number, errno);
  }
}

TEST_F(ListenPortTest, BusyPortIsRetriedThenGivenUpOrTakenOnceFreed) {
  port = FreePort();
  const int blocker = LoopbackSocket(kListen, port);
  ASSERT_GE(blocker, 0);
  const std::string busy = "[ListenPort::_Initialize] WARNING : Socket bind to " +
                           std::to_string(port) + " failed: (Address already in use).";
  {
    ListenPort refused(3, 50);
    const auto start = Clock::now();
    EXPECT_EQ(0, refused.Initialize(port, LineListener::Serve));
    EXPECT_GE(MsSince(start), 150);
    EXPECT_EQ(ListenPort::kStopped, refused.state.load());
    EXPECT_EQ(3u, Logged(busy));
    EXPECT_EQ("[ListenPort::_Initialize] ERROR : Too many attempts, bind failed.",
              log->Messages().back());
  }
  log->Clear();
  std::thread release([&] {
    WaitLogged(busy, 2000);
    close(blocker);
  });
  ListenPort patient(100, 20);
  EXPECT_EQ(1, patient.Initialize(port, LineListener::Serve));
  release.join();
  EXPECT_EQ(ListenPort::kCreated, patient.state.load());
  EXPECT_EQ(1u, Logged("Listenner started on TCP port " + std::to_string(port)));
  // No loop ever ran, so there is nothing to wait for.
  patient.Delete();
  EXPECT_EQ(ListenPort::kStopped, patient.state.load());
}

TEST_F(ListenPortTest, ServesEveryLineAndStopsPromptlyWithoutWarning) {
  Start();
  const int client = Connect(port);
  Send(client, "watch\r\nbe\rta\n");
  EXPECT_TRUE(listener->WaitForLine("beta"));
  EXPECT_EQ((std::map<std::string, int>{{"watch", 1}, {"beta", 1}}), listener->Lines());
  close(client);

  const auto start = Clock::now();
  EXPECT_EQ(1, listener->Stop());
  EXPECT_LT(MsSince(start), 3200);
  EXPECT_EQ(ListenPort::kStopped, listener->state.load());
  EXPECT_EQ(1u, Logged("Listen Port Stopped."));
  EXPECT_EQ(0u, Logged("Select failed"));
  EXPECT_EQ(0u, Logged("accept failed"));
  EXPECT_EQ(-1, Connect(port));
}

TEST_F(ListenPortTest, ThirtyThirdClientIsClosedAndTheNextIsServedOnceOneEnds) {
  Start();
  std::vector<int> clients = ConnectServed(32);
  ASSERT_EQ(32, listener->clientCount.load());
  const int refused = Connect(port);
  EXPECT_TRUE(ClosedByPeer(refused, 2000));
  close(refused);
  EXPECT_EQ(1u, Logged("[ListenPort::StartBlock] : Too many clients at the same time, no more "
                       "than 32 allowed"));

  close(clients.back());
  ASSERT_TRUE(WaitUntil([&] { return listener->clientCount.load() == 31; }, 5000));
  clients.back() = Connect(port);
  Send(clients.back(), "served\n");
  EXPECT_TRUE(listener->WaitForLine("served"));
  for (int fd : clients) {
    close(fd);
  }
}

TEST_F(ListenPortTest, BrokenListeningSocketIsRebuiltAndAcceptsAgain) {
  Start();
  listener->_TestAPI_CloseSocket();
  ASSERT_TRUE(WaitLogged("[ListenPort::StartBlock] INFO : Listenner socket re-activated", 5000));
  const auto messages = log->Messages();
  const auto failure = std::find_if(messages.begin(), messages.end(), [](const std::string& m) {
    return m.rfind("[ListenPort::StartBlock] WARNING : Select failed: ", 0) == 0 ||
           m.rfind("[ListenPort::StartBlock] WARNING : accept failed: ", 0) == 0;
  });
  EXPECT_LT(failure - messages.begin(), static_cast<long>(messages.size()) - 1);
  EXPECT_EQ(0, listener->clientCount.load());
  EXPECT_EQ(ListenPort::kRunning, listener->state.load());

  const int client = Connect(port);
  Send(client, "again\n");
  EXPECT_TRUE(listener->WaitForLine("again"));
  close(client);
}

// 32 clients each send 10,000 lines in pieces that cut lines apart, while
// other clients connect, send one line and leave, refused at first and
// served once the senders are done.
TEST_F(ListenPortTest, ThirtyTwoSendersLoseNoLineWhileOthersComeAndGo) {
  constexpr int kSenders = 32;
  constexpr int kLines = 10000;
  Start();
  const auto start = Clock::now();
  std::vector<int> senders = ConnectServed(kSenders);
  ASSERT_EQ(kSenders, listener->clientCount.load());

  std::atomic<bool> churning{true};
  std::atomic<int> churned{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; churning.load(); ++i) {
        const int fd = Connect(port);
        Send(fd, "c" + std::to_string(t) + "-" + std::to_string(i) + "\n");
        close(fd);
        churned.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
  }
  EXPECT_TRUE(WaitLogged("Too many clients at the same time", 5000));
  for (int s = 0; s < kSenders; ++s) {
    threads.emplace_back([&, s] {
      std::string text;
      for (int n = 0; n < kLines; ++n) {
        text += "s" + std::to_string(s) + "-" + std::to_string(n) + "\n";
      }
      for (size_t at = 0; at < text.size(); at += 997) {
        Send(senders[s], text.substr(at, 997));
      }
      close(senders[s]);
    });
  }
  const size_t sent = static_cast<size_t>(kSenders) * kLines;
  EXPECT_TRUE(WaitUntil([&] { return listener->Total() >= sent; }, 60000));
  WaitUntil([&] { return MsSince(start) > 10000; }, 10000);
  churning = false;
  for (auto& thread : threads) {
    thread.join();
  }
  ASSERT_TRUE(WaitUntil([&] { return listener->clientCount.load() == 0; }, 5000));

  const auto lines = listener->Lines();
  size_t senderLines = 0;
  size_t churnLines = 0;
  for (const auto& [line, count] : lines) {
    EXPECT_EQ(1, count) << line;
    (line[0] == 's' ? senderLines : churnLines) += 1;
  }
  EXPECT_EQ(sent, senderLines);
  EXPECT_GT(churnLines, 0u);
  EXPECT_LT(churnLines, static_cast<size_t>(churned.load()));
}
