// ListenPort: the daemon's order listener and the event loop that serves its
// clients. It binds one TCP port and, when given a path, a local
// (Unix-domain) socket beside it, and runs one loop on a thread of its own
// that waits (epoll) on both listening sockets and on every client
// connection. Peer and user are checked before a client takes a slot; at most
// maxClients connections are held at a time, and maxClientsPerUser for each
// user but root. Each admitted connection gets a session from the factory,
// which receives its complete lines on the loop's thread. A TCP socket that
// breaks under the loop is closed and built again; a stop request ends the
// loop, closes every connection and removes the local socket it created.
//
// Owned by the daemon's main routine, which calls Initialize and StartThread,
// polls `state`, and calls Delete (or Stop) before destroying the object; the
// object must not be destroyed while Stop reports the loop still running.
// The setters, Initialize and StartThread are for the owner's thread before
// the loop runs; Stop, Delete, `state`, `clientCount`, ClientsOf and
// _TestAPI_CloseSocket are safe for concurrent use with the loop.
#ifndef VIGILD_COLLECTOR_LISTENPORT_H
#define VIGILD_COLLECTOR_LISTENPORT_H

#include <stdint.h>
#include <sys/socket.h>

#include <atomic>
#include <map>
#include <string>

#include "ClientSession.h"
#include "RateLimiter.h"
#include "TaskMutex.h"
#include "ThreadLauncher.h"

class InheritedSocket;
class AccessPolicy;
class ClientConnections;

class ListenPort {
 public:
  // Values of `state`; the owner waits for kRunning.
  enum { kCreated = 32, kRunning = 33, kStopping = 34, kStopped = 35 };

  // How often, and how many milliseconds apart, a bind to a port in use is
  // tried before initialisation gives up. Tests shorten them; the daemon
  // keeps these.
  static constexpr int kBindAttempts = 300;
  static constexpr unsigned kBindRetryDelayMs = 1000;
  // Connections at a time in all, and for one user other than root, unless
  // set.
  static constexpr int kMaxClients = 1024;
  static constexpr int kMaxClientsPerUser = 256;
  // Seconds of silence after which a partial line is dropped; twice that
  // ends the connection.
  static constexpr int kReadTimeoutSeconds = 60;
  // How long Stop waits for the loop by default.
  static constexpr unsigned kStopWaitMs = 5000;

  explicit ListenPort(int bindAttempts = kBindAttempts,
                      unsigned bindRetryDelayMs = kBindRetryDelayMs);
  // Closes the listening sockets still held. The loop must have ended.
  ~ListenPort();
  ListenPort(const ListenPort&) = delete;
  ListenPort& operator=(const ListenPort&) = delete;

  // Before Initialize: listen on the socket a service manager handed over
  // instead of binding `port` (nullptr, the default, binds). The socket
  // stays the manager's: it is never shut down, and a rebuild takes a fresh
  // duplicate of it; once it no longer listens the rebuild fails. `inherited`
  // must outlive the listener.
  void UseInheritedSocket(const InheritedSocket* inherited);
  // Stores port and session factory, raises the descriptor limit to what
  // maxClients needs, and builds the listening sockets. 1 on success; 0,
  // with state kStopped and the reason logged, on failure.
  int Initialize(int port, SessionFactory factory);
  int _Initialize();
  // Starts the event loop on a thread of its own; 1 when it was started.
  int StartThread();
  // The event loop; returns 1 once it has ended (state kStopped).
  int StartBlock();
  // Ends the event loop and waits up to waitMs for its end; then closes the
  // listening sockets. 1 when the loop has ended (or never ran); 0 when it is
  // still busy (an order waiting for the table), and then nothing is closed.
  int Stop(unsigned waitMs = kStopWaitMs);
  // Stop(); its result.
  int Delete();

  // The access rules the loop applies to every new connection before it
  // takes a client slot or reads a byte (null: every peer is served), and
  // the address (host byte order) the socket binds, INADDR_ANY by default.
  // policy must outlive the loop.
  void SetAccessPolicy(AccessPolicy* policy) { accessPolicy = policy; }
  void SetBindAddress(uint32_t address) { bindAddress = address; }
  // The path of the local socket to create beside the TCP port (empty, the
  // default: none). A socket handed over by the service manager takes its
  // place. A local socket that cannot be made safely is logged as an Error
  // and the port serves TCP alone.
  void SetLocalSocket(const std::string& path) { localPath = path; }
  void SetMaxClients(int limit) { maxClients = limit; }
  void SetMaxClientsPerUser(int limit) { maxClientsPerUser = limit; }
  // The read time-out in milliseconds; tests shorten it.
  void SetReadTimeoutMs(int64_t milliseconds) { readTimeoutMs = milliseconds; }
  // Connections now held by uid.
  int ClientsOf(long uid);

  // Closes the listening socket and nothing else, as a broken socket would;
  // once the loop runs, the loop closes it at the request.
  void _TestAPI_CloseSocket();

  // Written by the loop and by Stop, polled by the owner.
  std::atomic<int> state;
  // Connections held by the loop.
  std::atomic<int> clientCount;

 private:
  // Logs text as a listener error (Warning, "DL30102", "GENERIC", flushed).
  static void _ReportError(const std::string& text);
  // Logs text as a failed initialisation, closes the half-built socket, sets
  // state kStopped and returns 0.
  int _FailInitialize(const std::string& text);
  // Closes the listening socket if one is held.
  void _CloseSocket();
  // Wakes the loop's wait through the eventfd.
  void _Wake();
  // Raises the soft descriptor limit to what maxClients needs, up to the
  // hard limit; a Warning when the hard limit is too low.
  void _RaiseDescriptorLimit();
  // One accept on the TCP or local socket; -1 when none was taken (errno
  // set). A process out of descriptors refuses the waiting client instead
  // of leaving it queued, which would wake the loop again at once.
  int _Accept(int listening, sockaddr* peer, socklen_t* length);
  // Takes the waiting TCP clients, checks them and serves them. A failure
  // clears socketValid.
  void _AcceptTcp(ClientConnections& clients);
  // Takes the waiting local clients, checks their credentials and serves
  // them.
  void _AcceptLocal(ClientConnections& clients);
  // Hands one accepted descriptor to the connections, or closes it.
  void _Serve(ClientConnections& clients, int descriptor, long uid);
  // The local socket: handed over, or created at localPath. Failures are
  // logged; the TCP port is served all the same.
  void _OpenLocal();
  // Closes the local socket and removes the file it created, if still its.
  void _CloseLocal();
  // Whether uid may take one more client slot; takes it when so.
  bool _TakeUserSlot(long uid);
  // Gives back the slot of a connection that ended.
  void _ClientEnded(long uid);
  // A refusal line, at most once a minute per key.
  void _RefuseLimited(const std::string& key, const std::string& text);
  // Puts descriptor into the loop's epoll set under token.
  bool _Watch(int epoll, int descriptor, void* token);

  // Listening descriptor, -1 when none. Atomic because the test hook closes
  // it from another thread; it is swapped to -1 before the close, so the loop
  // notices that the number it waits on is no longer its socket.
  std::atomic<int> socket;
  int port;                 // constant once the loop runs
  SessionFactory factory;   // constant once the loop runs
  int socketValid;          // the loop's own, once it runs
  ThreadLauncher launcher;  // used by StartThread alone
  int maxClients;           // constant once the loop runs
  const int bindAttempts;
  const unsigned bindRetryDelayMs;
  const InheritedSocket* inherited;  // constant once the loop runs
  AccessPolicy* accessPolicy;        // constant once the loop runs
  uint32_t bindAddress;              // constant once the loop runs
  int64_t readTimeoutMs;             // constant once the loop runs
  // Local listening descriptor, -1 when none; the loop's own once it runs.
  int localSocket;
  std::string localPath;  // constant once the loop runs
  // The inode of the socket file this object created, 0 when none: only
  // that file is removed at the end, never one put in its place since.
  unsigned long localInode;  // the loop's own once it runs
  int maxClientsPerUser;     // constant once the loop runs
  // A descriptor held back for the moment the process has no other: it is
  // given up to accept and close one client that could not be served.
  int spareDescriptor;  // the loop's own
  // Written by Stop and the test hook to wake the loop; constant after
  // construction.
  int wakeDescriptor;
  // Set by the test hook, taken by the loop, which then closes its socket.
  std::atomic<bool> closeRequested{false};
  TaskMutex usersMutex;         // guards perUser; taken by no other lock's holder
  std::map<long, int> perUser;  // connections held per acting uid
  RateLimiter refusals;         // used by the loop alone
  // True from StartThread until the loop's very last access to this object,
  // so Stop knows whether there is a loop to wait for.
  std::atomic<bool> loopActive;
};

#endif  // VIGILD_COLLECTOR_LISTENPORT_H
