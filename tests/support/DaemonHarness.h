// DaemonHarness: the fixture of the end-to-end tests: a temporary TLMHOME
// (log/, conf/, run/, and marks/ that any user may write), a free loopback
// port, the real vigild and vigilctl, and processes to register, all of them
// gone when the test ends. One thread at a time; the owning test uses it.
#ifndef VIGILD_TESTS_SUPPORT_DAEMONHARNESS_H
#define VIGILD_TESTS_SUPPORT_DAEMONHARNESS_H

#include <nlohmann/json.hpp>

#include "TestCommon.h"
#include "TestSockets.h"

constexpr uid_t kNobody = 65534;

bool Has(const std::string& text, const std::string& part);
size_t Count(const std::string& text, const std::string& part);
// Whether text begins with start; for EXPECT_PRED2, which prints both.
bool StartsWith(const std::string& text, const std::string& start);
// Sends all of text on fd, or fails the test.
void Send(int fd, const std::string& text);
// Reads fd until the peer ends it or nothing comes for timeoutMs: whatever
// came, then "closed" or "reset" by the peer, "open", or "failed" (no socket).
std::string EndOf(int fd, int timeoutMs);
// Runs body in a child as uid (root stays root); its exit status, 0 when body returns true.
int AsUser(uid_t uid, const std::function<bool()>& body);
// A watch order; a maxwset of 0 switches the working-set test off, and
// extra holds further "key: value\n" lines.
std::string Watch(long pid, const std::string& name, const std::string& stop = "",
                  const std::string& start = "", int maxwset = 0, const std::string& extra = "");
// A heartbeat that reports wset kilobytes.
std::string Beat(long pid, int wset);
// A watch order over its working-set limit: the next pass runs stop.
std::string OverLimit(long pid, const std::string& name, const std::string& stop,
                      const std::string& start = "");

// One vigild with its output in files (a sanitizer report in it fails the
// test), killed with every demo collector it restarted when the object goes.
class Daemon {
 public:
  // stdoutFd, when not -1, is the daemon's standard output instead of a file;
  // a handedSocket is passed over as a service manager does.
  Daemon(const TempDir& home, std::vector<std::string> args, std::vector<std::string> env,
         int stdoutFd = -1, int handedSocket = -1);
  ~Daemon();
  // The exit status, or -1 when it has not ended within timeoutMs.
  int WaitExit(int timeoutMs);
  std::string Out() const;
  std::string Err() const;
  // Whether the standard error (output) holds part within timeoutMs.
  bool ErrSays(const std::string& part, int timeoutMs = 10000) const;
  bool OutSays(const std::string& part, int timeoutMs = 10000) const;

  pid_t pid;
  const std::string out, err, pidsFile;
};

class DaemonHarness : public ::testing::Test {
 protected:
  struct Result {
    int status;
    std::string out, err;
  };

  DaemonHarness();
  ~DaemonHarness() override;

  // TLMHOME, then more.
  std::vector<std::string> Env(std::vector<std::string> more = {}) const;
  // A daemon on `port` with these arguments and debug level.
  std::unique_ptr<Daemon> Start(std::vector<std::string> args = {}, const char* level = "5");
  // The same, configured with these lines in conf/vigild.conf, env added to
  // Env(), and the standard output and handed socket that Daemon takes.
  std::unique_ptr<Daemon> StartWith(const std::string& lines, const char* level = "5",
                                    const std::vector<std::string>& env = {}, int stdoutFd = -1,
                                    int handedSocket = -1);
  // A connection to toPort (0: `port`) within timeoutMs, or -1; whether there is one.
  int ConnectWhenUp(int toPort = 0, int timeoutMs = 10000);
  bool Accepts(int toPort = 0, int timeoutMs = 10000);
  // A connection, once the daemon is up, registering the test's own process as
  // "e2e", which keeps the daemon running; -1 when it cannot connect.
  int Anchor();
  // Everything the daemon wrote into its dated log files so far.
  std::string LogFilesText() const;
  // vigilctl with args (the port inserted after the verb) to its end.
  Result Ctl(std::vector<std::string> args, bool withPort = true);

  // A process of uid, reparented to init (so it is reaped once killed and
  // never lingers looking alive), that waits to be killed. With orders it
  // first connects as uid from `from` and sends orders(its pid) unless
  // empty, keeping the connection open. -1 when it did not start.
  pid_t Process(uid_t uid = 0, const std::function<std::string(pid_t)>& orders = nullptr,
                const char* from = "127.0.0.1");
  // "vigilctl run" left running against toPort (0: `port`) with env added;
  // its output goes to run.out/run.err<tag>.
  pid_t Run(std::vector<std::string> args, const std::string& tag, int toPort = 0,
            const std::vector<std::string>& env = {});
  std::string RunOut(const std::string& tag) const { return home.Join("run.out" + tag); }
  std::string RunErr(const std::string& tag) const { return home.Join("run.err" + tag); }
  // The status file, discarded while it is missing or not whole.
  nlohmann::json StatusJson() const;
  // The value at this JSON pointer of the status file, or null.
  nlohmann::json At(const std::string& pointer) const;
  // The status file's entry of the named process, or null; its pid, or -1.
  nlohmann::json Entry(const std::string& name) const;
  long PidOf(const std::string& name) const;
  std::string Mark(const std::string& name) const { return marks + "/" + name; }
  bool Exists(const std::string& name) const;
  static bool Alive(pid_t pid);

  TempDir home;
  const int port;
  const std::string marks;
  std::vector<pid_t> processes;  // not children (reparented, or started by a wrapper): killed
  std::vector<pid_t> owned;      // children of the test, reaped or killed at its end
  std::vector<int> leftOpen;     // descriptors the test leaves open, closed at its end
};

#endif  // VIGILD_TESTS_SUPPORT_DAEMONHARNESS_H
