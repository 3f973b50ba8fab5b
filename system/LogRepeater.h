// LogRepeater: a forwarder registered with the log server: every record the
// server delivers is handed to a callback together with a connection and a
// context text. A repeater is armed by setMessageCallback with a non-null
// callback and forwards until the callback fails once; from then on it is
// inactive and the server drops it.
//
// Created on the heap and owned jointly through Handle<LogRepeater> (the
// server's list holds one handle). Safe for concurrent use: the log server
// may deliver from several threads, and callMutex makes the callback run one
// call at a time, which also keeps the connection to one thread at a time.
#ifndef VIGILD_SYSTEM_LOGREPEATER_H
#define VIGILD_SYSTEM_LOGREPEATER_H

#include "Cnx.h"
#include "Handle.h"
#include "LogForwarder.h"
#include "LogMessage.h"
#include "String.h"
#include "TaskMutex.h"

class LogRepeater : public LogForwarder {
 public:
  // Receives one record; false means the repeater must stop. It runs on the
  // thread that delivers the record and must not wait for the log server to
  // drain (records it logs itself are not repeated).
  typedef bool (*Callback)(Handle<LogMessage> record, Cnx connection, String context);

  // No callback, an empty context, inactive.
  LogRepeater();
  ~LogRepeater() override;
  LogRepeater(const LogRepeater&) = delete;
  LogRepeater& operator=(const LogRepeater&) = delete;

  // False for a null callback (nothing changes). Otherwise keeps the
  // callback and copies of the connection and the context, and arms the
  // repeater.
  bool setMessageCallback(Callback callback, const Cnx& connection, const String& context);
  // False while inactive. Otherwise the callback's result; a false result
  // makes the repeater inactive.
  bool ProcessMessage(Handle<LogMessage> record) override;

 private:
  Callback callback;  // guarded by callMutex
  Cnx connection;     // guarded by callMutex
  String context;     // guarded by callMutex
  bool active;        // guarded by callMutex
  // Guards the four fields above and is held for the whole callback.
  TaskMutex callMutex;
};

#endif  // VIGILD_SYSTEM_LOGREPEATER_H
