// VigilClient: a client of vigild's order port. It writes the watch, msg
// (heartbeat, and the heartbeat that reports a program down), mgmt
// (forget) and reset order blocks exactly as the daemon reads them, over one connection opened with a time-out and sent to with a
// time-out, so no call blocks for ever: the daemon's local socket when its
// path exists and answers (the kernel then names the user to the daemon),
// else TCP. The daemon never answers; a
// connection the daemon has closed is noticed before sending (any readable
// byte or end of file means it went away) or by the send failing, and the
// order is sent again once on a fresh connection.
//
// Text that would change the order's meaning is refused before anything is
// sent: a line feed, carriage return or NUL byte (they would start a new
// order line), "end" followed by '.', ';' or ',' in any case (the daemon
// ends a block at that text, anywhere in a line), and values longer than
// kMaxText bytes (the daemon reads lines in pieces past 31 KB).
//
// Owned by its user; one thread at a time.
#ifndef VIGILD_CLIENT_VIGILCLIENT_H
#define VIGILD_CLIENT_VIGILCLIENT_H

#include <string>

class VigilClient {
 public:
  enum Result { kOk = 0, kInvalid = 1, kUnreachable = 2 };

  static constexpr size_t kMaxText = 16384;

  // A registration. Limits of -1 are not sent (their test stays off).
  struct WatchRequest {
    int pid = 0;
    std::string name;
    std::string start;  // shell command that starts the program again
    std::string stop;   // shell command that stops it
    int wdfreq = -1;
    int maxwset = -1;
    int minwset = -1;
    int wsetincr = -1;
    int maxerrors = -1;
  };

  // socketPath: the daemon's local socket, tried first; empty for TCP only.
  VigilClient(const std::string& host, int port, int timeoutMs = 5000,
              const std::string& socketPath = "");
  ~VigilClient();
  VigilClient(const VigilClient&) = delete;
  VigilClient& operator=(const VigilClient&) = delete;

  // Opens the connection now (the order calls open it when needed).
  Result Connect();
  Result Watch(const WatchRequest& request);
  Result Beat(int pid, int wset, int nomwset, int errors);
  Result Forget(int pid);
  // A heartbeat that also tells the daemon the program is down: down is
  // "exit N" (0 to 255), "signal N" (1 to 64) or "probe".
  Result Down(int pid, int wset, int nomwset, int errors, const std::string& down);
  // Clears the back-off and failed state of the program registered as name.
  Result Reset(const std::string& name);
  // An operator's order for a program file's program: order is "STOP",
  // "START" or "RESTART".
  Result Control(const std::string& order, const std::string& name);
  // Asks the daemon to read its program files again.
  Result Reload();
  void Close();
  // The end of a one-shot client: shuts the sending side down and waits (at
  // most the time-out) for the daemon to close, so the connection is never
  // left ownerless before the daemon has identified its user.
  void Finish();
  // Whether the open connection is the local socket.
  bool Local() const { return local; }
  // The open connection's descriptor, -1 when none is open: it turns
  // readable when the daemon goes away, since the daemon never writes.
  int Fd() const { return fd; }

  // Why the last call failed: "cannot connect to HOST:PORT: <reason>", or
  // what was wrong with a text.
  const std::string& LastError() const { return lastError; }
  // Connections opened so far; it grows when a broken one was replaced, so
  // a caller can register again with a daemon that restarted.
  int Connections() const { return connections; }

  // The order blocks, as sent. WatchText returns false (with the reason in
  // *error) for a request with refused text or a pid below 1.
  static bool WatchText(const WatchRequest& request, std::string* text, std::string* error);
  static std::string BeatText(int pid, int wset, int nomwset, int errors);
  static std::string ForgetText(int pid);
  static std::string DownText(int pid, int wset, int nomwset, int errors, const std::string& down);
  static std::string ResetText(const std::string& name);
  static std::string ControlText(const std::string& order, const std::string& name);
  // Empty when value may go into an order line, else why it may not.
  static std::string CheckText(const std::string& what, const std::string& value);

 private:
  Result _Send(const std::string& text);
  // One attempt to send the whole text on the open connection.
  bool _SendOnce(const std::string& text);
  // True when the daemon has closed the connection (it never writes).
  bool _Broken() const;
  // Connects fd to the local socket; false (fd closed) when it does not answer.
  bool _ConnectLocal();

  const std::string host;
  const int port;
  const int timeoutMs;
  const std::string socketPath;
  int fd = -1;
  bool local = false;
  int connections = 0;
  std::string lastError;
};

#endif  // VIGILD_CLIENT_VIGILCLIENT_H
