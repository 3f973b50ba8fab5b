// HealthCheck: the probe of "vigilctl run --check" for programs that cannot
// send heartbeats themselves. Three kinds: an HTTP/1.0 GET (healthy on a
// 2xx or 3xx status), a TCP connect (healthy when it succeeds) and a shell
// command (healthy on exit 0). An attempt never blocks: Begin starts it,
// the owner polls Fd() beside its own descriptors (an exec attempt has none:
// its end comes as SIGCHLD) and calls Step after every wake-up, and an
// attempt still going at its deadline is cut off, its command's whole
// process group killed, and counted unhealthy. So a wrapper's heartbeat
// loop is never held by a probe.
//
// Every byte of an answer is hostile: only the status line is read, from at
// most kMaxAnswer bytes, and anything that is not "HTTP/d.d NNN" is a
// failure with its reason.
//
// Owned by the wrapper that runs the program; one thread at a time. The
// static Parse is safe for concurrent use.
#ifndef VIGILD_CLIENT_HEALTHCHECK_H
#define VIGILD_CLIENT_HEALTHCHECK_H

#include <sys/socket.h>
#include <sys/types.h>

#include <string>
#include <vector>

class HealthCheck {
 public:
  enum Kind { kHttp, kTcp, kExec };
  enum Outcome { kPending, kHealthy, kUnhealthy };

  // The most of an HTTP answer read while looking for its status line.
  static constexpr size_t kMaxAnswer = 4096;

  struct Target {
    Kind kind = kTcp;
    std::string host;     // http, tcp: a name or address, without brackets
    int port = 0;         // http, tcp: 1 to 65535
    std::string path;     // http: starts with '/'
    std::string command;  // exec: run by /usr/bin/sh -c
  };

  // Reads "http://HOST[:PORT][/PATH]" (port 80 and path "/" by default),
  // "tcp://HOST:PORT" or "exec:COMMAND"; an IPv6 address goes in brackets.
  // False with the reason in *error for anything else.
  static bool Parse(const std::string& url, Target* target, std::string* error);

  // environment: the whole environment of an exec command ("NAME=VALUE"
  // each); it runs in the caller's current directory.
  HealthCheck(const Target& target, const std::vector<std::string>& environment);
  ~HealthCheck();
  HealthCheck(const HealthCheck&) = delete;
  HealthCheck& operator=(const HealthCheck&) = delete;

  // Looks the host up once; every attempt tries the addresses found, in
  // order. False with the reason in *error when there are none.
  bool Resolve(std::string* error);
  // Starts an attempt that ends by nowMs + timeoutMs at the latest. An
  // attempt still running is cancelled first.
  void Begin(long nowMs, long timeoutMs);
  bool Running() const { return state != kIdle; }
  // What to poll for while running: a descriptor (-1: none, wait for
  // SIGCHLD or the deadline) and its events.
  int Fd() const { return fd; }
  short Events() const;
  long Deadline() const { return deadline; }
  // Advances the attempt as far as it goes without blocking. kPending while
  // it goes on; kHealthy or kUnhealthy once it has ended (Why() then says
  // what failed).
  Outcome Step(long nowMs);
  // Why the last attempt was unhealthy.
  const std::string& Why() const { return why; }

 private:
  enum State { kIdle, kConnecting, kSending, kReading, kWaiting };

  Outcome _Fail(const std::string& reason);
  void _Cancel();
  // Opens a connection to the next address; false when none is left.
  bool _ConnectNext();
  Outcome _StepSocket();
  Outcome _StepExec();
  // The verdict on the answer read so far; kPending while more may come.
  Outcome _Judge(bool ended);
  bool _StartCommand();

  const Target target;
  std::vector<std::string> environment;
  std::string request;  // the whole HTTP request
  std::vector<sockaddr_storage> addresses;
  std::vector<socklen_t> lengths;
  State state = kIdle;
  size_t next = 0;  // the address to try after the current one
  int fd = -1;
  pid_t child = -1;
  long deadline = 0;
  long timeout = 0;
  size_t sent = 0;
  std::string answer;
  std::string why;
};

#endif  // VIGILD_CLIENT_HEALTHCHECK_H
