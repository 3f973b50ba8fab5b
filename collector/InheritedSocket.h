// InheritedSocket: the listening sockets a service manager opened for the
// daemon and handed over at start (one TCP socket, IPv4 or IPv6, and at most
// one local socket, told apart by their family) (socket activation: LISTEN_PID names the
// process, LISTEN_FDS counts the descriptors passed from 3 on). It checks the
// handover, keeps the handed descriptor as a reserve for the whole run, and
// gives the listener fresh duplicates of it: the manager keeps listening on
// the same socket after the daemon has ended, so the listener must neither
// bind that port itself nor shut the socket down.
//
// Owned by main, which takes the handover before any other thread starts; the
// listener borrows it for its whole life. TakeFromEnvironment changes the
// environment and is for the main thread before other threads exist; every
// other member is const and safe for concurrent use.
#ifndef VIGILD_COLLECTOR_INHERITEDSOCKET_H
#define VIGILD_COLLECTOR_INHERITEDSOCKET_H

#include <string>

class InheritedSocket {
 public:
  enum State {
    kNone,     // nothing handed to this process: the listener binds its port
    kAdopted,  // one listening TCP socket (and maybe a local one), held
    kRefused,  // a handover for this process that cannot be used; see Problem
  };
  // Where a service manager puts the first handed descriptor.
  static constexpr int kFirstDescriptor = 3;

  InheritedSocket();
  // Closes the reserve descriptor.
  ~InheritedSocket();
  InheritedSocket(const InheritedSocket&) = delete;
  InheritedSocket& operator=(const InheritedSocket&) = delete;

  // Reads LISTEN_PID and LISTEN_FDS and removes them (and LISTEN_FDNAMES)
  // from the environment whatever they hold, so no command the daemon starts
  // ever believes a socket was handed to it. A handover counts only when
  // LISTEN_PID is this process; then the one or two descriptors from
  // firstDescriptor on must be a listening AF_INET or AF_INET6 stream socket
  // and, optionally, a listening AF_UNIX one; they are made close-on-exec and
  // non-blocking. Returns the new state.
  State TakeFromEnvironment(int firstDescriptor = kFirstDescriptor);

  State state() const { return state_; }
  // Why a handover was refused; empty otherwise.
  const std::string& Problem() const { return problem_; }
  // The local port of the adopted socket, 0 when none.
  int Port() const { return port_; }

  // A new close-on-exec descriptor for the adopted socket, or -1 with
  // `reason` filled when there is none or the socket no longer listens.
  int Take(std::string& reason) const;
  // The listener's TCP socket from the handover: a fresh duplicate, never a
  // bind. Logs, as Info, that configuredPort goes unused when the handed
  // port differs. -1, with `failure` set to the whole log text, when the
  // handover was refused or the socket no longer listens.
  int TakeListening(int configuredPort, std::string& failure) const;
  // The same for the local socket; -1 when none was handed over.
  int TakeLocal(std::string& reason) const;
  bool HasLocal() const { return local_ >= 0; }

 private:
  // Why `descriptor` is not a listening stream socket of the TCP families
  // (or, when local, AF_UNIX); empty when it is.
  static std::string Unusable(int descriptor, bool local);
  static int Duplicate(int held, bool local, std::string& reason);
  State Refuse(const std::string& why);

  State state_;
  std::string problem_;
  int reserve_;  // the handed TCP descriptor while adopted, else -1
  int local_;    // the handed local descriptor while adopted, else -1
  int port_;
};

#endif  // VIGILD_COLLECTOR_INHERITEDSOCKET_H
