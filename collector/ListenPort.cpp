#include "ListenPort.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "AccessPolicy.h"
#include "ClientConnections.h"
#include "CriticalSection.h"
#include "InheritedSocket.h"
#include "LogServer.h"
#include "PeerOwner.h"
#include "Sleep.h"
#include "SystemError.h"

namespace {

// The longest wait of the loop: a listening socket closed under it is noticed
// within this period even when nothing else happens.
constexpr int kSelectPeriodMs = 3000;
// The kernel's accept queue holds every connection the loop has not taken
// yet. A short queue makes the kernel drop the SYNs of a burst (collectors
// reconnecting after a restart), and each drop costs its client a 1 s, then
// 3 s... retransmission. The client limit below is what bounds the load.
constexpr int kListenBacklog = SOMAXCONN;
// Descriptors the daemon needs besides its clients: log files, listeners,
// the pipes of commands being launched.
constexpr rlim_t kReservedDescriptors = 64;
// Clients taken per wake-up of one listening socket, so that a burst of
// connections does not starve the reads of those already connected.
constexpr int kAcceptBatch = 64;
// Events taken per wait.
constexpr int kEventBatch = 64;
// A stop looks at the loop this often while it waits for its end.
constexpr unsigned kStopPollMs = 5;
// A refusal about one key is logged at most once per period; the limiter
// remembers at most this many keys.
constexpr long kRefusalPeriodSeconds = 60;
constexpr size_t kRefusalMemory = 256;

// The epoll tokens of the loop's own descriptors; every other token is a
// connection.
char wakeToken;
char tcpToken;
char localToken;

void ReportLocalError(const std::string& text) {
  LogServer::Report(Error, "DL30000", "[ListenPort::_Initialize] ERROR : Local socket " + text,
                    "GENERIC", true);
}

int64_t NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void ListenPortRunThreadInternal(void* listener) {
  // The listener may be destroyed as soon as StartBlock returns.
  static_cast<ListenPort*>(listener)->StartBlock();
}

}  // namespace

ListenPort::ListenPort(int attempts, unsigned retryDelayMs)
    : state(kCreated),
      clientCount(0),
      socket(-1),
      port(0),
      socketValid(1),
      maxClients(kMaxClients),
      bindAttempts(attempts),
      bindRetryDelayMs(retryDelayMs),
      inherited(nullptr),
      accessPolicy(nullptr),
      bindAddress(INADDR_ANY),
      readTimeoutMs(static_cast<int64_t>(kReadTimeoutSeconds) * 1000),
      localSocket(-1),
      localInode(0),
      maxClientsPerUser(kMaxClientsPerUser),
      spareDescriptor(-1),
      wakeDescriptor(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      refusals(kRefusalPeriodSeconds, kRefusalMemory),
      loopActive(false) {
  if (launcher.Status() != 0) {
    _ReportError("[ListenPort::ListenPort] ERROR : Can't create ThreadLauncher");
  }
  if (wakeDescriptor < 0) {
    _ReportError("[ListenPort::ListenPort] ERROR : Can't create the wake-up event: " +
                 SystemError::Text(errno));
  }
}

ListenPort::~ListenPort() {
  _CloseSocket();
  _CloseLocal();
  if (wakeDescriptor >= 0) {
    close(wakeDescriptor);
  }
}

void ListenPort::_ReportError(const std::string& text) {
  LogServer::Report(Warning, "DL30102", text, "GENERIC", true);
}

void ListenPort::_CloseSocket() {
  const int descriptor = socket.exchange(-1);
  if (descriptor >= 0) {
    close(descriptor);
  }
}

int ListenPort::_FailInitialize(const std::string& text) {
  _ReportError(text);
  _CloseSocket();
  state.store(kStopped);
  return 0;
}

void ListenPort::UseInheritedSocket(const InheritedSocket* socketHandedOver) {
  inherited = socketHandedOver;
}

int ListenPort::Initialize(int portNumber, SessionFactory sessions) {
  port = portNumber;
  factory = std::move(sessions);
  _RaiseDescriptorLimit();
  if (_Initialize() != 1) {
    return 0;
  }
  _OpenLocal();
  return 1;
}

void ListenPort::_RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return;
  }
  const rlim_t needed = static_cast<rlim_t>(maxClients) + kReservedDescriptors;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? needed : std::min(needed, limit.rlim_max);
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
      limit = raised;
    }
  }
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
    _ReportError(
        "[ListenPort::_Initialize] WARNING : The descriptor limit (" +
        std::to_string(limit.rlim_cur) + ", hard limit " +
        (limit.rlim_max == RLIM_INFINITY ? std::string("none") : std::to_string(limit.rlim_max)) +
        ") leaves room for fewer than WATCHMGR.MAXCLIENTS=" + std::to_string(maxClients) +
        " clients");
  }
}

void ListenPort::_OpenLocal() {
  if (localSocket >= 0) {
    return;
  }
  if (inherited != nullptr && inherited->HasLocal()) {
    std::string reason;
    const int descriptor = inherited->TakeLocal(reason);
    if (descriptor < 0) {
      ReportLocalError("handed over by the service manager " + reason);
      return;
    }
    localSocket = descriptor;
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
  const std::string directory = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : localPath.substr(0, slash);
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
    const int probe =
        S_ISSOCK(info.st_mode) ? ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
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
  localSocket = descriptor;
  LogServer::Report(Info, "DL31021", "Listenner started on local socket " + localPath,
                    "LISTENNER_OK");
}

void ListenPort::_CloseLocal() {
  const int descriptor = localSocket;
  localSocket = -1;
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
  _CloseSocket();
  if (inherited != nullptr) {
    std::string failure;
    const int descriptor = inherited->TakeListening(port, failure);
    if (descriptor < 0) {
      return _FailInitialize(failure);
    }
    socket.store(descriptor);
    LogServer::Report(Info, "DL31021",
                      "Listenner started on TCP port " + std::to_string(inherited->Port()),
                      "LISTENNER_OK");
    socketValid = 1;
    return 1;
  }
  // Close-on-exec from birth: another thread may fork a shell command at any
  // moment. Non-blocking, so an accept after a wake-up that a vanished client
  // or a stop caused never blocks the loop.
  const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (descriptor < 0) {
    return _FailInitialize("[ListenPort::_Initialize] : Socket declaration failed:" +
                           SystemError::Text(errno));
  }
  socket.store(descriptor);
  const int on = 1;
  if (setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == -1) {
    return _FailInitialize(
        "[ListenPort::_Initialize] : Socket configuration failed (SO_REUSEADDR, " +
        SystemError::Text(errno) + ").");
  }
  // A number outside the TCP range would be silently cut to another port.
  if (port <= 0 || port > 65535) {
    return _FailInitialize(
        "[ListenPort::_Initialize] : Invalid peiPort number, bad configuration.");
  }

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
                             " failed:" + SystemError::Text(errno));
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

int ListenPort::StartThread() {
  if (loopActive.exchange(true)) {
    _ReportError(
        "[ListenPort::WaitThread] : Unable to run task, the listener thread is already "
        "running.");
    return 0;
  }
  if (!ThreadLauncher::Started(launcher.Create(ListenPortRunThreadInternal, this))) {
    loopActive.store(false);
    _ReportError("[ListenPort::WaitThread] : Unable to run task, _beginthread failed.");
    return 0;
  }
  return 1;
}

bool ListenPort::_Watch(int epoll, int descriptor, void* token) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = token;
  // A handed-over socket is a duplicate of one the service manager's
  // descriptor keeps open: the registration of a closed duplicate with the
  // same number outlives the close, and is taken over.
  return epoll_ctl(epoll, EPOLL_CTL_ADD, descriptor, &event) == 0 ||
         (errno == EEXIST && epoll_ctl(epoll, EPOLL_CTL_MOD, descriptor, &event) == 0);
}

int ListenPort::StartBlock() {
  loopActive.store(true);
  // A stop that came before the loop started wins.
  int created = kCreated;
  state.compare_exchange_strong(created, kRunning);
  LogServer::Report(Debug2, nullptr,
                    "[ListenPort::StartBlock] INFO : Starting Listener service ...");
  const int epoll = epoll_create1(EPOLL_CLOEXEC);
  if (epoll < 0 || wakeDescriptor < 0 || !_Watch(epoll, wakeDescriptor, &wakeToken)) {
    _ReportError("[ListenPort::StartBlock] ERROR : Unable to start the event loop: " +
                 SystemError::Text(errno));
    state.store(kStopping);
  }
  if (localSocket >= 0 && state.load() == kRunning && !_Watch(epoll, localSocket, &localToken)) {
    _ReportError("[ListenPort::StartBlock] WARNING : the local socket cannot be watched: " +
                 SystemError::Text(errno) + "; the local socket is closed");
    _CloseLocal();
  }
  spareDescriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
  {
    ClientConnections clients(
        epoll, factory, [this](long uid) { _ClientEnded(uid); }, readTimeoutMs);
    int watched = -1;  // the TCP descriptor in the epoll set
    epoll_event events[kEventBatch];
    int64_t nextDeadline = -1;
    while (state.load() == kRunning) {
      if (closeRequested.exchange(false)) {
        _CloseSocket();
      }
      // The test hook, or a broken socket found by an accept, takes the
      // listening socket away: the loop builds it again.
      if (socketValid == 1 && socket.load() != watched && watched >= 0) {
        _ReportError("[ListenPort::StartBlock] WARNING : Select failed: " +
                     SystemError::Text(EBADF));
        socketValid = 0;
      }
      if (socketValid != 1) {
        if (_Initialize() == 1) {
          _ReportError("[ListenPort::StartBlock] INFO : Listenner socket re-activated");
        } else {
          _ReportError(
              "[ListenPort::StartBlock] ERROR : Unable to re-initialize the Listenner socket, "
              "aborting service and collector ...");
          int running = kRunning;
          state.compare_exchange_strong(running, kStopping);
          break;
        }
        watched = -1;
      }
      if (watched < 0) {
        watched = socket.load();
        if (!_Watch(epoll, watched, &tcpToken)) {
          _ReportError("[ListenPort::StartBlock] WARNING : Select failed: " +
                       SystemError::Text(errno));
          socketValid = 0;
          continue;
        }
      }
      const int waitMs = static_cast<int>(
          nextDeadline < 0 ? kSelectPeriodMs : std::min<int64_t>(nextDeadline, kSelectPeriodMs));
      const int ready = epoll_wait(epoll, events, kEventBatch, waitMs);
      if (ready < 0 && errno != EINTR) {
        _ReportError("[ListenPort::StartBlock] ERROR : Unable to wait for events: " +
                     SystemError::Text(errno) + ", aborting service and collector ...");
        int running = kRunning;
        state.compare_exchange_strong(running, kStopping);
        break;
      }
      for (int i = 0; i < ready && state.load() == kRunning; ++i) {
        void* token = events[i].data.ptr;
        if (token == &wakeToken) {
          uint64_t count;
          while (read(wakeDescriptor, &count, sizeof count) > 0) {
          }
        } else if (token == &tcpToken) {
          _AcceptTcp(clients);
        } else if (token == &localToken) {
          _AcceptLocal(clients);
        } else {
          clients.Readable(token, NowMs(),
                           (events[i].events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0);
        }
      }
      nextDeadline = clients.Expire(NowMs());
    }
    LogServer::Report(Debug1, nullptr,
                      "[ListenPort::StartBlock] INFO : Listener is processing termination "
                      "sequence ... ");
  }  // every connection closes here
  if (epoll >= 0) {
    close(epoll);
  }
  if (spareDescriptor >= 0) {
    close(spareDescriptor);
    spareDescriptor = -1;
  }
  state.store(kStopped);
  // Last access to this object: Stop returns once it sees this.
  loopActive.store(false);
  return 1;
}

int ListenPort::_Accept(int listening, sockaddr* peer, socklen_t* length) {
  const socklen_t size = length != nullptr ? *length : 0;
  int client;
  do {
    if (length != nullptr) {
      *length = size;
    }
    client = accept4(listening, peer, length, SOCK_CLOEXEC | SOCK_NONBLOCK);
  } while (client < 0 && errno == EINTR);
  if (client < 0 && (errno == EMFILE || errno == ENFILE) && spareDescriptor >= 0) {
    const int error = errno;
    close(spareDescriptor);
    const int refused = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
    if (refused >= 0) {
      close(refused);
    }
    spareDescriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
    _RefuseLimited("descriptors", "[ListenPort::StartBlock] WARNING : Connection refused: " +
                                      SystemError::Text(error));
    errno = EAGAIN;
  }
  return client;
}

void ListenPort::_AcceptTcp(ClientConnections& clients) {
  for (int taken = 0; taken < kAcceptBatch && socketValid == 1; ++taken) {
    const int listening = socket.load();
    if (listening < 0) {
      return;  // taken away: the loop notices and builds it again
    }
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int client = _Accept(listening, reinterpret_cast<sockaddr*>(&peer), &length);
    if (client < 0) {
      // Nothing more waiting, or the client left between the wake-up and
      // the accept: nothing is broken.
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) {
        return;
      }
      _ReportError("[ListenPort::StartBlock] WARNING : accept failed: " + SystemError::Text(errno));
      socketValid = 0;
      return;
    }
    // An IPv6 socket handed over by the service manager shows IPv4 clients
    // with mapped addresses: they are the IPv4 address for every check.
    PeerOwner::Endpoint end{};
    if (!PeerOwner::FromSockaddr(reinterpret_cast<const sockaddr*>(&peer), end)) {
      _RefuseLimited("ipv6",
                     "[ListenPort::StartBlock] WARNING : Connection from an IPv6 address "
                     "refused: WATCHMGR.ALLOWEDPEERS lists IPv4 peers only");
      close(client);
      continue;
    }
    char address[16];
    snprintf(address, sizeof address, "%u.%u.%u.%u", end.address >> 24, (end.address >> 16) & 0xFF,
             (end.address >> 8) & 0xFF, end.address & 0xFF);
    // A refused peer or user costs no client slot and no read.
    long uid = AccessPolicy::kUnknownUid;
    if (accessPolicy != nullptr &&
        (!accessPolicy->AdmitPeer(end.address) ||
         !accessPolicy->AdmitUser(client, std::string(address) + ":" + std::to_string(end.port),
                                  uid))) {
      close(client);
      continue;
    }
    _Serve(clients, client, uid);
  }
}

void ListenPort::_AcceptLocal(ClientConnections& clients) {
  for (int taken = 0; taken < kAcceptBatch && localSocket >= 0; ++taken) {
    const int client = _Accept(localSocket, nullptr, nullptr);
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
      continue;
    }
    _Serve(clients, client, uid);
  }
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

void ListenPort::_ClientEnded(long uid) {
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

void ListenPort::_Serve(ClientConnections& clients, int descriptor, long uid) {
  if (clientCount.load() >= maxClients) {
    _RefuseLimited("too many clients",
                   "[ListenPort::StartBlock] : Too many clients at the same time, no more than " +
                       std::to_string(maxClients) + " allowed");
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
  // Counted first: a connection that cannot be added is counted out again.
  clientCount.fetch_add(1);
  if (!clients.Add(descriptor, uid, NowMs())) {
    _ReportError("[ListenPort::StartBlock] ERROR : Callback function failed ...");
  }
}

int ListenPort::Stop(unsigned waitMs) {
  LogServer::Report(Debug1, nullptr, "[ListenPort::Stop] INFO : Signaling stop ...");
  int expected = kRunning;
  if (!state.compare_exchange_strong(expected, kStopping)) {
    expected = kCreated;
    state.compare_exchange_strong(expected, kStopping);
  }
  _Wake();
  for (unsigned waited = 0; loopActive.load(); waited += kStopPollMs) {
    if (waited >= waitMs) {
      _ReportError("[ListenPort::Stop] WARNING : the event loop is still busy after " +
                   std::to_string(waitMs) + " ms");
      return 0;
    }
    Sleep(kStopPollMs);
  }
  _CloseSocket();
  _CloseLocal();
  state.store(kStopped);
  LogServer::Report(Debug1, nullptr, "[ListenPort::Stop] INFO : Listen Port Stopped.");
  return 1;
}

int ListenPort::Delete() { return Stop(); }

void ListenPort::_Wake() {
  if (wakeDescriptor < 0) {
    return;
  }
  const uint64_t one = 1;
  ssize_t written;
  do {
    written = write(wakeDescriptor, &one, sizeof one);
  } while (written < 0 && errno == EINTR);
}

void ListenPort::_TestAPI_CloseSocket() {
  // The loop's own thread closes it, as it would find a broken socket: a
  // close from here could race the loop's use of the descriptor.
  if (!loopActive.load()) {
    _CloseSocket();
    return;
  }
  closeRequested.store(true);
  _Wake();
}
