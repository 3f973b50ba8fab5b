// CnxDiagnostics: the traced events of a TCP connection, one Diagnostic
// subclass per kind of event, each with its own switch "DIAG.CNX.…" (all of
// them reached by the alias "DIAG.CNX"). Each object copies the event's data
// when it is made, so it may outlive the buffers it was given, except the
// receive trace, which reads its caller's buffer only when it is logged.
//
// Short-lived values on the stack of the connection's thread; one thread at a
// time.
#ifndef VIGILD_SYSTEM_CNXDIAGNOSTICS_H
#define VIGILD_SYSTEM_CNXDIAGNOSTICS_H

#include <sstream>
#include <string>

#include "Diagnostic.h"

// A successful recv: the `result` bytes of `data`, line ends included. It
// runs for every read of every connection, so it keeps only a pointer and
// copies the bytes when its switch is on: log it before the buffer changes.
class Diag_3002Recv : public Diagnostic {
 public:
  Diag_3002Recv(int result, int socket, const char* data, int size);
  void v_getResult(std::ostringstream& out) const override;
  const char* v_getConfigIdentifier() const override;

 private:
  int result;
  int socket;
  const char* data;  // the caller's buffer
  int size;
};

class Diag_3002RecvSockErr : public Diagnostic {
 public:
  void v_getResult(std::ostringstream& out) const override;
  const char* v_getConfigIdentifier() const override;
};

class Diag_3002RecvSockZero : public Diagnostic {
 public:
  void v_getResult(std::ostringstream& out) const override;
  const char* v_getConfigIdentifier() const override;
};

class Diag_3002SelectTimeout : public Diagnostic {
 public:
  explicit Diag_3002SelectTimeout(int timeoutSeconds);
  void v_getResult(std::ostringstream& out) const override;
  const char* v_getConfigIdentifier() const override;

 private:
  int timeout;
};

class Diag_3002SelectFailed : public Diagnostic {
 public:
  void v_getResult(std::ostringstream& out) const override;
  const char* v_getConfigIdentifier() const override;
};

class Diag_3002RecvOK : public Diagnostic {
 public:
  void v_getResult(std::ostringstream& out) const override;
  const char* v_getConfigIdentifier() const override;
};

// One send call: the `length` bytes of `data` offered, of which `result` went.
class Diag_3002Send : public Diagnostic {
 public:
  Diag_3002Send(const std::string& host, int port, int result, int length, const char* data);
  void v_getResult(std::ostringstream& out) const override;
  const char* v_getConfigIdentifier() const override;

 private:
  std::string host;
  int port;
  int result;
  int length;
  std::string data;
};

// A send repeated after the peer's buffer was full: same text, own switch.
class Diag_3002SendRetry : public Diag_3002Send {
 public:
  using Diag_3002Send::Diag_3002Send;
  const char* v_getConfigIdentifier() const override;
};

class Diag_3002SendMustRetry : public Diagnostic {
 public:
  Diag_3002SendMustRetry(const std::string& host, int port);
  void v_getResult(std::ostringstream& out) const override;
  const char* v_getConfigIdentifier() const override;

 private:
  std::string host;
  int port;
};

class Diag_3002SocketClose : public Diagnostic {
 public:
  Diag_3002SocketClose(int result, int socket);
  void v_getResult(std::ostringstream& out) const override;
  const char* v_getConfigIdentifier() const override;

 private:
  int result;
  int socket;
};

class Diag_3002Connect : public Diagnostic {
 public:
  Diag_3002Connect(int result, int socket, const std::string& host, int port);
  void v_getResult(std::ostringstream& out) const override;
  const char* v_getConfigIdentifier() const override;

 private:
  int result;
  int socket;
  std::string host;
  int port;
};

// The connect of a non-blocking outgoing connection, with the peer it was for.
class Diag_3002Establish : public Diagnostic {
 public:
  Diag_3002Establish(const std::string& peerHost, int peerPort, int result, int socket,
                     const std::string& host, int port);
  void v_getResult(std::ostringstream& out) const override;
  const char* v_getConfigIdentifier() const override;

 private:
  std::string peerHost;
  int peerPort;
  int result;
  int socket;
  std::string host;
  int port;
};

class Diag_3002ObjectAuthenticated : public Diagnostic {
 public:
  void v_getResult(std::ostringstream& out) const override;
  const char* v_getConfigIdentifier() const override;
};

class Diag_3002IDRequestProcessed : public Diagnostic {
 public:
  void v_getResult(std::ostringstream& out) const override;
  const char* v_getConfigIdentifier() const override;
};

#endif  // VIGILD_SYSTEM_CNXDIAGNOSTICS_H
