// Diagnostic: one traced event (a recv, a send, a close, a time-out, a step of
// the identification handshake) that is logged only while its switch is on.
// A switch is a boolean key of the global configuration named "DIAG.…", read
// again at every event, so tracing can be turned on per kind of event without
// touching the code that produces it. Each kind of event is a subclass that
// holds the event's data and writes its text.
//
// Objects are short-lived values on the stack of the thread that met the
// event, one thread at a time; the static functions are safe for concurrent
// use.
#ifndef VIGILD_UTILS_DIAGNOSTIC_H
#define VIGILD_UTILS_DIAGNOSTIC_H

#include <sstream>
#include <string>

class Diagnostic {
 public:
  virtual ~Diagnostic() = default;
  // Writes the event's text.
  virtual void v_getResult(std::ostringstream& out) const = 0;
  // The key of the switch.
  virtual const char* v_getConfigIdentifier() const = 0;

  // When the switch is on and the text is not empty, logs the text with the
  // switch's log marker as message code. Nothing is computed when it is off.
  void log() const;
  // The switch's value in the global configuration; a missing key is off.
  bool turnedOn() const;
  std::string configIdentifier() const { return v_getConfigIdentifier(); }

  // The key with every '.' turned into '_': the message code of its traces.
  static std::string toLogMarker(const std::string& key);
  // Hands the text to the reporter (the log server's: an Info record with
  // `code`, an empty tag and no flush, when the server accepts Info records).
  // Without a reporter the text is dropped.
  static void logDiag(const std::string& code, const std::string& text);

  // Receives every trace text. This class sits below the log server, so the
  // server installs its reporter here rather than being called by name.
  typedef void (*Reporter)(const std::string& code, const std::string& text);
  static void SetReporter(Reporter reporter);
};

#endif  // VIGILD_UTILS_DIAGNOSTIC_H
