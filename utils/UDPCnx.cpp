#include "UDPCnx.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "IPCache.h"
#include "SNMPHost.h"

UDPCnx::UDPCnx() : valid(false), socket(-1), hostIP(""), port(0) {}

UDPCnx::~UDPCnx() { _Close(); }

void UDPCnx::_Close() {
  if (socket >= 0) {
    close(socket);  // not retried on EINTR: the descriptor is gone either way
  }
  socket = -1;
  valid = false;
}

bool UDPCnx::Establish(const char* host, const unsigned short destinationPort) {
  _Close();
  hostIP[0] = '\0';
  port = destinationPort;
  // Close-on-exec, so the shell commands the daemon launches do not inherit
  // the log socket.
  socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  valid = socket >= 0;
  if (!valid || host == nullptr || destinationPort == 0) {
    _Close();
    return false;
  }
  IPCache cache(-1);
  SNMPHost record(host);
  if (cache.InternalGetHostByName(&record, host, false) == 0) {
    _Close();
    return false;
  }
  const String& address = record.getHostIP();
  if (address.length() >= static_cast<int>(sizeof hostIP)) {
    _Close();
    return false;
  }
  memcpy(hostIP, address.chars(), static_cast<size_t>(address.length()) + 1);
  return true;
}

bool UDPCnx::SendTo(const char* text) const {
  if (!valid || text == nullptr) {
    return false;
  }
  sockaddr_in destination;
  memset(&destination, 0, sizeof destination);
  destination.sin_family = AF_INET;
  destination.sin_port = htons(port);
  destination.sin_addr.s_addr = inet_addr(hostIP);
  const size_t length = strlen(text);
  ssize_t sent;
  do {
    sent = sendto(socket, text, length, 0, reinterpret_cast<const sockaddr*>(&destination),
                  sizeof destination);
  } while (sent < 0 && errno == EINTR);
  return sent >= 0;
}
