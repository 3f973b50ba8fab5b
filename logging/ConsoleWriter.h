// ConsoleWriter: the queue between the console log output and the terminal
// or pipe behind one of descriptors 1 and 2. Callers hand it whole lines and never
// wait: a line that does not fit the queue is dropped and counted. One writer
// thread writes the lines in order; once it can write again after drops, it
// first writes one line saying how many were dropped.
//
// Owned by LogDeviceConsole. The writer thread is started by the first line
// and ends once its owner is gone and the queue is empty; a thread blocked on
// a console nobody reads stays blocked until the process ends, holding only
// its own share of the state. Safe for concurrent use.
#ifndef VIGILD_LOGGING_CONSOLEWRITER_H
#define VIGILD_LOGGING_CONSOLEWRITER_H

#include <stddef.h>

#include <functional>
#include <memory>
#include <string>

class ConsoleWriter {
 public:
  // Lines waiting for the console at most: about a second of the busiest
  // logging, so a slow terminal loses nothing while a stuck one costs a
  // bounded amount of memory.
  static constexpr size_t kQueueLines = 1000;

  // dropNote builds the line (newline included) that reports n dropped lines.
  explicit ConsoleWriter(std::function<std::string(unsigned long)> dropNote);
  // Waits up to kCloseWaitMs for the queued lines, then lets the writer go.
  ~ConsoleWriter();
  ConsoleWriter(const ConsoleWriter&) = delete;
  ConsoleWriter& operator=(const ConsoleWriter&) = delete;

  static constexpr int kCloseWaitMs = 1000;

  // Queues line for descriptor (1 or 2). False when it was dropped.
  bool Submit(int descriptor, std::string line);
  // Waits until every queued line was written, at most timeoutMs. True when
  // nothing is left.
  bool Drain(int timeoutMs);

  struct State;

 private:
  std::shared_ptr<State> state;
};

#endif  // VIGILD_LOGGING_CONSOLEWRITER_H
