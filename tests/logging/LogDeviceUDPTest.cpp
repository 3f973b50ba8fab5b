#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <tuple>

#include "CapturingLogDevice.h"
#include "LogDeviceUDP.h"
#include "LogServer.h"
#include "StderrCapture.h"
#include "TestSockets.h"
#include "TlConfigurationGlobal.h"

namespace {

class LogDeviceUDPTest : public ::testing::Test {
 protected:
  // A datagram socket on an ephemeral loopback port stands for the collector.
  LogDeviceUDPTest() : fd(BindLoopback(SOCK_DGRAM, &port)) {
    EXPECT_GE(fd, 0);
    const timeval timeout{0, 500000};  // how long a receive waits
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  ~LogDeviceUDPTest() override {
    close(fd);
    LogServer::DeleteInstance();
    TlConfigurationGlobal::DeleteInstance();
  }

  std::string Received() {
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    return std::string(buffer, got > 0 ? static_cast<size_t>(got) : 0);
  }

  int port = 0;
  int fd;
  char buffer[65536];
};

TEST_F(LogDeviceUDPTest, PriorityAndTabSeparatedFieldsMakeTheDatagram) {
  const std::string head = "2026.12.04-10.11.12 UTC \tVIGILD.0.0-42:3\t";
  // severity, facility, code, message, datagram (an empty code leaves two adjacent tabs)
  const std::tuple<LogSeverityCode, unsigned, const char*, const char*, std::string> cases[] = {
      {Debug1, 8, "", "m", "<15>" + head + "1\t\t[ListenPort::StartBlock]\tm"},
      {Error, 8, "DL30000", "m", "<9>" + head + "F\t[DL30000]\t[ListenPort::StartBlock]\tm"},
      {Info, 128, "", "INFO : two\nlines\n",
       "<134>" + head + "I\t\t[ListenPort::StartBlock]\tINFO : two lines "},
  };
  for (const auto& [severity, facility, code, message, datagram] : cases) {
    Handle<LogMessage> record(new LogMessage(severity, 1796379072u, "VIGILD.0.0-42:3", code,
                                             "[ListenPort::StartBlock]", message));
    LogDeviceUDP device;
    EXPECT_TRUE(device.Init("127.0.0.1", port, facility));
    EXPECT_TRUE(device.ProcessMessage(record, false));
    EXPECT_EQ(Received(), datagram);
  }
}

// The collector is named by host name; the facility is ORed in as configured.
TEST_F(LogDeviceUDPTest, ServerConfiguredForACollectorSendsItEveryRecord) {
  TlConfiguration* conf = TlConfigurationGlobal::Instance().get();
  conf->AtGlobalPut("LOGMANAGER.UDP.SERVER", "localhost");
  conf->AtGlobalPut("LOGMANAGER.UDP.PORT", std::to_string(port));
  conf->AtGlobalPut("LOGMANAGER.UDP.FACILITY", "128");  // local0
  LogServer* server = LogServer::Instance();
  CapturingLogDevice::Install(server);  // keeps the console quiet
  ASSERT_TRUE(server->initForConfiguration("VIGILD.0.0"));
  const std::string facility = " UTC \tVIGILD.0.0-" + std::to_string(getpid()) + ":0\t";
  // severity, code, priority, the fields after the facility
  const std::tuple<LogSeverityCode, const char*, std::string, std::string> cases[] = {
      {Error, "DL30102", "<129>", "F\t[DL30102]\t[Run]\tERROR : one"},
      {Info, nullptr, "<134>", "I\t[DL30003]\t[Run]\tINFO : two"},
  };
  for (const auto& [severity, code, priority, fields] : cases) {
    LogServer::Report(severity, code, "[Run] " + fields.substr(fields.rfind('\t') + 1));
    const std::string datagram = Received(), tail = facility + fields;
    EXPECT_EQ(datagram.substr(0, priority.size()), priority) << datagram;
    EXPECT_EQ(datagram.substr(datagram.size() - std::min(datagram.size(), tail.size())), tail);
  }
}

TEST_F(LogDeviceUDPTest, UnusableServerGivesADeviceThatSendsNothing) {
  const int descriptors = CountOpenDescriptors();
  // A bad dotted address fails without asking DNS; the last server has no port.
  for (const char* server : {"999.999.999.999", "", "127.0.0.1"}) {
    SCOPED_TRACE(server);
    LogDeviceUDP device;
    EXPECT_TRUE(device.Init(server, server[0] == '1' ? 0 : port, 8));
    EXPECT_EQ(CountOpenDescriptors(), descriptors);  // its socket is closed at once
    Handle<LogMessage> record(new LogMessage(Error));
    EXPECT_TRUE(device.ProcessMessage(record, true));
  }
  EXPECT_EQ(Received(), "");  // nothing within the half-second timeout
}

}  // namespace
