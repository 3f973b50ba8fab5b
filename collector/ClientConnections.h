// ClientConnections: the client connections the listener's event loop serves:
// for each, its socket, the user it acts as, its partial line and its
// session. It reads what a readable connection sent, hands every complete
// line to the connection's session, and ends connections that leave, fail or
// stay silent.
//
// Silence is timed without a scan: connections sit in two lists ordered by
// their last activity, one for those silent less than one read time-out and
// one for those silent less than two. A read moves a connection to the end of
// the first list, so only the head of each list is ever looked at. A silence
// of one time-out drops the partial line; a silence of two ends the
// connection with the mute warning.
//
// Owned by the listener's event loop, which creates it when the loop starts
// and destroys it (closing every connection) when the loop ends. One thread
// at a time: the event loop.
#ifndef VIGILD_COLLECTOR_CLIENTCONNECTIONS_H
#define VIGILD_COLLECTOR_CLIENTCONNECTIONS_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <list>
#include <memory>

#include "ClientSession.h"
#include "LineAssembler.h"

class ClientConnections {
 public:
  // Called once for every connection that ends, with the uid it acted as.
  using EndFunction = std::function<void(long uid)>;

  // epoll is the loop's descriptor, where connections register for reading.
  ClientConnections(int epoll, SessionFactory factory, EndFunction ended, int64_t readTimeoutMs);
  // Closes every connection still held (each reported ended).
  ~ClientConnections();
  ClientConnections(const ClientConnections&) = delete;
  ClientConnections& operator=(const ClientConnections&) = delete;

  // Bytes read from one connection per wake-up.
  static constexpr size_t kReadChunk = 64 * 1024;

  // Takes descriptor (non-blocking, close-on-exec) for a connection acting as
  // uid and serves what it has sent already: a client that connects, sends
  // and leaves frees its slot at once. On failure the descriptor is closed,
  // the end reported, and false returned.
  bool Add(int descriptor, long uid, int64_t nowMs);
  // The loop's event for token (the epoll data of a connection): reads once
  // and serves what came. When the peer has stopped sending (peerDone), reads
  // on to its end of file, so the connection is closed at once.
  void Readable(void* token, int64_t nowMs, bool peerDone);
  // Ends what has been silent too long; returns the milliseconds until the
  // next deadline, -1 when there is none.
  int64_t Expire(int64_t nowMs);

  size_t Count() const { return fresh_.size() + quiet_.size(); }

 private:
  struct Connection {
    int descriptor = -1;
    long uid = -1;
    int64_t lastActivityMs = 0;
    bool quiet = false;  // in quiet_, silent for at least one time-out
    std::list<Connection>::iterator self;
    LineAssembler lines;
    std::unique_ptr<ClientSession> session;
  };

  void _Close(Connection& connection);
  // One read into the scratch buffer, served; false once the connection is
  // closed or has nothing more to read.
  bool _ReadOnce(Connection& connection, int64_t nowMs);

  const int epoll_;
  const SessionFactory factory_;
  const EndFunction ended_;
  const int64_t readTimeoutMs_;
  std::unique_ptr<char[]> scratch_;  // what one read brings, cut in place
  std::list<Connection> fresh_;  // silent less than one time-out, oldest first
  std::list<Connection> quiet_;  // silent one to two time-outs, oldest first
};

#endif  // VIGILD_COLLECTOR_CLIENTCONNECTIONS_H
