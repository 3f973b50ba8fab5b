#include "CnxDiagnostics.h"

namespace {

// The bytes of an event, or nothing for a failed call or a missing buffer.
std::string Bytes(const char* data, int count) {
  return (data != nullptr && count > 0) ? std::string(data, static_cast<size_t>(count))
                                        : std::string();
}

}  // namespace

Diag_3002Recv::Diag_3002Recv(int result_, int socket_, const char* data_, int size_)
    : result(result_), socket(socket_), data(data_), size(size_) {}
void Diag_3002Recv::v_getResult(std::ostringstream& out) const {
  out << result << " <- recv(" << socket << ", '" << Bytes(data, result) << "', " << size << " )";
}
const char* Diag_3002Recv::v_getConfigIdentifier() const { return "DIAG.CNX.RECV"; }

void Diag_3002RecvSockErr::v_getResult(std::ostringstream& out) const {
  out << "[Cnx::ReadPacket] INFO : Reading nothing on socket";
}
const char* Diag_3002RecvSockErr::v_getConfigIdentifier() const { return "DIAG.CNX.RECV.SOCKERR"; }

void Diag_3002RecvSockZero::v_getResult(std::ostringstream& out) const {
  out << "[Cnx::ReadPacket] INFO : recv failed, socket is closed";
}
const char* Diag_3002RecvSockZero::v_getConfigIdentifier() const {
  return "DIAG.CNX.RECV.SOCKZERO";
}

Diag_3002SelectTimeout::Diag_3002SelectTimeout(int timeoutSeconds) : timeout(timeoutSeconds) {}
void Diag_3002SelectTimeout::v_getResult(std::ostringstream& out) const {
  out << "[Cnx::ReadPacket] ERROR : select, Timeout " << timeout << " sec";
}
const char* Diag_3002SelectTimeout::v_getConfigIdentifier() const {
  return "DIAG.CNX.SELECT.TIMEOUT";
}

void Diag_3002SelectFailed::v_getResult(std::ostringstream& out) const {
  out << "[Cnx::ReadPacket] ERROR : select failed on socket.";
}
const char* Diag_3002SelectFailed::v_getConfigIdentifier() const {
  return "DIAG.CNX.SELECT.FAILURE";
}

void Diag_3002RecvOK::v_getResult(std::ostringstream& out) const { out << "Receive is OK."; }
const char* Diag_3002RecvOK::v_getConfigIdentifier() const { return "DIAG.CNX.RECV.RECVOK"; }

Diag_3002Send::Diag_3002Send(const std::string& host_, int port_, int result_, int length_,
                             const char* data_)
    : host(host_), port(port_), result(result_), length(length_), data(Bytes(data_, length_)) {}
void Diag_3002Send::v_getResult(std::ostringstream& out) const {
  out << host << ":" << port << "  ";
  if (result < length) {
    out << " **INCOMPLETE** ";
  }
  out << result << " <- send("
      << "'" << data << "', " << length << ", 0"
      << " )";
}
const char* Diag_3002Send::v_getConfigIdentifier() const { return "DIAG.CNX.SEND"; }

const char* Diag_3002SendRetry::v_getConfigIdentifier() const { return "DIAG.CNX.SEND.RETRY"; }

Diag_3002SendMustRetry::Diag_3002SendMustRetry(const std::string& host_, int port_)
    : host(host_), port(port_) {}
void Diag_3002SendMustRetry::v_getResult(std::ostringstream& out) const {
  out << host << ":" << port << "  "
      << "EWOULDBLOCK <- send( ) ... retrying";
}
const char* Diag_3002SendMustRetry::v_getConfigIdentifier() const {
  return "DIAG.CNX.SEND.MUSTRETRY";
}

Diag_3002SocketClose::Diag_3002SocketClose(int result_, int socket_)
    : result(result_), socket(socket_) {}
void Diag_3002SocketClose::v_getResult(std::ostringstream& out) const {
  out << result << " <- close(" << socket << " )";
}
const char* Diag_3002SocketClose::v_getConfigIdentifier() const { return "DIAG.CNX.SOCKCLOSE"; }

Diag_3002Connect::Diag_3002Connect(int result_, int socket_, const std::string& host_, int port_)
    : result(result_), socket(socket_), host(host_), port(port_) {}
void Diag_3002Connect::v_getResult(std::ostringstream& out) const {
  out << result << " <- connect(" << socket << ", " << host << ":" << port << " )";
}
const char* Diag_3002Connect::v_getConfigIdentifier() const { return "DIAG.CNX.CONNECT"; }

Diag_3002Establish::Diag_3002Establish(const std::string& peerHost_, int peerPort_, int result_,
                                       int socket_, const std::string& host_, int port_)
    : peerHost(peerHost_),
      peerPort(peerPort_),
      result(result_),
      socket(socket_),
      host(host_),
      port(port_) {}
void Diag_3002Establish::v_getResult(std::ostringstream& out) const {
  out << peerHost << ":" << peerPort << "  " << result << " <- connect(" << socket << ", " << host
      << ":" << port << " )";
}
const char* Diag_3002Establish::v_getConfigIdentifier() const { return "DIAG.CNX.ESTABLISH"; }

void Diag_3002ObjectAuthenticated::v_getResult(std::ostringstream& out) const {
  out << "[Cnx::InitiateAuthentification] INFO : The remote object is identified and trusted.";
}
const char* Diag_3002ObjectAuthenticated::v_getConfigIdentifier() const {
  return "DIAG.CNX.OBJECTAUTH";
}

void Diag_3002IDRequestProcessed::v_getResult(std::ostringstream& out) const {
  out << "[Cnx::CheckAuthentification] INFO : identification request processed ...";
}
const char* Diag_3002IDRequestProcessed::v_getConfigIdentifier() const {
  return "DIAG.CNX.IDREQUEST.PROCESSED";
}
