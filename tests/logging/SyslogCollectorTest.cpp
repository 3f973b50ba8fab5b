#include "CapturingLogDevice.h"
#include "ChildProcess.h"
#include "LogServer.h"
#include "Sleep.h"
#include "TestSockets.h"
#include "TlConfigurationGlobal.h"

namespace {

class SyslogCollectorTest : public ::testing::Test {
 protected:
  // Starts rsyslogd writing "pri|facility|severity|raw message" lines; waits for a probe.
  void SetUp() override {
    const char* binary = "/usr/sbin/rsyslogd";
    ASSERT_EQ(access(binary, X_OK), 0) << "rsyslogd missing: run scripts/install-deps";
    int port = 0;
    close(BindLoopback(SOCK_DGRAM, &port));  // a free port for the collector
    address = {AF_INET, htons(static_cast<in_port_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    dir.WriteFile("c.conf",
                  "global(workDirectory=\"" + dir.path() +
                      "\" net.enableDNS=\"off\" "
                      "parser.escapeControlCharactersOnReceive=\"off\")\nmodule(load=\"imudp\")\n"
                      "input(type=\"imudp\" address=\"127.0.0.1\" port=\"" +
                      std::to_string(port) +
                      "\")\ntemplate(name=\"t\" type=\"string\" string=\"%pri%|"
                      "%syslogfacility%|%syslogseverity%|%rawmsg%\\n\")\n"
                      "action(type=\"omfile\" file=\"" +
                      dir.Join("out") + "\" template=\"t\")\n");
    pid = SpawnClean({binary, "-n", "-C", "-iNONE", "-f", dir.Join("c.conf")}, {},
                     dir.Join("stdout"), dir.Join("stderr"));
    ASSERT_NE(Line("probe", 10000, "<14>probe"), "") << "no probe came through";
  }
  void TearDown() override {
    LogServer::DeleteInstance();
    TlConfigurationGlobal::DeleteInstance();
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }

  // The collected line holding text ("" after timeoutMs), sending probe at each try.
  std::string Line(const std::string& text, int timeoutMs, const char* probe = nullptr) const {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::string found;
    for (int waited = 0; found.empty() && waited < timeoutMs; waited += 20) {
      if (probe != nullptr) {
        sendto(fd, probe, strlen(probe), 0, reinterpret_cast<const sockaddr*>(&address),
               sizeof address);
      }
      Sleep(20);
      std::ifstream lines(dir.Join("out"));
      for (std::string line; found.empty() && std::getline(lines, line);) {
        found = line.find(text) != std::string::npos ? line : "";
      }
    }
    close(fd);
    return found;
  }

  TempDir dir;
  sockaddr_in address{};
  pid_t pid = -1;
};

TEST_F(SyslogCollectorTest, RecordsArriveWithTheirFacilitySeverityAndText) {
  TlConfiguration* conf = TlConfigurationGlobal::Instance().get();
  conf->AtGlobalPut("LOGMANAGER.UDP.SERVER", "localhost");
  conf->AtGlobalPut("LOGMANAGER.UDP.PORT", std::to_string(ntohs(address.sin_port)));
  conf->AtGlobalPut("LOGMANAGER.UDP.FACILITY", "128");  // local0
  LogServer* server = LogServer::Instance();
  CapturingLogDevice::Install(server);  // keeps the console quiet
  ASSERT_TRUE(server->initForConfiguration("VIGILD.0.0"));

  // severity, code, text, "pri|facility|severity|<pri>", severity character and code
  const std::tuple<LogSeverityCode, const char*, const char*, const char*, const char*> cases[] = {
      {Error, "DL30102", "ERROR : check one", "129|16|1|<129>", "F\t[DL30102]"},
      {Info, nullptr, "INFO : check two", "134|16|6|<134>", "I\t[DL30003]"}};
  const std::string facility = "VIGILD.0.0-" + std::to_string(getpid()) + ":0\t";
  for (const auto& [severity, code, text, head, fields] : cases) {
    LogServer::Report(severity, code, std::string("[SyslogCollectorTest::Run] ") + text);
    const std::string line = Line(text, 5000);
    const std::string tail =
        " UTC \t" + facility + fields + "\t[SyslogCollectorTest::Run]\t" + text;
    EXPECT_EQ(line.rfind(head, 0), 0u) << text << " -> " << line;
    EXPECT_EQ(line.size() >= tail.size() ? line.substr(line.size() - tail.size()) : line, tail);
  }
}

}  // namespace
