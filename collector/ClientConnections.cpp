#include "ClientConnections.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "LogServer.h"

ClientConnections::ClientConnections(int epoll, SessionFactory factory, EndFunction ended,
                                     int64_t readTimeoutMs)
    : epoll_(epoll),
      factory_(std::move(factory)),
      ended_(std::move(ended)),
      readTimeoutMs_(readTimeoutMs),
      scratch_(new char[kReadChunk]) {}

ClientConnections::~ClientConnections() {
  while (!fresh_.empty()) {
    _Close(fresh_.front());
  }
  while (!quiet_.empty()) {
    _Close(quiet_.front());
  }
}

bool ClientConnections::Add(int descriptor, long uid, int64_t nowMs) {
  fresh_.emplace_back();
  Connection& connection = fresh_.back();
  connection.self = std::prev(fresh_.end());
  connection.descriptor = descriptor;
  connection.uid = uid;
  connection.lastActivityMs = nowMs;
  epoll_event event{};
  event.events = EPOLLIN | EPOLLRDHUP;
  event.data.ptr = &connection;
  if (factory_) {
    connection.session = factory_(uid);
  }
  if (connection.session == nullptr || epoll_ctl(epoll_, EPOLL_CTL_ADD, descriptor, &event) != 0) {
    _Close(connection);
    return false;
  }
  Readable(&connection, nowMs, true);
  return true;
}

void ClientConnections::_Close(Connection& connection) {
  // Out of the epoll set before the close: a close alone leaves the socket
  // registered while a command's child, between its fork and its exec, still
  // holds a copy of the descriptor, and an event would then come back with
  // the token of a connection already freed.
  epoll_ctl(epoll_, EPOLL_CTL_DEL, connection.descriptor, nullptr);
  close(connection.descriptor);
  const long uid = connection.uid;
  (connection.quiet ? quiet_ : fresh_).erase(connection.self);
  ended_(uid);
}

void ClientConnections::Readable(void* token, int64_t nowMs, bool peerDone) {
  Connection& connection = *static_cast<Connection*>(token);
  // Bounded, so that one peer's flood does not hold the others up.
  constexpr int kReadsOfAPeerThatIsDone = 8;
  for (int reads = peerDone ? kReadsOfAPeerThatIsDone : 1; reads > 0; --reads) {
    if (!_ReadOnce(connection, nowMs)) {
      return;
    }
  }
}

bool ClientConnections::_ReadOnce(Connection& connection, int64_t nowMs) {
  char* scratch = scratch_.get();
  ssize_t n;
  do {
    n = recv(connection.descriptor, scratch, kReadChunk, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    return false;
  }
  // End of file or a failed read: a partial line goes with the connection.
  if (n <= 0) {
    _Close(connection);
    return false;
  }
  connection.lastActivityMs = nowMs;
  fresh_.splice(fresh_.end(), connection.quiet ? quiet_ : fresh_, connection.self);
  connection.quiet = false;
  ClientSession& session = *connection.session;
  const bool more = connection.lines.Feed(scratch, static_cast<size_t>(n), [&](const char* text) {
    String line(text);
    return session.Line(line);
  });
  if (!more) {
    _Close(connection);
  }
  return more;
}

int64_t ClientConnections::Expire(int64_t nowMs) {
  // A time-out's worth of silence loses the partial line, as a read that
  // timed out would.
  while (!fresh_.empty() && nowMs - fresh_.front().lastActivityMs >= readTimeoutMs_) {
    Connection& connection = fresh_.front();
    connection.lines.Drop();
    connection.quiet = true;
    quiet_.splice(quiet_.end(), fresh_, connection.self);
  }
  // Exactly one time-out of silence is not yet too long; the next check,
  // one time-out later, ends the connection.
  while (!quiet_.empty() && nowMs - quiet_.front().lastActivityMs >= 2 * readTimeoutMs_) {
    LogServer::Report(Debug1, nullptr,
                      "[WatchMgrProcessConnection] WARNING : Socket is mute for long time (more "
                      "than " +
                          std::to_string(readTimeoutMs_ / 1000) +
                          " sec), connection will be closed");
    _Close(quiet_.front());
  }
  int64_t next = -1;
  if (!fresh_.empty()) {
    next = fresh_.front().lastActivityMs + readTimeoutMs_ - nowMs;
  }
  if (!quiet_.empty()) {
    const int64_t quietNext = quiet_.front().lastActivityMs + 2 * readTimeoutMs_ - nowMs;
    next = next < 0 ? quietNext : std::min(next, quietNext);
  }
  return next;
}
