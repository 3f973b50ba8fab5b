#include "Diagnostic.h"

#include "LogServer.h"
#include "LogSeverityCode.h"
#include "TlConfigurationGlobal.h"

void Diagnostic::log() const {
  if (!turnedOn()) {
    return;
  }
  std::ostringstream out;
  v_getResult(out);
  const std::string text = out.str();
  if (text.empty()) {
    return;
  }
  logDiag(toLogMarker(v_getConfigIdentifier()), text);
}

bool Diagnostic::turnedOn() const {
  return TlConfigurationGlobal::Instance()->BoolAtIfMissing(v_getConfigIdentifier(), false);
}

std::string Diagnostic::toLogMarker(const std::string& key) {
  std::string marker = key;
  for (char& c : marker) {
    if (c == '.') {
      c = '_';
    }
  }
  return marker;
}

void Diagnostic::logDiag(const std::string& code, const std::string& text) {
  LogServer::Report(Info, code.c_str(), text, "", false);
}
