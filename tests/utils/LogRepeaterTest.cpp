#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <string>

#include "CapturingLogDevice.h"
#include "Cnx.h"
#include "LogRepeater.h"
#include "LogServer.h"
#include "StderrCapture.h"
#include "TlConfigurationGlobal.h"

namespace {

std::atomic<int> calls{0};

// Sends "<context>: <text>" as a line over the repeater's connection and
// logs a record of its own, which must neither come back to it nor hang.
bool Forward(Handle<LogMessage> record, Cnx connection, String context) {
  calls++;
  std::string line = std::string(context.chars()) + ": " + record->getText().chars() + "\n";
  LogServer::Report(Info, "DL31001", "[Forward] INFO : forwarded");
  return connection.SendPacket(line.c_str(), 0, 0, true) > 0;
}

bool Refuse(Handle<LogMessage>, Cnx, String) {
  calls++;
  return false;
}

class LogRepeaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    calls = 0;
    descriptors = CountOpenDescriptors();
    log = CapturingLogDevice::Install(LogServer::Instance());
    int ends[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends));
    sender.Establish(ends[0], "127.0.0.1", 1);
    reader.Establish(ends[1], "127.0.0.1", 2);
  }
  void TearDown() override {
    LogServer::DeleteInstance();
    TlConfigurationGlobal::DeleteInstance();
    sender.Disconnect();
    reader.Disconnect();
    EXPECT_EQ(descriptors, CountOpenDescriptors());
  }

  static void Log(const char* text) { LogServer::Report(Warning, "DL30102", text); }

  int descriptors = 0;
  std::shared_ptr<CapturingLogDevice::Log> log;
  Cnx sender, reader;
};

TEST_F(LogRepeaterTest, OnlyANonNullCallbackArmsARepeaterAndOneFailureDisarmsIt) {
  LogRepeater repeater;
  Handle<LogMessage> record(new LogMessage(Info));
  EXPECT_FALSE(repeater.setMessageCallback(nullptr, sender, "ctx"));
  EXPECT_FALSE(repeater.ProcessMessage(record));
  EXPECT_TRUE(repeater.setMessageCallback(Refuse, sender, "ctx"));
  EXPECT_FALSE(repeater.ProcessMessage(record));
  EXPECT_FALSE(repeater.ProcessMessage(record));
  EXPECT_EQ(1, calls.load());
}

TEST_F(LogRepeaterTest, ArmedRepeaterForwardsEveryRecordInBothModes) {
  Handle<LogRepeater> repeater(new LogRepeater);
  ASSERT_TRUE(repeater->setMessageCallback(Forward, sender, "ctx"));
  ASSERT_TRUE(LogServer::Instance()->registerLogRepeater(repeater));
  Log("[Test] ERROR : direct");
  LogServer::Instance()->StartQueueing();
  Log("[Test] ERROR : queued");
  EXPECT_EQ(1, calls.load());  // the queued record waits for the drain
  LogServer::Instance()->Flush();
  char line[128];
  for (const char* expected : {"ctx: [Test] ERROR : direct", "ctx: [Test] ERROR : queued"}) {
    ASSERT_EQ(1, reader.ReadLine(line, sizeof line, 1));
    EXPECT_STREQ(expected, line);
  }
  EXPECT_EQ(0, reader.ReadPacketUnbufferred(line, sizeof line, 0));  // its own records stay home
  EXPECT_EQ(2, calls.load());
  EXPECT_EQ(4u, log->Count());  // two records and two of the callback's
  EXPECT_EQ(2, repeater->RefCount());
}

TEST_F(LogRepeaterTest, FailingRepeaterIsDroppedByTheServerInBothModes) {
  for (bool queued : {false, true}) {
    SCOPED_TRACE(queued);
    calls = 0;
    LogServer::DeleteInstance();
    LogServer* server = LogServer::Instance();
    log = CapturingLogDevice::Install(server);
    Handle<LogRepeater> failing(new LogRepeater), forwarding(new LogRepeater);
    failing->setMessageCallback(Refuse, sender, "");
    forwarding->setMessageCallback(Forward, sender, "ok");
    server->registerLogRepeater(failing);
    server->registerLogRepeater(forwarding);
    if (queued) {
      server->StartQueueing();
    }
    Log("one");
    Log("two");
    server->Flush();
    EXPECT_EQ(3, calls.load());  // the failing one once, the other twice
    EXPECT_EQ(1, failing->RefCount());
    EXPECT_EQ(2, forwarding->RefCount());
    char line[64];
    for (const char* expected : {"ok: one", "ok: two"}) {
      ASSERT_EQ(1, reader.ReadLine(line, sizeof line, 1));
      EXPECT_STREQ(expected, line);
    }
  }
}

}  // namespace
