#include "ListenPort.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <new>

#include "AccessPolicy.h"
#include "ClientContext.h"
#include "CriticalSection.h"
#include "PeerOwner.h"
#include "InheritedSocket.h"
#include "LogServer.h"
#include "LogStream.h"
#include "Sleep.h"
#include "SystemError.h"

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
// A refusal about one key is logged at most once per period; the limiter
// remembers at most this many keys.
constexpr long kRefusalPeriodSeconds = 60;
constexpr size_t kRefusalMemory = 256;

void ReportLocalError(const std::string& text) {
  LogServer::Report(Error, "DL30000", "[ListenPort::_Initialize] ERROR : Local socket " + text,
                    "GENERIC", true);
}

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
      localSocket(-1),
      localInode(0),
      maxClientsPerUser(kMaxClientsPerUser),
      refusals(kRefusalPeriodSeconds, kRefusalMemory),
      loopActive(false) {
  if (launcher.Status() != 0) {
    _ReportError("[ListenPort::ListenPort] ERROR : Can't create ThreadLauncher");
  }
}

ListenPort::~ListenPort() {
  _CloseSocket(false);
  _CloseLocal();
}

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
  if (_Initialize() != 1) {
    return 0;
  }
  _OpenLocal();
  return 1;
}

void ListenPort::_OpenLocal() {
  if (localSocket.load() >= 0) {
    return;
  }
  if (inherited != nullptr && inherited->HasLocal()) {
    std::string reason;
    const int descriptor = inherited->TakeLocal(reason);
    if (descriptor < 0) {
      ReportLocalError("handed over by the service manager " + reason);
      return;
    }
    localSocket.store(descriptor);
    LogServer::Report(Info, "DL31021", "Listenner started on the local socket handed over",
                      "LISTENNER_OK");
    return;
  }
  if (localPath.empty()) {
    return;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (localPath.size() >= sizeof address.sun_path) {
    ReportLocalError(localPath + " not created: the path is too long");
    return;
  }
  memcpy(address.sun_path, localPath.c_str(), localPath.size() + 1);
  // The directory decides who can put another file in the socket's place:
  // one that others may write to would let them swap it under the clients.
  const size_t slash = localPath.rfind('/');
  const std::string directory =
      slash == std::string::npos ? "." : slash == 0 ? "/" : localPath.substr(0, slash);
  struct stat info {};
  if (stat(directory.c_str(), &info) != 0) {
    if (errno != ENOENT || mkdir(directory.c_str(), 0755) != 0 ||
        stat(directory.c_str(), &info) != 0) {
      ReportLocalError(localPath + " not created: directory " + directory + ": " +
                       SystemError::Text(errno));
      return;
    }
  }
  if (!S_ISDIR(info.st_mode) || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
      (info.st_uid != 0 && info.st_uid != geteuid())) {
    ReportLocalError(localPath + " not created: directory " + directory +
                     " is not a directory owned by root or this daemon's user and writable "
                     "only by its owner");
    return;
  }
  const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (descriptor < 0) {
    ReportLocalError(localPath + " not created: " + SystemError::Text(errno));
    return;
  }
  if (lstat(localPath.c_str(), &info) == 0) {
    // Only a socket nobody answers on any more is a leftover of this
    // daemon; anything else at the path is left for the operator.
    const int probe = S_ISSOCK(info.st_mode) ? ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
    const bool stale =
        probe >= 0 &&
        connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno == ECONNREFUSED;
    if (probe >= 0) {
      close(probe);
    }
    if (!stale || unlink(localPath.c_str()) != 0) {
      ReportLocalError(localPath + " not created: " +
                       (S_ISSOCK(info.st_mode) ? "another process listens on it"
                                               : "a file that is not a socket is in the way"));
      close(descriptor);
      return;
    }
  }
  if (bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      lstat(localPath.c_str(), &info) != 0 ||
      // Every local user may connect: the kernel's credentials of the
      // client, not the file's mode, decide who is obeyed.
      chmod(localPath.c_str(), 0666) != 0 || listen(descriptor, kListenBacklog) != 0) {
    ReportLocalError(localPath + " not created: " + SystemError::Text(errno));
    close(descriptor);
    return;
  }
  localInode = static_cast<unsigned long>(info.st_ino);
  localSocket.store(descriptor);
  LogServer::Report(Info, "DL31021", "Listenner started on local socket " + localPath,
                    "LISTENNER_OK");
}

void ListenPort::_CloseLocal() {
  const int descriptor = localSocket.exchange(-1);
  if (descriptor < 0) {
    return;
  }
  close(descriptor);
  struct stat info {};
  if (localInode != 0 && lstat(localPath.c_str(), &info) == 0 &&
      static_cast<unsigned long>(info.st_ino) == localInode) {
    unlink(localPath.c_str());
  }
  localInode = 0;
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
  pollfd waited[2] = {{socket.load(), POLLIN, 0}, {localSocket.load(), POLLIN, 0}};
  int ready = -1;
  if (waited[0].fd < 0) {
    errno = EBADF;
  } else {
    ready = poll(waited, waited[1].fd >= 0 ? 2 : 1, kSelectPeriodMs);
    if (ready > 0 && (waited[0].revents & POLLNVAL) != 0) {
      ready = -1;
      errno = EBADF;
    }
  }
  if (ready > 0 && waited[1].revents != 0 && state.load() == kRunning) {
    _AcceptLocal();
    if (waited[0].revents == 0) {
      return;
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
  sockaddr_storage peer{};
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
  // An IPv6 socket handed over by the service manager shows IPv4 clients
  // with mapped addresses: they are the IPv4 address for every check.
  PeerOwner::Endpoint end{};
  if (!PeerOwner::FromSockaddr(reinterpret_cast<const sockaddr*>(&peer), end)) {
    _RefuseLimited("ipv6", "[ListenPort::StartBlock] WARNING : Connection from an IPv6 address "
                           "refused: WATCHMGR.ALLOWEDPEERS lists IPv4 peers only");
    close(client);
    return;
  }
  char address[16];
  snprintf(address, sizeof address, "%u.%u.%u.%u", end.address >> 24, (end.address >> 16) & 0xFF,
           (end.address >> 8) & 0xFF, end.address & 0xFF);
  // A refused peer or user costs no client slot, no thread and no read.
  long uid = AccessPolicy::kUnknownUid;
  if (accessPolicy != nullptr &&
      (!accessPolicy->AdmitPeer(end.address) ||
       !accessPolicy->AdmitUser(client, std::string(address) + ":" + std::to_string(end.port),
                                uid))) {
    close(client);
    return;
  }
  _Serve(client, address, end.port, uid);
}

void ListenPort::_AcceptLocal() {
  int client;
  do {
    client = accept4(localSocket.load(), nullptr, nullptr, SOCK_CLOEXEC);
  } while (client < 0 && errno == EINTR);
  if (client < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED) {
      _ReportError("[ListenPort::StartBlock] WARNING : accept on the local socket failed: " +
                   SystemError::Text(errno) + "; the local socket is closed");
      _CloseLocal();
    }
    return;
  }
  // The credentials the kernel took when the client connected: they cannot
  // be changed by the client afterwards, nor by passing the descriptor on.
  ucred credentials{};
  socklen_t length = sizeof credentials;
  const long owner = getsockopt(client, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0
                         ? static_cast<long>(credentials.uid)
                         : AccessPolicy::kUnknownUid;
  long uid = owner;
  if (accessPolicy != nullptr && !accessPolicy->AdmitOwner(owner, "local:0", uid)) {
    close(client);
    return;
  }
  _Serve(client, "local", 0, uid);
}

void ListenPort::_RefuseLimited(const std::string& key, const std::string& text) {
  bool overflowed = false;
  if (refusals.Allow(key, &overflowed)) {
    _ReportError(text + (overflowed ? "; more such refusals are not logged this minute" : ""));
  }
}

bool ListenPort::_TakeUserSlot(long uid) {
  if (uid == AccessPolicy::kUnknownUid) {
    return true;
  }
  CriticalSection lock(&usersMutex);
  int& held = perUser[uid];
  if (uid != 0 && held >= maxClientsPerUser) {
    if (held == 0) {
      perUser.erase(uid);
    }
    return false;
  }
  ++held;
  return true;
}

void ListenPort::ClientEnded(long uid) {
  if (uid != AccessPolicy::kUnknownUid) {
    CriticalSection lock(&usersMutex);
    auto found = perUser.find(uid);
    if (found != perUser.end() && --found->second <= 0) {
      perUser.erase(found);
    }
  }
  clientCount.fetch_sub(1);
}

int ListenPort::ClientsOf(long uid) {
  CriticalSection lock(&usersMutex);
  auto found = perUser.find(uid);
  return found == perUser.end() ? 0 : found->second;
}

void ListenPort::_Serve(int descriptor, const char* peerAddress, int peerPort, long uid) {
  if (clientCount.load() >= maxClients) {
    _RefuseLimited("too many clients",
                   "[ListenPort::StartBlock] : Too many clients at the same time, no more than " +
                       std::to_string(maxClients) + " allowed");
    close(descriptor);
    return;
  }
  if (threadRoutine == nullptr) {
    _ReportError("[ListenPort::StartBlock] ERROR : no callback function defined.");
    close(descriptor);
    return;
  }
  if (!_TakeUserSlot(uid)) {
    _RefuseLimited("user " + std::to_string(uid),
                   "[ListenPort::StartBlock] WARNING : Connection of uid " + std::to_string(uid) +
                       " refused: it holds " + std::to_string(maxClientsPerUser) +
                       " connections (WATCHMGR.MAXCLIENTSPERUSER)");
    close(descriptor);
    return;
  }
  ClientContext* context = new (std::nothrow) ClientContext;
  if (context != nullptr) {
    context->owner = this;
    context->uid = uid;
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
    ClientEnded(uid);
  } else {
    clientCount.fetch_add(1);
    ClientEnded(uid);
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
  _CloseLocal();
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
