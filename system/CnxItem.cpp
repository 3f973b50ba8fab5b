#include "CnxItem.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include "CnxDiagnostics.h"
#include "LogStream.h"

namespace {

long long MonotonicMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

CnxItem::CnxItem() : CnxItem(-1) {}

CnxItem::CnxItem(int socket_)
    : socket(socket_),
      ifInOctets(0),
      ifOutOctets(0),
      buffer(new char[kBufferSize]),
      bufferFill(0),
      bufferSize(kBufferSize),
      bufferStart(0) {
  openningTime.SetNow();
  lastActivity.SetNow();
}

CnxItem::~CnxItem() = default;

CnxItem::CnxItem(const CnxItem& other)
    : RefCounter(other), buffer(new char[kBufferSize]), bufferSize(kBufferSize) {
  fputs("[CnxItem::CnxItem]  *** object Copy\n", stderr);
  _CopyFrom(other);
}

CnxItem& CnxItem::operator=(const CnxItem& other) {
  fputs("[CnxItem::operator=]  *** object Copy\n", stderr);
  if (this != &other) {
    _CopyFrom(other);
  }
  return *this;
}

void CnxItem::_CopyFrom(const CnxItem& other) {
  socket = other.socket;
  ifInOctets = other.ifInOctets;
  ifOutOctets = other.ifOutOctets;
  openningTime = other.openningTime;
  lastActivity = other.lastActivity;
  memcpy(buffer.get(), other.buffer.get() + other.bufferStart,
         static_cast<size_t>(other.bufferFill));
  bufferFill = other.bufferFill;
  bufferStart = 0;
}

int CnxItem::Disconnect() {
  if (socket == -1) {
    return 0;
  }
  const int closed = socket;
  // Not retried on EINTR: the descriptor is released either way on Linux,
  // and a second close could hit a descriptor another thread just opened.
  const int result = close(closed);
  Diag_3002SocketClose(result, closed).log();
  socket = -1;
  return result == 0 ? 1 : 0;
}

int CnxItem::_WaitFor(int fd, short events, int timeoutSeconds) {
  const bool bounded = timeoutSeconds >= 0;
  const long long deadline = MonotonicMs() + static_cast<long long>(timeoutSeconds) * 1000;
  for (;;) {
    int waitMs = -1;
    if (bounded) {
      waitMs = static_cast<int>(
          std::min<long long>(std::max<long long>(deadline - MonotonicMs(), 0), INT_MAX));
    }
    struct pollfd watched = {fd, events, 0};
    const int ready = poll(&watched, 1, waitMs);
    if (ready > 0) {
      return (watched.revents & POLLNVAL) != 0 ? -1 : 1;
    }
    if (ready == 0) {
      return 0;
    }
    if (errno != EINTR) {
      return -1;
    }
  }
}

int CnxItem::_ReadPacket(char* out, int size, int timeout) {
  if (socket == -1 || out == nullptr || size <= 0) {
    return 0;
  }
  // Under load the bytes are usually there already: take them without the
  // wait, which would cost a second system call per read.
  ssize_t n = recv(socket, out, static_cast<size_t>(size), MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    // poll rather than select: a descriptor number above FD_SETSIZE must
    // not write past an fd_set.
    const int ready = _WaitFor(socket, POLLIN | POLLPRI, std::max(timeout, 0));
    if (ready == 0) {
      Diag_3002SelectTimeout(timeout).log();
      return 0;
    }
    if (ready < 0) {
      Diag_3002SelectFailed().log();
      Disconnect();
      return 0;
    }
    do {
      n = recv(socket, out, static_cast<size_t>(size), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return 0;  // a readiness that vanished (non-blocking socket): nothing read, still open
    }
  }
  if (n < 0) {
    Diag_3002RecvSockErr().log();
    Disconnect();
    return 0;
  }
  if (n == 0) {
    Diag_3002RecvSockZero().log();
    Disconnect();
    return 0;
  }
  const int received = static_cast<int>(n);
  Diag_3002RecvOK().log();
  Diag_3002Recv(received, socket, out, size).log();
  lastActivity.SetNow();
  ifInOctets += static_cast<unsigned long>(received);
  return received;
}

int CnxItem::_TakeBuffered(char* out, int size) {
  const int n = std::min(size, bufferFill);
  if (n <= 0) {
    return 0;
  }
  memcpy(out, buffer.get() + bufferStart, static_cast<size_t>(n));
  bufferStart += n;
  bufferFill -= n;
  if (bufferFill == 0) {
    bufferStart = 0;
  }
  return n;
}

int CnxItem::ReadPacket(char* out, int size, int timeout) {
  if (out == nullptr || size <= 0) {
    return 0;
  }
  memset(out, 0, static_cast<size_t>(size));
  int copied = 0;
  for (;;) {
    copied += _TakeBuffered(out + copied, size - copied);
    if (copied >= size) {
      return copied;
    }
    // The buffer is empty here: it was drained into out.
    const int n = _ReadPacket(buffer.get(), bufferSize, timeout);
    if (n <= 0) {
      return copied;
    }
    bufferFill = n;
  }
}

int CnxItem::_ReadAvailable(char* out, int size, int timeout) {
  if (out == nullptr || size <= 0) {
    return 0;
  }
  memset(out, 0, static_cast<size_t>(size));
  if (bufferFill == 0) {
    const int n = _ReadPacket(buffer.get(), bufferSize, timeout);
    if (n <= 0) {
      return 0;
    }
    bufferFill = n;
  }
  return _TakeBuffered(out, size);
}

LogStream& operator<<(LogStream& stream, const CnxItem& item) {
  return stream << "[Cnx] { Socket=" << item.socket << ", Opened at " << item.openningTime << " } ";
}
