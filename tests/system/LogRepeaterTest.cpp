#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>

#include "CapturingLogDevice.h"
#include "Cnx.h"
#include "LogRepeater.h"
#include "LogServer.h"
#include "TlConfigurationGlobal.h"

namespace {

// Sends "<context>: <text>" and logs a record of its own, which must neither loop nor hang.
bool Forward(Handle<LogMessage> record, Cnx connection, String context) {
  std::string line = std::string(context.chars()) + ": " + record->getText().chars() + "\n";
  LogServer::Report(Info, "DL31001", "[Forward] INFO : forwarded");
  return connection.SendPacket(line.c_str(), 0, 0, true) > 0;
}

TEST(LogRepeaterTest, NonNullCallbackArmsARepeaterThatForwardsEveryRecord) {
  const auto log = CapturingLogDevice::Install(LogServer::Instance());
  int ends[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends));
  Cnx sender, reader;
  sender.Establish(ends[0], "127.0.0.1", 1);
  reader.Establish(ends[1], "127.0.0.1", 2);
  Handle<LogRepeater> repeater(new LogRepeater);
  EXPECT_FALSE(repeater->setMessageCallback(nullptr, sender, "ctx"));
  EXPECT_FALSE(repeater->ProcessMessage(Handle<LogMessage>(new LogMessage(Info))));
  ASSERT_TRUE(repeater->setMessageCallback(Forward, sender, "ctx"));
  ASSERT_TRUE(LogServer::Instance()->registerLogRepeater(repeater));
  LogServer::Report(Warning, "DL30102", "[Test] ERROR : direct");
  LogServer::Instance()->StartQueueing();
  LogServer::Report(Warning, "DL30102", "[Test] ERROR : queued");
  LogServer::Instance()->Flush();
  char line[128];
  for (const char* expected : {"ctx: [Test] ERROR : direct", "ctx: [Test] ERROR : queued"}) {
    EXPECT_EQ(1, reader.ReadLine(line, sizeof line, 1));
    EXPECT_STREQ(expected, line);
  }
  EXPECT_EQ(0, reader.ReadPacketUnbufferred(line, sizeof line, 0));  // its own records stay home
  EXPECT_EQ(4u, log->Count());  // two records and two of the callback's
  LogServer::DeleteInstance();
  TlConfigurationGlobal::DeleteInstance();
  sender.Disconnect();
  reader.Disconnect();
}

}  // namespace
