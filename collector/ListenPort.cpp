#include "ListenPort.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include "AccessPolicy.h"
#include "ClientContext.h"
#include "InheritedSocket.h"
#include "LogServer.h"
#include "LogStream.h"
#include "Sleep.h"

namespace {

// Every wait for a client is this long, so a stop or a broken socket is seen
// within one period even when no client connects.
constexpr int kSelectPeriodMs = 3000;
// The kernel's accept queue holds every connection the loop has not taken
// yet. A short queue makes the kernel drop the SYNs of a burst (collectors
// reconnecting after a restart), and each drop costs its client a 1 s, then
// 3 s... retransmission. The client limit below is what bounds the load.
constexpr int kListenBacklog = SOMAXCONN;
constexpr int kMaxClients = 32;
// A stop polls the loop this often.
constexpr unsigned kStopPollMs = 200;

}  // namespace

ListenPort::ListenPort(int attempts, unsigned retryDelayMs)
    : state(kCreated),
      clientCount(0),
      socket(-1),
      port(0),
      callback(nullptr),
      socketValid(1),
      threadRoutine(nullptr),
      maxClients(kMaxClients),
      bindAttempts(attempts),
      bindRetryDelayMs(retryDelayMs),
      inherited(nullptr),
      accessPolicy(nullptr),
      bindAddress(INADDR_ANY),
      loopActive(false) {
  if (launcher.Status() != 0) {
    _ReportError("[ListenPort::ListenPort] ERROR : Can't create ThreadLauncher");
  }
}

ListenPort::~ListenPort() { _CloseSocket(false); }

void ListenPort::_ReportError(const std::string& text) {
  LogServer::Report(Warning, "DL30102", text, "GENERIC", true);
}

void ListenPort::_CloseSocket(bool wakeWaiters) {
  const int descriptor = socket.exchange(-1);
  if (descriptor < 0) {
    return;
  }
  // A close alone does not wake a thread already waiting on the descriptor;
  // a shutdown does, so the loop sees the stop at once instead of after its
  // wait period. A handed-over socket is shared with the service manager,
  // which must go on listening on it: the loop then sees the stop at the end
  // of its wait period.
  if (wakeWaiters && inherited == nullptr) {
    shutdown(descriptor, SHUT_RDWR);
  }
  close(descriptor);
}

int ListenPort::_FailInitialize(const std::string& text) {
  _ReportError(text);
  _CloseSocket(false);
  state.store(kStopped);
  return 0;
}

void ListenPort::UseInheritedSocket(const InheritedSocket* socketHandedOver) {
  inherited = socketHandedOver;
}

int ListenPort::Initialize(int portNumber, void (*routine)(void*)) {
  port = portNumber;
  callback = routine;
  return _Initialize();
}

int ListenPort::_Initialize() {
  // A rebuild, or a second initialisation, never leaves the old socket open.
  _CloseSocket(false);
  if (inherited != nullptr) {
    return _TakeInherited();
  }
  // Close-on-exec from birth: another thread may fork a shell command at any
  // moment. Non-blocking, so an accept after a wake-up that a vanished client
  // or a stop caused never blocks the loop.
  const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (descriptor < 0) {
    std::string reason;
    GetLastListennerError(reason);
    return _FailInitialize("[ListenPort::_Initialize] : Socket declaration failed:" + reason);
  }
  socket.store(descriptor);
  if (fcntl(descriptor, F_SETFD, FD_CLOEXEC) == -1) {
    return _FailInitialize(
        "[ListenPort::_Initialize] : Socket configuration failed (FD_CLOEXEC, errno=" +
        std::to_string(errno) + ").");
  }
  const int on = 1;
  if (setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == -1) {
    return _FailInitialize(
        "[ListenPort::_Initialize] : Socket configuration failed (SO_REUSEADDR, errno=" +
        std::to_string(errno) + ").");
  }
  // A number outside the TCP range would be silently cut to another port.
  if (port <= 0 || port > 65535) {
    return _FailInitialize(
        "[ListenPort::_Initialize] : Invalid peiPort number, bad configuration.");
  }
  threadRoutine = callback;

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(bindAddress);
  const std::string portText = std::to_string(port);
  for (int attempt = 1;; ++attempt) {
    if (bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      break;
    }
    if (errno != EADDRINUSE) {
      return _FailInitialize("[ListenPort::_Initialize] : Socket bind to " + portText +
                             " failed:" + std::to_string(errno));
    }
    _ReportError("[ListenPort::_Initialize] WARNING : Socket bind to " + portText +
                 " failed: (Address already in use).");
    Sleep(bindRetryDelayMs);
    if (attempt >= bindAttempts) {
      return _FailInitialize("[ListenPort::_Initialize] ERROR : Too many attempts, bind failed.");
    }
    // Only a rebuild runs while a stop can arrive; the stop should not wait
    // for minutes of attempts.
    if (state.load() == kStopping) {
      return _FailInitialize("[ListenPort::_Initialize] ERROR : Stop requested, bind abandoned.");
    }
  }
  if (listen(descriptor, kListenBacklog) == -1) {
    return _FailInitialize("[ListenPort::_Initialize] : Socket listen failed.");
  }
  LogServer::Report(Info, "DL31021", "Listenner started on TCP port " + portText, "LISTENNER_OK");
  socketValid = 1;
  return 1;
}

int ListenPort::_TakeInherited() {
  if (inherited->state() == InheritedSocket::kRefused) {
    return _FailInitialize(
        "[ListenPort::_Initialize] : Socket handed over by the service manager refused: " +
        inherited->Problem());
  }
  const std::string portText = std::to_string(inherited->Port());
  std::string reason;
  const int descriptor = inherited->Take(reason);
  if (descriptor < 0) {
    // The port belongs to the manager's socket unit, which decides its
    // address and options: binding it here would compete with the manager.
    return _FailInitialize(
        "[ListenPort::_Initialize] : Socket handed over by the service manager on port " +
        portText + " " + reason + ".");
  }
  if (port != inherited->Port()) {
    LogServer::Report(Info, "DL31021",
                      "[ListenPort::_Initialize] INFO : Listening on the socket handed over by the "
                      "service manager, port " +
                          portText + "; the configured port " + std::to_string(port) +
                          " is not used.");
  }
  socket.store(descriptor);
  threadRoutine = callback;
  LogServer::Report(Info, "DL31021", "Listenner started on TCP port " + portText, "LISTENNER_OK");
  socketValid = 1;
  return 1;
}

int ListenPort::StartThread() {
  if (loopActive.exchange(true)) {
    _ReportError(
        "[ListenPort::WaitThread] : Unable to run task, the listener thread is already "
        "running.");
    return 0;
  }
  if (launcher.Create(ListenPortRunThreadInternal, this) != 0) {
    loopActive.store(false);
    _ReportError("[ListenPort::WaitThread] : Unable to run task, _beginthread failed.");
    return 0;
  }
  return 1;
}

void ListenPortRunThreadInternal(void* listener) {
  if (GetTraceLevel() >= 1) {
    fputs(" ** Start ListenPortInternal thread\n", stdout);
    fflush(stdout);
  }
  // The listener may be destroyed as soon as StartBlock returns.
  static_cast<ListenPort*>(listener)->StartBlock();
  if (GetTraceLevel() >= 1) {
    fputs(" ** Finish ListenPortInternal thread\n", stdout);
    fflush(stdout);
  }
}

int ListenPort::StartBlock() {
  loopActive.store(true);
  state.store(kRunning);
  LogServer::Report(Debug2, nullptr,
                    "[ListenPort::StartBlock] INFO : Starting Listener service ...");
  while (state.load() == kRunning) {
    while (socketValid == 1 && state.load() == kRunning) {
      _AcceptOne();
    }
    if (state.load() == kRunning && socketValid != 1) {
      if (_Initialize() == 1) {
        _ReportError("[ListenPort::StartBlock] INFO : Listenner socket re-activated");
      } else {
        _ReportError(
            "[ListenPort::StartBlock] ERROR : Unable to re-initialize the Listenner socket, "
            "aborting service and collector ...");
        state.store(kStopping);
      }
    }
  }
  LogServer::Report(Debug1, nullptr,
                    "[ListenPort::StartBlock] INFO : Listener is processing termination sequence "
                    "... ");
  state.store(kStopped);
  // Last access to this object: Stop returns once it sees this.
  loopActive.store(false);
  return 1;
}

void ListenPort::_AcceptOne() {
  pollfd waited{socket.load(), POLLIN, 0};
  int ready = -1;
  if (waited.fd < 0) {
    errno = EBADF;
  } else {
    ready = poll(&waited, 1, kSelectPeriodMs);
    if (ready == 1 && (waited.revents & POLLNVAL) != 0) {
      ready = -1;
      errno = EBADF;
    }
  }
  if (ready == 0 || (ready < 0 && errno == EINTR)) {
    return;
  }
  if (ready < 0) {
    if (state.load() == kRunning) {
      std::string reason;
      GetLastListennerError(reason);
      _ReportError("[ListenPort::StartBlock] WARNING : Select failed: " + reason);
    }
    socketValid = 0;
    return;
  }
  // A stop wakes the wait on purpose; the socket is being closed.
  if (state.load() != kRunning) {
    return;
  }
  // Reloaded: the socket may have been closed (and its number reused) while
  // the loop waited.
  const int listening = socket.load();
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  int client = -1;
  if (listening < 0) {
    errno = EBADF;
  } else {
    do {
      length = sizeof peer;
      client = accept4(listening, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    } while (client < 0 && errno == EINTR);
  }
  if (client < 0) {
    // The client left between the wake-up and the accept: nothing is broken.
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return;
    }
    if (state.load() == kRunning) {
      std::string reason;
      GetLastListennerError(reason);
      _ReportError("[ListenPort::StartBlock] WARNING : accept failed: " + reason);
    }
    socketValid = 0;
    return;
  }
  // A refused peer costs no client slot, no thread and no read.
  if (accessPolicy != nullptr && !accessPolicy->AdmitPeer(ntohl(peer.sin_addr.s_addr))) {
    close(client);
    return;
  }
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&peer.sin_addr.s_addr);
  char address[16];
  snprintf(address, sizeof address, "%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
  _Serve(client, address, ntohs(peer.sin_port));
}

void ListenPort::_Serve(int descriptor, const char* peerAddress, int peerPort) {
  if (clientCount.load() >= maxClients) {
    _ReportError("[ListenPort::StartBlock] : Too many clients at the same time, no more than " +
                 std::to_string(maxClients) + " allowed");
    close(descriptor);
    return;
  }
  if (threadRoutine == nullptr) {
    _ReportError("[ListenPort::StartBlock] ERROR : no callback function defined.");
    close(descriptor);
    return;
  }
  ClientContext* context = new (std::nothrow) ClientContext;
  if (context != nullptr) {
    context->owner = this;
    context->connection.Establish(descriptor, peerAddress, peerPort);
    // Counted before the thread exists, so its decrement can never come first.
    clientCount.fetch_add(1);
    const int started = launcher.Create(threadRoutine, context);
    if (started == 0) {
      return;
    }
    // The thread runs all the same: the context and the count are its own.
    if (started == ThreadLauncher::kDetachFailed) {
      _ReportError("[ListenPort::StartBlock] WARNING : client thread started but not detached");
      return;
    }
    clientCount.fetch_sub(1);
  }
  _ReportError("[ListenPort::StartBlock] ERROR : Callback function failed ...");
  // Nobody else will ever serve or close this connection.
  if (context != nullptr) {
    context->connection.Disconnect();
    delete context;
  } else {
    close(descriptor);
  }
}

int ListenPort::Stop() {
  LogServer::Report(Debug1, nullptr, "[ListenPort::Stop] INFO : Signaling stop ...");
  // Polled rather than decided once: a loop started just before the stop
  // may not have announced itself yet.
  while (true) {
    int running = kRunning;
    if (state.compare_exchange_strong(running, kStopping)) {
      _CloseSocket(true);
    }
    if (!loopActive.load()) {
      break;
    }
    Sleep(kStopPollMs);
  }
  // The socket of a loop that never ran, or one a rebuild made meanwhile.
  _CloseSocket(false);
  int created = kCreated;
  state.compare_exchange_strong(created, kStopped);
  LogServer::Report(Debug1, nullptr, "[ListenPort::Stop] INFO : Listen Port Stopped.");
  return 1;
}

int ListenPort::Delete() {
  Stop();
  return 1;
}

void ListenPort::_TestAPI_CloseSocket() {
  const int descriptor = socket.exchange(-1);
  if (descriptor >= 0) {
    close(descriptor);
  }
}

bool ListenPort::GetLastListennerError(std::string& text) {
  const int error = errno;
  struct Entry {
    int number;
    const char* text;
  };
  static const Entry kTexts[] = {
      {EBADF, "EBADF Bad file number"},
      {ENOTSOCK, "ENOTSOCK Socket operation on non-socket"},
      {EDESTADDRREQ, "EDESTADDRREQ Destination address required"},
      {EMSGSIZE, "EMSGSIZE Message too long"},
      {EPROTOTYPE, "EPROTOTYPE Protocol wrong type for socket"},
      {ENOPROTOOPT, "ENOPROTOOPT Protocol not available"},
      {EPROTONOSUPPORT, "EPROTONOSUPPORT Protocol not supported"},
      {ESOCKTNOSUPPORT, "ESOCKTNOSUPPORT Socket type not supported"},
      {EOPNOTSUPP, "EOPNOTSUPP Operation not supported on socket"},
      {EPFNOSUPPORT, "EPFNOSUPPORT Protocol family not supported"},
      {EAFNOSUPPORT, "EAFNOSUPPORT Address family not supported by protocol family"},
      {EADDRINUSE, "EADDRINUSE Address already in use"},
      {EADDRNOTAVAIL, "EADDRNOTAVAIL Can't assign requested address"},
      {ENETDOWN, "ENETDOWN Network is down"},
      {ENETUNREACH, "ENETUNREACH Network is unreachable"},
      {ENETRESET, "ENETRESET Network dropped connection because of reset"},
      {ECONNABORTED, "ECONNABORTED Software caused connection abort"},
      {ECONNRESET, "ECONNRESET Connection reset by peer"},
      {ENOBUFS, "ENOBUFS No buffer space available"},
      {EISCONN, "EISCONN Socket is already connected"},
      {ENOTCONN, "ENOTCONN Socket is not connected"},
  };
  text = "<unknown, errno=" + std::to_string(error) + ">";
  for (const Entry& entry : kTexts) {
    if (entry.number == error) {
      text = entry.text;
      break;
    }
  }
  errno = error;
  return true;
}
