#include "Cnx.h"
#include "DaemonShutdown.h"
#include "LoggedCount.h"
#include "OrderSession.h"
#include "TlConfigurationGlobal.h"

namespace {

int exitStatus = -1;  // what the shutdown passed to its exit function
void RecordExit(int status) { exitStatus = status; }

class WatchMgrDaemonTest : public LoggingTest {
 protected:
  void TearDown() override {
    pepoWatchedList = nullptr;
    LogServer::DeleteInstance();
    TlConfigurationGlobal::DeleteInstance();
  }

  WatchedList list;
};

// The daemon's own client routine behind a real listener. Every connection that ends gives its slot
// back. An event loop that will not end (its order waits for the table) makes the shutdown end the
// process early: an error must never turn into status 0.
TEST_F(WatchMgrDaemonTest,
       ConnectionsBeyondTheClientLimitStillRegisterAndAStuckShutdownKeepsStatus) {
  LogServer::Instance()->setAcceptSeverityUpTo(Debug2);  // a record for each order carried out
  pepoWatchedList = &list;
  const auto orders = [&] { return Logged(*log, "Creating order"); };
  for (int status : {1, 0}) {
    SCOPED_TRACE(status);
    log->Clear();  // the last round's loop thread has ended
    ListenPort* listener = new ListenPort();
    const int port = FreePort();
    listener->SetMaxClients(32);
    ASSERT_EQ(1, listener->Initialize(port, OrderSession::Make));
    ASSERT_EQ(1, listener->StartThread());
    ASSERT_TRUE(WaitUntil([&] { return listener->state.load() == ListenPort::kRunning; }, 5000));
    for (int i = 0; i < 40; ++i) {
      Cnx client;
      ASSERT_EQ(1, client.Establish("127.0.0.1", port, true));
      client.SendPacket("BEGINMSG\npid: 1\nEND;\n", 0, 0, true);
      client.Disconnect();
      WaitUntil([&] { return orders() == i + 1u && listener->clientCount.load() == 0; }, 2000, 1);
    }
    list.Lock();
    Cnx client;
    client.Establish("127.0.0.1", port, true);
    const std::string order = "BEGINWATCH\npid: " + std::to_string(getpid()) +
                              "\npsname: last\npsstart: \npsstop: \nEND;\n";
    client.SendPacket(order.c_str(), 0, 0, true);
    ASSERT_TRUE(WaitUntil([&] { return listener->clientCount.load() == 1; }, 5000));
    // Heartbeats all done, the loop thread records this order, then can only wait for the lock.
    ASSERT_TRUE(WaitUntil([&] { return orders() == 41; }, 5000));
    WatchedList* noList = nullptr;
    EXPECT_EQ(0, DaemonShutdown::Run(listener, noList, status, 300, RecordExit));
    EXPECT_EQ(status, exitStatus);
    list.Unlock();
    EXPECT_TRUE(WaitUntil([&] { return list.Size() == 1; }, 5000));
    EXPECT_TRUE(WaitUntil([&] { return listener->state.load() == ListenPort::kStopped; }, 5000));
    EXPECT_EQ(1, listener->Stop());
    EXPECT_EQ(0, listener->clientCount.load());
    delete listener;
    client.Disconnect();
  }
}

}  // namespace
