#include "Cnx.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <memory>

#include "CnxDiagnostics.h"
#include "LogServer.h"
#include "Sleep.h"

const char Cnx::kIdentity[] = "#";
std::atomic<int> Cnx::handshakeWait{10};

namespace {

// Every connection error is reported the same way.
void Warn(const std::string& text) { LogServer::Report(Warning, "DL30102", text, "GENERIC", true); }

std::string HostPort(const std::string& host, int port) {
  return host + ":" + std::to_string(port);
}

struct sockaddr_in AddressOf(const std::string& host, int port) {
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = inet_addr(host.c_str());
  return address;
}

int Connect(int fd, const std::string& host, int port) {
  const struct sockaddr_in address = AddressOf(host, port);
  return connect(fd, reinterpret_cast<const struct sockaddr*>(&address), sizeof address);
}

// 0 when the connection of fd is up, else the pending error.
int PendingError(int fd, bool* readable) {
  int pending = 0;
  socklen_t length = sizeof pending;
  *readable = getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) == 0;
  return pending;
}

}  // namespace

Cnx::Cnx() : peerPort(0), incoming(false) {}

void Cnx::_SetPeer(const char* host, int port, bool isIncoming) {
  incoming = isIncoming;
  peerHost = host != nullptr ? host : "";
  peerPort = port;
}

// ---- Establishing

int Cnx::Establish(int socket, const char* host, int port) {
  _SetPeer(host, port, true);
  item = Handle<CnxItem>(new CnxItem(socket));
  return 1;
}

int Cnx::Establish(const char* host, const int port, bool silent) {
  _SetPeer(host, port, false);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (!silent) {
      Warn("[Cnx::Establish] ERROR : Can't open socket to " + HostPort(peerHost, port));
    }
    return 0;
  }
  int result = Connect(fd, peerHost, port);
  if (result != 0 && errno == EINTR) {
    // The connect goes on without us: wait for its outcome instead of
    // calling connect again, which would only say it is in progress.
    bool known = false;
    const bool up = CnxItem::_WaitFor(fd, POLLOUT, -1) == 1 && PendingError(fd, &known) == 0;
    result = up && known ? 0 : -1;
  }
  Diag_3002Connect(result, fd, peerHost, peerPort).log();
  if (result == 0) {
    item = Handle<CnxItem>(new CnxItem(fd));
    return 1;
  }
  if (!silent) {
    Warn("[Cnx::Establish] ERROR : Connect to " + HostPort(peerHost, port) + " failed.");
  }
  close(fd);
  return 0;
}

int Cnx::Establish(const char* host, const int port, const int timeoutSeconds, const int) {
  _SetPeer(host, port, false);
  std::string reason;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    reason = "can't open socket.";
  } else if (_ConnectWithin(fd, timeoutSeconds, reason)) {
    item = Handle<CnxItem>(new CnxItem(fd));
    return 1;
  }
  Warn("[Cnx::Establish] ERROR : Connect to " + HostPort(peerHost, peerPort) +
       " failed: " + reason);
  if (fd >= 0) {
    close(fd);
  }
  return 0;
}

int Cnx::_ConnectWithin(int fd, int timeoutSeconds, std::string& reason) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) {
    reason = "can't get flags.";
    return 0;
  }
  if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    reason = "can't set flags.";
    return 0;
  }
  const int result = Connect(fd, peerHost, peerPort);
  const int connectErrno = errno;
  Diag_3002Establish(peerHost, peerPort, result, fd, peerHost, peerPort).log();
  fcntl(fd, F_SETFL, flags);
  // An interrupted non-blocking connect goes on like one in progress.
  if (result != 0 && connectErrno != EINPROGRESS && connectErrno != EINTR) {
    reason = "connect( ) failed";
    return 0;
  }
  if (CnxItem::_WaitFor(fd, POLLOUT, std::max(timeoutSeconds, 0)) != 1) {
    char text[64];
    snprintf(text, sizeof text, "select( ) timed out, timeout=%ds", timeoutSeconds);
    reason = text;
    return 0;
  }
  bool readable = false;
  const int pending = PendingError(fd, &readable);
  if (!readable) {
    reason = "getSockOpt( ) returned invalid";
    return 0;
  }
  return pending == 0 ? 1 : 0;
}

int Cnx::Disconnect() { return item.IsNull() ? 0 : item->Disconnect(); }

// ---- Reading

int Cnx::ReadPacketUnbufferred(char* buffer, int size, int timeout) {
  return item->_ReadPacket(buffer, size, timeout);
}

int Cnx::ReadPacket(char* buffer, int size, int timeout) {
  return item->ReadPacket(buffer, size, timeout);
}

int Cnx::ReadLine(char* buffer, int size, int timeout) {
  CnxItem* record = item.operator->();
  if (buffer == nullptr || size <= 0) {
    return 0;
  }
  // Scans the receive buffer in place: a byte-by-byte read through
  // ReadPacket cost a call and a clear per byte on every order line.
  int length = 0;
  buffer[0] = '\0';
  while (length < size - 1) {
    if (record->bufferFill == 0) {
      const int n = record->_ReadPacket(record->buffer.get(), record->bufferSize, timeout);
      if (n <= 0) {
        return 0;
      }
      record->bufferStart = 0;
      record->bufferFill = n;
    }
    const char* next = record->buffer.get() + record->bufferStart;
    const char* const end = next + record->bufferFill;
    bool lineFeed = false;
    while (next < end && length < size - 1) {
      const char c = *next++;
      if (c == '\n') {
        lineFeed = true;
        break;
      }
      if (c != '\r') {
        buffer[length++] = c;
      }
    }
    buffer[length] = '\0';
    record->bufferFill = static_cast<int>(end - next);
    record->bufferStart =
        record->bufferFill == 0 ? 0 : static_cast<int>(next - record->buffer.get());
    if (lineFeed) {
      return 1;
    }
  }
  return 1;
}

int Cnx::FastReadLine(String& line, String&, int size, int timeout) {
  if (size <= 0) {
    return 0;
  }
  std::unique_ptr<char[]> work(new char[static_cast<size_t>(size)]);
  const int result = ReadLine(work.get(), size, timeout);
  if (result > 0) {
    line = work.get();
  }
  return result;
}

// ---- Sending

int Cnx::_Send(const char* data, int length) {
  ssize_t n;
  do {
    // MSG_NOSIGNAL: a peer that went away must cost this send, not the daemon.
    n = send(item->socket, data, static_cast<size_t>(length), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    return -1;
  }
  item->ifOutOctets += static_cast<unsigned long>(n);
  return static_cast<int>(n);
}

int Cnx::SendPacket(const char* data, int retryDelaySeconds, int retries, bool verbose) {
  if (data == nullptr) {
    data = "";
  }
  int length = static_cast<int>(strnlen(data, static_cast<size_t>(kMaxSend) + 1));
  if (length > kMaxSend) {
    std::string name;
    Warn("[Cnx::SendPacket] ERROR : socket " + std::string(sockName(name)) +
         ", output buffer is greater than " + std::to_string(kMaxSend) + " bytes, truncating ...");
    length = kMaxSend;
  }
  if (!Valid()) {
    return 0;
  }
  int result = _Send(data, length);
  const int sendErrno = errno;
  if (verbose) {
    Diag_3002Send(peerHost, peerPort, result, length, data).log();
  }
  if (result != -1) {
    item->lastActivity.SetNow();
    return result;
  }
  if (sendErrno != EWOULDBLOCK && sendErrno != EAGAIN) {
    return 0;
  }
  if (verbose) {
    Diag_3002SendMustRetry(peerHost, peerPort).log();
  }
  for (int i = 0; i < retries; ++i) {
    const long long waitMs = static_cast<long long>(i + 1) * std::max(retryDelaySeconds, 0) * 1000;
    Sleep(static_cast<unsigned>(std::min<long long>(waitMs, UINT_MAX)));
    result = _Send(data, length);
    if (verbose) {
      Diag_3002SendRetry(peerHost, peerPort, result, length, data).log();
    }
    if (result != -1) {
      return result;
    }
  }
  if (verbose) {
    std::string name;
    Warn("[Cnx::SendPacket] ERROR: Socket " + std::string(sockName(name)) +
         ", full distant buffer , aborting packet ...");
  }
  return 0;
}

int Cnx::SendPacket(String& data, int retryDelaySeconds, int retries) {
  return SendPacket(data.chars(), retryDelaySeconds, retries, true);
}

int Cnx::Valid() const {
  if (item.IsNull() || item->socket == -1) {
    return 0;
  }
  ssize_t n;
  do {
    n = send(item->socket, "", 0, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? 0 : 1;
}

// ---- Identification handshake

int Cnx::HandshakeWait() { return handshakeWait.load(); }

void Cnx::SetHandshakeWait(int seconds) { handshakeWait.store(seconds); }

int Cnx::InitiateAuthentification(int mode) {
  if (mode == 0) {
    return 1;
  }
  if (mode != 1) {
    Warn("[Cnx::InitiateAuthentification] ERROR : Unknown identification mode " +
         std::to_string(mode) + ".");
    return 0;
  }
  if (SendPacket(kIdentity, 0, 0, true) <= 0) {
    Warn("[Cnx::InitiateAuthentification] ERROR : Unable to send identity datas.");
    return 0;
  }
  char reply[kHandshakeBytes + 1] = {};
  const int received = item->_ReadAvailable(reply, kHandshakeBytes, HandshakeWait());
  if (received <= 0) {
    Warn(
        "[Cnx::InitiateAuthentification] ERROR : Timeout, the remote object doesn't respond to "
        "identification request.");
    return 0;
  }
  const int identityLength = static_cast<int>(strlen(kIdentity));
  if (received < identityLength || received > identityLength + 2) {
    Warn(
        "[Cnx::InitiateAuthentification] ERROR : Bad length, the remote object doesn't identify "
        "properly.");
    return 0;
  }
  if (memcmp(reply, kIdentity, static_cast<size_t>(identityLength)) != 0) {
    Warn(
        "[Cnx::InitiateAuthentification] ERROR : Bad Data, the remote object doesn't identify "
        "properly.");
    return 0;
  }
  Diag_3002ObjectAuthenticated().log();
  return 1;
}

int Cnx::CheckAuthentification(int mode) {
  if (mode == 0) {
    return 1;
  }
  if (mode != 1) {
    Warn("[Cnx::CheckAuthentification] ERROR : Unknown identification mode " +
         std::to_string(mode) + ".");
    return 0;
  }
  // One byte more than is read: the echo stops at the first NUL whatever came.
  char request[kHandshakeBytes + 1] = {};
  if (item->_ReadAvailable(request, kHandshakeBytes, HandshakeWait()) <= 0) {
    Warn(
        "[Cnx::CheckAuthentification] ERROR : the remote object doesn't ask for identification, "
        "connection untrusted.");
    return 0;
  }
  if (SendPacket(request, 0, 0, true) <= 0) {
    Warn("[Cnx::CheckAuthentification] ERROR : Unable to reply to identification request.");
    return 0;
  }
  Diag_3002IDRequestProcessed().log();
  return 1;
}

// ---- Accessors and text forms

int Cnx::Socket() const { return item.IsNull() ? -1 : item->socket; }

unsigned long Cnx::IfInOctets() const { return item.IsNull() ? 0 : item->ifInOctets; }

unsigned long Cnx::IfOutOctets() const { return item.IsNull() ? 0 : item->ifOutOctets; }

Timestamp Cnx::OpenningTime() const { return item.IsNull() ? Timestamp() : item->openningTime; }

Timestamp Cnx::LastActivity() const { return item.IsNull() ? Timestamp() : item->lastActivity; }

const char* Cnx::sockName(std::string& out) const {
  out = incoming ? "from " : "to ";
  out += " " + HostPort(peerHost, peerPort);
  return out.c_str();
}

const char* Cnx::DebugOn(std::string& out) const {
  out += incoming ? "from " : "to ";
  out += " " + HostPort(peerHost, peerPort);
  return out.c_str();
}

const char* Cnx::bufferAsString(std::string& out, const char* data, int length) {
  if (data == nullptr || length <= 0) {
    out.clear();
    return out.c_str();
  }
  out.assign(data, static_cast<size_t>(length));
  std::replace(out.begin(), out.end(), '\n', ' ');
  std::replace(out.begin(), out.end(), '\r', ' ');
  return out.c_str();
}
