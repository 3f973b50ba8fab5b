#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "LogDeviceUDP.h"
#include "StderrCapture.h"
#include "TlConfigurationGlobal.h"

namespace {

// 2026-12-04 10:11:12 UTC.
constexpr unsigned kWhen = 1796379072u;

class LogDeviceUDPTest : public ::testing::Test {
 protected:
  // A datagram socket on an ephemeral loopback port stands for the collector.
  LogDeviceUDPTest() : fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    port = ntohs(address.sin_port);
  }
  ~LogDeviceUDPTest() override {
    close(fd);
    TlConfigurationGlobal::DeleteInstance();
  }

  // The next datagram, or "<none>" after timeoutMs.
  std::string Receive(int timeoutMs = 2000) {
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char buffer[65536];
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    return got < 0 ? "<none>" : std::string(buffer, static_cast<size_t>(got));
  }

  // What the collector gets for one record sent through a new device.
  std::string Send(LogSeverityCode severity, const char* code, const std::string& message,
                   unsigned facility = 8) {
    Handle<LogMessage> record(new LogMessage(severity, kWhen, "VIGILD.0.0-42:3", code,
                                             "[ListenPort::StartBlock]", message.c_str()));
    LogDeviceUDP device;
    EXPECT_TRUE(device.Init("127.0.0.1", port, facility));
    EXPECT_TRUE(device.ProcessMessage(record, false));
    return Receive();
  }

  int fd;
  unsigned short port = 0;
};

TEST_F(LogDeviceUDPTest, PriorityIsSyslogSeverityOrFacility) {
  const struct {
    LogSeverityCode severity;
    unsigned facility;
    const char* start;
  } cases[] = {{Debug1, 8, "<15>"}, {Error, 8, "<9>"},    {Info, 128, "<134>"},
               {Fatal, 0, "<1>"},   {Warning, 8, "<12>"}, {NoSeverity, 16, "<23>"}};
  for (const auto& c : cases) {
    EXPECT_EQ(Send(c.severity, "", "m", c.facility).rfind(c.start, 0), 0u) << c.start;
  }
}

TEST_F(LogDeviceUDPTest, PayloadIsTabSeparatedFieldsOnOneLine) {
  const std::string head = "2026.12.04-10.11.12 UTC \tVIGILD.0.0-42:3\t";
  EXPECT_EQ(Send(Warning, "DL30102", "WARNING : accept failed"),
            "<12>" + head + "W\t[DL30102]\t[ListenPort::StartBlock]\tWARNING : accept failed");
  // No code: two adjacent tabs. Newlines become blanks.
  EXPECT_EQ(Send(Info, "", "INFO : two\nlines\n"),
            "<14>" + head + "I\t\t[ListenPort::StartBlock]\tINFO : two lines ");
}

TEST_F(LogDeviceUDPTest, LongPayloadIsCutUnlessLongLinesAreAllowed) {
  const size_t head = Send(Info, "", "").size();  // the fields before the message
  const struct {
    size_t length;
    bool allowLong;
    bool cut;
  } cases[] = {{2047, false, false}, {2048, false, true}, {5000, false, true}, {5000, true, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    TlConfigurationGlobal::Instance()->AtGlobalPut("DIAG.LOG.ALLOWLONGLINES",
                                                   c.allowLong ? "true" : "false");
    const std::string got = Send(Info, "", std::string(c.length - head, 'x'));
    const std::string note = " ... (Truncated from " + std::to_string(c.length) + ")";
    EXPECT_EQ(got.size(), c.cut ? 2043 + note.size() : c.length);
    EXPECT_EQ(got.substr(2042), "x" + (c.cut ? note : std::string(c.length - 2043, 'x')));
  }
}

TEST_F(LogDeviceUDPTest, UnusableServerGivesADeviceThatSendsNothing) {
  const int descriptors = CountOpenDescriptors();
  // A numeric-looking name fails without asking DNS; the last one has an
  // address but no port.
  for (const char* server : {"999.999.999.999", "", "127.0.0.1"}) {
    SCOPED_TRACE(server);
    LogDeviceUDP device;
    EXPECT_TRUE(device.Init(server, server[0] == '1' ? 0 : port, 8));
    EXPECT_EQ(CountOpenDescriptors(), descriptors);  // its socket is closed at once
    Handle<LogMessage> record(new LogMessage(Error));
    EXPECT_TRUE(device.ProcessMessage(record, true));
  }
  EXPECT_EQ(Receive(100), "<none>");
}

}  // namespace
