#include "LogDeviceUDP.h"
#include "StderrCapture.h"
#include "TestSockets.h"

namespace {

TEST(LogDeviceUDPTest, DatagramIsPriorityAndTabSeparatedFieldsAndAnUnusableServerGetsNone) {
  int port = 0;
  const int fd = BindLoopback(SOCK_DGRAM, &port);
  ASSERT_GE(fd, 0);
  const timeval timeout{0, 500000};  // how long a receive waits
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  char buffer[65536];
  const auto received = [&] {
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    return std::string(buffer, got > 0 ? static_cast<size_t>(got) : 0);
  };
  const std::string head = "2026.12.04-10.11.12 UTC \tVIGILD.0.0-42:3\t";
  // severity, facility, code, message, datagram (an empty code leaves two adjacent tabs)
  const std::tuple<LogSeverityCode, unsigned, const char*, const char*, std::string> cases[] = {
      {Debug1, 8, "", "m", "<15>" + head + "1\t\t[ListenPort::StartBlock]\tm"},
      {Error, 8, "DL30000", "m", "<9>" + head + "F\t[DL30000]\t[ListenPort::StartBlock]\tm"},
      {Info, 128, "", "INFO : two\nlines\n",
       "<134>" + head + "I\t\t[ListenPort::StartBlock]\tINFO : two lines "}};
  for (const auto& [severity, facility, code, message, datagram] : cases) {
    Handle<LogMessage> record(new LogMessage(severity, 1796379072u, "VIGILD.0.0-42:3", code,
                                             "[ListenPort::StartBlock]", message));
    LogDeviceUDP device;
    EXPECT_TRUE(device.Init("127.0.0.1", port, facility));
    EXPECT_TRUE(device.ProcessMessage(record, false));
    EXPECT_EQ(received(), datagram);
  }
  // A bad dotted address fails without asking DNS; the last server has no port. Either way the
  // device sends nothing and says nothing, however many records come.
  StderrCapture err;
  StdoutCapture out;
  const int descriptors = CountOpenDescriptors();
  for (const char* server : {"999.999.999.999", "", "127.0.0.1"}) {
    SCOPED_TRACE(server);
    LogDeviceUDP device;
    EXPECT_TRUE(device.Init(server, server[0] == '1' ? 0 : port, 8));
    EXPECT_EQ(CountOpenDescriptors(), descriptors);  // its socket is closed at once
    Handle<LogMessage> record(new LogMessage(Error));
    EXPECT_TRUE(device.ProcessMessage(record, true));
  }
  EXPECT_EQ(received(), "");  // nothing within the half-second timeout
  EXPECT_EQ(err.Stop() + out.Stop(), "");
  close(fd);
}

}  // namespace
