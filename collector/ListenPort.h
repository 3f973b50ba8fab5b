// ListenPort: the daemon's order listener. It binds one TCP port on all
// local addresses and, when given a path, a local (Unix-domain) socket
// beside it; it runs one accept loop over both on a thread of its own and
// starts one detached thread per admitted client (at most maxClients at a
// time, and maxClientsPerUser for each user but root), which runs the client
// routine on a ClientContext. Peer and user are checked before a client takes
// a slot. A TCP socket that breaks under the loop is closed and built again;
// a stop request ends the loop and removes the local socket it created.
//
// Owned by the daemon's main routine, which calls Initialize and StartThread,
// polls `state`, and calls Delete before destroying the object. Client
// threads hold a pointer to it until they have decremented `clientCount`, so
// the owner must not destroy it while clients still run. Initialize and
// StartThread are for the owner's thread before the loop runs; Stop, Delete,
// `state`, `clientCount` and _TestAPI_CloseSocket are safe for concurrent use
// with the loop and the client threads.
#ifndef VIGILD_COLLECTOR_LISTENPORT_H
#define VIGILD_COLLECTOR_LISTENPORT_H

#include <stdint.h>

#include <atomic>
#include <map>
#include <string>

#include "RateLimiter.h"
#include "TaskMutex.h"
#include "ThreadLauncher.h"

class InheritedSocket;
class AccessPolicy;

class ListenPort {
 public:
  // Values of `state`; the owner waits for kRunning.
  enum { kCreated = 32, kRunning = 33, kStopping = 34, kStopped = 35 };

  // How often, and how many milliseconds apart, a bind to a port in use is
  // tried before initialisation gives up. Tests shorten them; the daemon
  // keeps these.
  static constexpr int kBindAttempts = 300;
  static constexpr unsigned kBindRetryDelayMs = 1000;
  // Connections at a time for one user other than root, unless set.
  static constexpr int kMaxClientsPerUser = 256;

  explicit ListenPort(int bindAttempts = kBindAttempts,
                      unsigned bindRetryDelayMs = kBindRetryDelayMs);
  // Closes a listening socket still held (the loop must have ended: Delete
  // first); running client threads are not affected.
  ~ListenPort();
  ListenPort(const ListenPort&) = delete;
  ListenPort& operator=(const ListenPort&) = delete;

  // Before Initialize: listen on the socket a service manager handed over
  // instead of binding `port` (nullptr, the default, binds). The socket
  // stays the manager's: it is never shut down, and a rebuild takes a fresh
  // duplicate of it; once it no longer listens the rebuild fails. `inherited`
  // must outlive the listener.
  void UseInheritedSocket(const InheritedSocket* inherited);
  // Stores port and routine and builds the listening socket. 1 on success;
  // 0, with state kStopped and the reason logged, on failure.
  int Initialize(int port, void (*routine)(void*));
  int _Initialize();
  // Starts the accept loop on a thread of its own; 1 when it was started.
  int StartThread();
  // The accept loop; returns 1 once it has ended (state kStopped).
  int StartBlock();
  // Ends the accept loop and waits for its end; closes the listening socket.
  // Returns at once when no loop was started (state becomes kStopped). Client
  // threads go on until they end by themselves. Returns 1.
  int Stop();
  // Stop(); returns 1.
  int Delete();

  // The text for the current errno; errno itself is left as it was. Always
  // true.
  static bool GetLastListennerError(std::string& text);

  // The access rules the accept loop applies to every new connection before
  // it takes a client slot or reads a byte (null: every peer is served), and
  // the address (host byte order) the socket binds, INADDR_ANY by default.
  // For the owner's thread before the loop runs; policy must outlive it.
  void SetAccessPolicy(AccessPolicy* policy) { accessPolicy = policy; }
  void SetBindAddress(uint32_t address) { bindAddress = address; }
  // Before Initialize: the path of the local socket to create beside the TCP
  // port (empty, the default: none). A socket handed over by the service
  // manager takes its place. A local socket that cannot be made safely is
  // logged as an Error and the port serves TCP alone.
  void SetLocalSocket(const std::string& path) { localPath = path; }
  // Before the loop runs: connections one user other than root may hold.
  void SetMaxClientsPerUser(int limit) { maxClientsPerUser = limit; }
  // The client routine's last call on the listener: frees the client slot
  // and the user's share of them taken for a connection acting as uid.
  void ClientEnded(long uid);
  // Connections now held by uid.
  int ClientsOf(long uid);

  // Closes the listening socket and nothing else, as a broken socket would.
  void _TestAPI_CloseSocket();

  // Written by the loop and by Stop, polled by the owner.
  std::atomic<int> state;
  // Client threads started and not yet finished: the loop increments it, each
  // client routine decrements it when it ends.
  std::atomic<int> clientCount;

 private:
  // Logs text as a listener error (Warning, "DL30102", "GENERIC", flushed).
  static void _ReportError(const std::string& text);
  // Logs text as a failed initialisation, closes the half-built socket, sets
  // state kStopped and returns 0.
  int _FailInitialize(const std::string& text);
  // Closes the listening socket if one is held; safe from any thread.
  void _CloseSocket(bool wakeWaiters);
  // One wait for a client and, when one is there, its accept. A failure of
  // either clears socketValid.
  void _AcceptOne();
  // Hands one accepted descriptor to a new client thread, or closes it.
  void _Serve(int descriptor, const char* peerAddress, int peerPort, long uid);
  // Takes one waiting local connection, checks its credentials and serves it.
  void _AcceptLocal();
  // The local socket: handed over, or created at localPath. Failures are
  // logged; the TCP port is served all the same.
  void _OpenLocal();
  // Closes the local socket and removes the file it created, if still its.
  void _CloseLocal();
  // Whether uid may take one more client slot; takes it when so.
  // REQUIRES: not called with usersMutex held.
  bool _TakeUserSlot(long uid);
  // A refusal line, at most once a minute per key.
  void _RefuseLimited(const std::string& key, const std::string& text);
  // _Initialize on the handed-over socket: a fresh duplicate of it, never a
  // bind.
  int _TakeInherited();

  // Listening descriptor, -1 when none. Atomic because Stop and the test hook
  // close it from other threads; it is swapped to -1 before the close, so the
  // loop never waits on a number the process has since reused.
  std::atomic<int> socket;
  int port;                      // constant once the loop runs
  void (*callback)(void*);       // constant once the loop runs
  int socketValid;               // the loop's own, once it runs
  ThreadLauncher launcher;       // the loop is the only caller of Create once it runs
  void (*threadRoutine)(void*);  // the loop's own, once it runs
  const int maxClients;
  const int bindAttempts;
  const unsigned bindRetryDelayMs;
  const InheritedSocket* inherited;  // constant once the loop runs
  AccessPolicy* accessPolicy;        // constant once the loop runs
  uint32_t bindAddress;              // constant once the loop runs
  // Local listening descriptor, -1 when none; atomic for the same reason as
  // socket.
  std::atomic<int> localSocket;
  std::string localPath;  // constant once the loop runs
  // The inode of the socket file this object created, 0 when none: only
  // that file is removed at the end, never one put in its place since.
  unsigned long localInode;  // constant once the loop runs
  int maxClientsPerUser;     // constant once the loop runs
  TaskMutex usersMutex;      // guards perUser; taken by no other lock's holder
  std::map<long, int> perUser;  // connections held per acting uid
  RateLimiter refusals;         // safe for concurrent use itself
  // True from StartThread until the loop's very last access to this object,
  // so Stop knows whether there is a loop to wait for.
  std::atomic<bool> loopActive;
};

// Body of the accept-loop thread; listener is the ListenPort.
void ListenPortRunThreadInternal(void* listener);

#endif  // VIGILD_COLLECTOR_LISTENPORT_H
