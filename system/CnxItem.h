// CnxItem: the record behind a TCP connection: the socket descriptor, an
// 8192-byte receive buffer, byte counters and the connection's time stamps.
// It performs the raw and the buffered receives and the close; every socket
// event is reported through its "DIAG.CNX.…" switch.
//
// Created on the heap and owned jointly by the Cnx values that share it
// through Handle<CnxItem>; the last of them deletes it. Destruction frees the
// buffer but never closes the socket: closing is always explicit. One thread
// at a time; the owner locks (a connection belongs to one client thread).
#ifndef VIGILD_SYSTEM_CNXITEM_H
#define VIGILD_SYSTEM_CNXITEM_H

#include <memory>

#include "RefCounter.h"
#include "Timestamp.h"

class Cnx;
class LogStream;

class CnxItem : public RefCounter {
 public:
  static constexpr int kBufferSize = 8192;

  // No socket (-1), counters 0, both time stamps now, an empty buffer.
  CnxItem();
  // As above, holding `socket`.
  explicit CnxItem(int socket);
  ~CnxItem() override;
  // Not used by the system: each writes a "  *** object Copy" line on
  // standard error. The copy gets a buffer of its own with the unread bytes.
  CnxItem(const CnxItem& other);
  CnxItem& operator=(const CnxItem& other);

  // Closes the socket and reports the close; 1 when close succeeded, 0 when
  // it failed or there was no socket.
  int Disconnect();

  // Exactly `size` bytes through the receive buffer, unless a receive gives
  // nothing first; returns the bytes placed in `buffer`, zero-filled beyond.
  int ReadPacket(char* buffer, int size, int timeout);

 private:
  friend class Cnx;
  friend LogStream& operator<<(LogStream& stream, const CnxItem& item);

  // One receive of at most `size` bytes into `buffer`, waiting at most
  // `timeout` seconds for data. 0 on time-out (the connection stays open),
  // and on an error or the peer's close (the connection is closed).
  int _ReadPacket(char* buffer, int size, int timeout);
  // What the receive buffer holds (after one receive when it is empty), up
  // to `size` bytes: for exchanges whose length the reader does not know.
  int _ReadAvailable(char* buffer, int size, int timeout);

  // Moves up to `size` unread bytes to `out`.
  int _TakeBuffered(char* out, int size);
  void _CopyFrom(const CnxItem& other);
  // Waits for `events` on fd: 1 ready, 0 time-out, -1 failure (including a
  // descriptor that is not open). A negative time-out waits without bound.
  static int _WaitFor(int fd, short events, int timeoutSeconds);

  int socket;                      // -1 when closed
  unsigned long ifInOctets;        // bytes received
  unsigned long ifOutOctets;       // bytes sent
  Timestamp openningTime;          // when the connection was established
  Timestamp lastActivity;          // last successful receive or first-try send
  std::unique_ptr<char[]> buffer;  // kBufferSize bytes
  int bufferFill;                  // unread bytes, from bufferStart on
  int bufferSize;                  // kBufferSize
  // Offset of the first unread byte. Taking bytes advances it instead of
  // shifting the rest, so a line read byte by byte costs no copying; a
  // receive only happens into an empty buffer, which starts again at 0.
  int bufferStart;
};

// "[Cnx] { Socket=<socket>, Opened at <openningTime> } "
LogStream& operator<<(LogStream& stream, const CnxItem& item);

#endif  // VIGILD_SYSTEM_CNXITEM_H
