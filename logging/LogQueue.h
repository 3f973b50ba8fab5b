// LogQueue: the bounded queue between the threads that log and the one that
// writes. Producers never wait for the disk: they wait only while the queue
// is full, after waking the writer so it makes room at once instead of at
// its next period. The writer takes the whole queue in one short hold of
// the lock, so producers are held up by a swap, never by a write.
//
// Owned by the LogServer. Safe for concurrent use: any number of producers,
// and the writers (the log thread and Flush callers) that the server itself
// serialises.
#ifndef VIGILD_LOGGING_LOGQUEUE_H
#define VIGILD_LOGGING_LOGQUEUE_H

#include <stddef.h>

#include <deque>
#include <functional>

#include "Handle.h"
#include "LogMessage.h"
#include "TaskEvent.h"
#include "TaskMutex.h"

class LogQueue {
 public:
  using Records = std::deque<Handle<LogMessage>>;

  // A full queue holds this many records. A load taken out for writing no
  // longer counts, so at most twice this many records wait in memory.
  static constexpr size_t kCapacity = 1001;
  // A producer that finds the queue full looks again after this pause;
  // short, so that a burst is not held to one queue per drain period.
  static constexpr unsigned kFullPauseMs = 1;

  explicit LogQueue(size_t capacity = kCapacity);
  LogQueue(const LogQueue&) = delete;
  LogQueue& operator=(const LogQueue&) = delete;

  // 0 when the lock and the event were made, else their error.
  int Status() const;

  // Appends record. While the queue is full it wakes the writer and waits;
  // false, with nothing queued, once giveUp() says nobody will make room.
  bool Push(const Handle<LogMessage>& record, const std::function<bool()>& giveUp);
  // Moves every queued record, oldest first, to the end of out.
  void TakeAll(Records& out);
  // Takes the oldest record; nowEmpty tells whether none remain. False when
  // the queue is empty.
  bool TakeFirst(Handle<LogMessage>& record, bool& nowEmpty);
  size_t Size();

  // The writer's wait: until Wake, a producer that found the queue full, or
  // timeoutMs. TaskEvent's result (0 when woken, TaskEvent::kTimedOut).
  int WaitForWork(int timeoutMs);
  void Wake();

 private:
  TaskMutex mutex;  // guards records
  // Signalled by Wake and by producers that find it full. On the steady
  // clock: the writer's periodic flush must not wait out a time of day set back.
  TaskEvent work{TaskEvent::Clock::Steady};
  Records records;  // oldest first
  const size_t capacity;
};

#endif  // VIGILD_LOGGING_LOGQUEUE_H
