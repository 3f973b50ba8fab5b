// UDPCnx: a connectionless IPv4 sender: Establish opens a datagram socket and
// resolves the destination once, SendTo sends one datagram per text. A
// sender whose socket or destination could not be had stays invalid and
// every send then fails quietly.
//
// Owned by whoever declares it (the UDP log device); it closes its socket
// when destroyed. Establish is for one thread at a time before any send;
// after that SendTo is safe for concurrent use (one sendto per datagram).
#ifndef VIGILD_UTILS_UDPCNX_H
#define VIGILD_UTILS_UDPCNX_H

class UDPCnx {
 public:
  UDPCnx();
  ~UDPCnx();
  UDPCnx(const UDPCnx&) = delete;
  UDPCnx& operator=(const UDPCnx&) = delete;

  // Opens the socket and resolves host (a name or a dotted address) to the
  // destination address. Port 0 is no destination. True when both worked;
  // otherwise the socket is closed again and the sender is invalid.
  bool Establish(const char* host, const unsigned short port);
  // One datagram holding text's bytes without its terminating zero; false
  // when invalid or when the system refuses the datagram.
  bool SendTo(const char* text) const;

  bool IsValid() const { return valid; }
  const char* getHostIP() const { return hostIP; }
  unsigned short getPort() const { return port; }

 private:
  void _Close();

  // Written only by Establish and the destructor.
  bool valid;
  int socket;  // -1 when none is open
  char hostIP[32];
  unsigned short port;
};

#endif  // VIGILD_UTILS_UDPCNX_H
