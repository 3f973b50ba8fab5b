#include "Diagnostic.h"

#include <atomic>

#include "TlConfigurationGlobal.h"

namespace {

// Set once while the program loads and read by any thread that traces.
std::atomic<Diagnostic::Reporter> reporter{nullptr};

}  // namespace

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
  const Reporter report = reporter.load();
  if (report != nullptr) {
    report(code, text);
  }
}

void Diagnostic::SetReporter(Reporter newReporter) { reporter.store(newReporter); }
