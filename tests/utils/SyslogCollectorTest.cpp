// End to end: records logged through the log server reach a real syslog
// collector (rsyslogd on a free loopback port, with a private configuration)
// with the right facility, severity and text.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "CapturingLogDevice.h"
#include "LogServer.h"
#include "Sleep.h"
#include "TempDir.h"
#include "TlConfigurationGlobal.h"

extern char** environ;

namespace {

sockaddr_in Loopback(unsigned short port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// One rsyslogd writing every datagram it gets as "pri|facility|severity|raw
// message" lines. Stopped (SIGTERM, SIGKILL after 5 s) with the object.
class Collector {
 public:
  explicit Collector(const TempDir& tempDir) : dir(tempDir) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    port = ntohs(address.sin_port);
  }
  ~Collector() {
    if (pid <= 0) {
      return;
    }
    kill(pid, SIGTERM);
    for (int waited = 0; waited < 5000 && waitpid(pid, nullptr, WNOHANG) != pid; waited += 20) {
      Sleep(20);
    }
    if (kill(pid, SIGKILL) == 0) {
      waitpid(pid, nullptr, 0);
    }
  }

  // Starts it and waits until a probe comes out; "" when ready, else why not.
  std::string Start() {
    std::string binary;
    for (const char* candidate : {"/usr/sbin/rsyslogd", "/sbin/rsyslogd", "/usr/bin/rsyslogd"}) {
      if (binary.empty() && access(candidate, X_OK) == 0) {
        binary = candidate;
      }
    }
    if (binary.empty()) {
      return "rsyslogd is not installed: run scripts/install-deps (package rsyslog)";
    }
    mkdir(dir.Join("work").c_str(), 0700);
    dir.WriteFile("collector.conf",
                  "global(workDirectory=\"" + dir.Join("work") +
                      "\" net.enableDNS=\"off\" parser.escapeControlCharactersOnReceive=\"off\")\n"
                      "module(load=\"imudp\")\n"
                      "input(type=\"imudp\" address=\"127.0.0.1\" port=\"" +
                      std::to_string(port) +
                      "\")\ntemplate(name=\"check\" type=\"string\" "
                      "string=\"%pri%|%syslogfacility%|%syslogseverity%|%rawmsg%\\n\")\n"
                      "action(type=\"omfile\" file=\"" +
                      Output() + "\" template=\"check\")\n");
    const std::string conf = dir.Join("collector.conf"), pidFile = dir.Join("collector.pid");
    const std::string errors = dir.Join("collector.err");
    const char* argv[] = {binary.c_str(),  "-n",   "-C", "-f", conf.c_str(), "-i",
                          pidFile.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, errors.c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int spawned =
        posix_spawn(&pid, binary.c_str(), &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      pid = -1;
      return "cannot start " + binary + ": " + strerror(spawned);
    }
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = Loopback(port);
    std::string problem = "no probe came through within 10 s";
    for (int waited = 0; waited < 10000; waited += 50) {
      if (waitpid(pid, nullptr, WNOHANG) == pid) {
        pid = -1;
        problem = "it ended at once";
        break;
      }
      sendto(probe, "<14>probe", 9, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
      if (ReadAll(Output()).find("probe") != std::string::npos) {
        problem.clear();
        break;
      }
      Sleep(50);
    }
    close(probe);
    return problem.empty() ? "" : binary + ": " + problem + "; its output: " + ReadAll(errors);
  }

  // The output line holding text, waiting up to 5 s for it; "" when none.
  std::string LineWith(const std::string& text) const {
    for (int waited = 0; waited < 5000; waited += 20) {
      std::istringstream lines(ReadAll(Output()));
      for (std::string line; std::getline(lines, line);) {
        if (line.find(text) != std::string::npos) {
          return line;
        }
      }
      Sleep(20);
    }
    return "";
  }

  unsigned short port = 0;

 private:
  std::string Output() const { return dir.Join("collected.log"); }

  const TempDir& dir;
  pid_t pid = -1;
};

TEST(SyslogCollectorTest, RecordsArriveWithTheirFacilitySeverityAndText) {
  TempDir dir;
  Collector collector(dir);
  ASSERT_EQ(collector.Start(), "") << "the syslog collector could not be started";

  TlConfiguration* conf = TlConfigurationGlobal::Instance().get();
  conf->AtGlobalPut("LOGMANAGER.UDP.SERVER", "localhost");
  conf->AtGlobalPut("LOGMANAGER.UDP.PORT", std::to_string(collector.port));
  conf->AtGlobalPut("LOGMANAGER.UDP.FACILITY", "128");  // local0
  LogServer* server = LogServer::Instance();
  CapturingLogDevice::Install(server);  // keeps the console quiet
  ASSERT_TRUE(server->initForConfiguration("VIGILD.0.0"));
  server->setDebugLevelNumber(3);

  const struct {
    LogSeverityCode severity;
    const char* code;
    const char* text;
    const char* head;    // pri|facility|severity|<pri>
    const char* fields;  // severity character, code
  } cases[] = {
      {Error, "DL30102", "ERROR : collector check one", "129|16|1|<129>", "F\t[DL30102]"},
      {Warning, "DL30000", "WARNING : collector check two", "132|16|4|<132>", "W\t[DL30000]"},
      {Info, "DL31001", "INFO : collector check three", "134|16|6|<134>", "I\t[DL31001]"},
      {Debug1, nullptr, "DEBUG : collector check four", "135|16|7|<135>", "1\t"},
  };
  for (const auto& c : cases) {
    LogServer::Report(c.severity, c.code, std::string("[SyslogCollectorTest::Run] ") + c.text);
  }
  const std::string facility = "VIGILD.0.0-" + std::to_string(getpid()) + ":0\t";
  for (const auto& c : cases) {
    const std::string line = collector.LineWith(c.text);
    const std::string tail =
        " UTC \t" + facility + c.fields + "\t[SyslogCollectorTest::Run]\t" + c.text;
    EXPECT_EQ(line.rfind(c.head, 0), 0u) << c.text << " -> " << line;
    EXPECT_EQ(line.size() >= tail.size() ? line.substr(line.size() - tail.size()) : line, tail);
  }
  LogServer::DeleteInstance();
  TlConfigurationGlobal::DeleteInstance();
}

}  // namespace
