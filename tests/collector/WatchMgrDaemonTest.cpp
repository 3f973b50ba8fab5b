#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "CapturingLogDevice.h"
#include "Cnx.h"
#include "DaemonShutdown.h"
#include "ListenPort.h"
#include "LogServer.h"
#include "OrderSession.h"
#include "TestWaits.h"
#include "TlConfigurationGlobal.h"
#include "WatchedList.h"

namespace {

// The listener with the daemon's client routine, running; polled more often than the daemon does.
bool StartListener(ListenPort* listener, int port) {
  return listener->Initialize(port, OrderSession::Make) == 1 && listener->StartThread() == 1 &&
         WaitUntil([&] { return listener->state.load() == ListenPort::kRunning; }, 5000);
}

int exitStatus = -1;  // what the shutdown passed to its exit function
void RecordExit(int status) { exitStatus = status; }

// The daemon's own client routine behind a real listener, with a table.
class WatchMgrDaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log = CapturingLogDevice::Install(LogServer::Instance());
    pepoWatchedList = &list;
    port = FreePort();
    listener.SetMaxClients(32);
    ASSERT_TRUE(StartListener(&listener, port));
  }
  void TearDown() override {
    EXPECT_EQ(1, listener.Delete());
    EXPECT_EQ(0, listener.clientCount.load());
    pepoWatchedList = nullptr;
    LogServer::DeleteInstance();
    TlConfigurationGlobal::DeleteInstance();
  }
  Cnx Client() {
    Cnx client;
    client.Establish("127.0.0.1", port, true);
    return client;
  }

  std::shared_ptr<CapturingLogDevice::Log> log;
  WatchedList list;
  ListenPort listener;
  int port = 0;
};

// Every connection that ends gives its slot back.
TEST_F(WatchMgrDaemonTest, ConnectionsBeyondTheClientLimitOneAfterAnotherStillRegister) {
  for (int i = 0; i < 40; ++i) {
    Cnx client = Client();
    ASSERT_NE(-1, client.Socket());
    client.SendPacket("BEGINMSG\npid: 1\nEND;\n", 0, 0, true);
    client.Disconnect();
    WaitUntil([&] { return listener.clientCount.load() == 0; }, 2000);
  }
  Cnx client = Client();
  const std::string order = "BEGINWATCH\npid: " + std::to_string(getpid()) +
                            "\npsname: last\npsstart: \npsstop: \nEND;\n";
  client.SendPacket(order.c_str(), 0, 0, true);
  EXPECT_TRUE(WaitUntil([&] { return list.Size() == 1; }, 5000));
  client.Disconnect();
}

// An event loop that will not end (its order waits for the table) makes the shutdown end the
// process early: an error must never turn into status 0.
TEST_F(WatchMgrDaemonTest, ShutdownThatCannotWaitForAClientExitsWithItsPathsStatus) {
  for (int status : {1, 0}) {
    SCOPED_TRACE(status);
    ListenPort* ending = new ListenPort();
    const int endingPort = FreePort();
    ASSERT_TRUE(StartListener(ending, endingPort));
    list.Lock();
    Cnx client;
    client.Establish("127.0.0.1", endingPort, true);
    client.SendPacket("BEGINMSG\npid: 1\nEND;\n", 0, 0, true);
    ASSERT_TRUE(WaitUntil([&] { return ending->clientCount.load() == 1; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the order reaches the lock
    WatchedList* noList = nullptr;
    exitStatus = -1;
    EXPECT_EQ(0, DaemonShutdown::Run(ending, noList, status, 300, RecordExit));
    EXPECT_EQ(status, exitStatus);
    list.Unlock();
    EXPECT_TRUE(WaitUntil([&] { return ending->state.load() == ListenPort::kStopped; }, 5000));
    EXPECT_EQ(1, ending->Stop());
    EXPECT_EQ(0, ending->clientCount.load());
    delete ending;
    client.Disconnect();
  }
}

}  // namespace
