// Cnx: a TCP connection with value semantics. Copies share one CnxItem (the
// socket, the receive buffer, the time stamps) and keep their own peer text.
// It opens outgoing connections (blocking, or with a connect time-out),
// adopts sockets accepted by a listener, reads raw packets, buffered packets
// and text lines with a per-call time-out, sends with truncation and bounded
// retries, runs the identification handshake and probes liveness. Socket
// events go to the "DIAG.CNX.…" switches; errors to the log server with code
// "DL30102".
//
// A value owned by whoever holds it; the last copy deletes the shared record
// but closing the socket is always explicit (Disconnect). One thread at a
// time; the owner locks: a connection and all its copies belong to one
// thread at a time. No send raises SIGPIPE and every socket it opens is
// close-on-exec.
#ifndef VIGILD_SYSTEM_CNX_H
#define VIGILD_SYSTEM_CNX_H

#include <atomic>
#include <string>

#include "CnxItem.h"
#include "Handle.h"
#include "String.h"
#include "Timestamp.h"

class Cnx {
 public:
  // Longer sends are cut to this many bytes.
  static constexpr int kMaxSend = 31744;
  // Bytes of the handshake's request and reply reads.
  static constexpr int kHandshakeBytes = 128;
  // The identity the initiator sends and the responder echoes.
  static const char kIdentity[];

  Cnx();

  // Adopts a socket accepted by a listener (incoming), which the listener
  // made close-on-exec when it accepted it. Returns 1.
  int Establish(int socket, const char* host, int port);
  // Blocking outgoing connection to a dotted IPv4 address (no name lookup);
  // `silent` suppresses the error records. 1 or 0.
  int Establish(const char* host, const int port, bool silent);
  // Outgoing connection that waits at most timeoutSeconds for the connect;
  // `reserved` is not used. 1 or 0.
  int Establish(const char* host, const int port, const int timeoutSeconds, const int reserved);
  // Closes the socket: 0 when never established or the close failed.
  int Disconnect();

  // Each of these throws BError on a Cnx that was never established; time-
  // outs are seconds per wait, and a time-out leaves the connection open.
  // One receive straight into buffer, bypassing the receive buffer.
  int ReadPacketUnbufferred(char* buffer, int size, int timeout);
  // `size` bytes through the receive buffer, fewer only when a receive gave
  // nothing.
  int ReadPacket(char* buffer, int size, int timeout);
  // One line without its line feed and carriage returns, NUL-terminated in
  // buffer. 1 when a line feed came or size - 1 bytes were stored (the rest
  // of the line comes with the next call); 0 on time-out, error or close,
  // with what was read so far left in buffer.
  int ReadLine(char* buffer, int size, int timeout);
  // ReadLine into a work buffer of `size` bytes; on success `line` gets the
  // text. `ignored` is not used.
  int FastReadLine(String& line, String& ignored, int size, int timeout);

  // Sends data (cut to kMaxSend bytes, with a record saying so). When the
  // peer's buffer is full, tries `retries` more times after waits of 1, 2,
  // 3... times retryDelaySeconds. Returns the bytes sent, 0 on failure.
  int SendPacket(const char* data, int retryDelaySeconds, int retries, bool verbose);
  int SendPacket(String& data, int retryDelaySeconds, int retries);

  // Identification handshake. Mode 0 trusts without an exchange, mode 1
  // runs it, any other mode fails. The initiator sends kIdentity and wants
  // it echoed (a line end may follow); the responder echoes what it got.
  // Each side waits up to HandshakeWait() seconds for the other's bytes and
  // takes them as soon as they arrive, so two ends answer each other at
  // once. 1 when the exchange succeeded.
  int InitiateAuthentification(int mode);
  int CheckAuthentification(int mode);
  // The handshake's wait, 10 seconds unless a test shortens it.
  static int HandshakeWait();
  static void SetHandshakeWait(int seconds);

  // Safe on a Cnx that was never established: -1, 0, a default Timestamp.
  int Socket() const;
  unsigned long IfInOctets() const;
  unsigned long IfOutOctets() const;
  Timestamp OpenningTime() const;
  Timestamp LastActivity() const;
  // out = "from  host:port" (incoming) or "to  host:port"; returns its text.
  const char* sockName(std::string& out) const;
  // Appends "from  host:port" or "to  host:port" to out; returns its text.
  const char* DebugOn(std::string& out) const;
  // out = the `length` bytes of data with line feeds and carriage returns
  // made blanks (empty for a length of 0 or less); returns its text.
  static const char* bufferAsString(std::string& out, const char* data, int length);

  // 1 while the socket is open and a zero-byte send on it succeeds.
  int Valid() const;

 private:
  // One send of length bytes, retried on EINTR; -1 on failure (errno set).
  int _Send(const char* data, int length);
  // The non-blocking connect of the time-out form; 0 with `reason` set on
  // failure (an empty reason for a refused connection).
  int _ConnectWithin(int fd, int timeoutSeconds, std::string& reason);
  void _SetPeer(const char* host, int port, bool isIncoming);

  static std::atomic<int> handshakeWait;

  Handle<CnxItem> item;  // null until established
  std::string peerHost;  // dotted IPv4 address
  int peerPort;
  bool incoming;  // accepted by a listener, not opened here
};

#endif  // VIGILD_SYSTEM_CNX_H
