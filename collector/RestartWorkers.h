// RestartWorkers: the threads that run the steps of restart sequences, so that
// a stop command, its grace wait, "kill -9" and the delay before a start
// command never hold up the supervision pass or the clients' orders.
//
// A sequence is a chain of short jobs: a job that must wait (for a process to
// leave, for the delay before a start) posts its continuation with PostAfter
// and returns, so a waiting sequence holds no thread. Ready jobs run in the
// order they became ready, at most `limit` at once; the others wait their
// turn in a queue. A worker thread is started when a ready job finds no free
// one and ends as soon as the queue is empty; one clock thread exists while
// delayed jobs do, and moves each to the queue when its time comes. A daemon
// with no restart under way has no worker and no clock thread.
//
// Owned by the WatchedList, which posts a job for every item its pass finds
// wrong, opens the workers when its loop starts and closes them when the loop
// ends: Close makes every delayed job ready at once, lets every job run (each
// sees Closing() and ends its sequence) and waits until every thread has made
// its last use of the object, so that none touches the list afterwards. The
// threads are detached, their last act counted under the mutex: a finished
// thread never waits to be joined, since the stop sequence may end the
// process at any moment. Safe for concurrent use: one mutex guards the queue,
// the timers, the counts and the closing flag; it is never held while a job
// runs.
#ifndef VIGILD_COLLECTOR_RESTARTWORKERS_H
#define VIGILD_COLLECTOR_RESTARTWORKERS_H

#include <stddef.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

class RestartWorkers {
 public:
  using Job = std::function<void()>;
  using Clock = std::chrono::steady_clock;

  // Jobs that run at once unless the configuration says otherwise.
  static constexpr long kDefaultLimit = 16;

  explicit RestartWorkers(size_t limit = kDefaultLimit);
  // Closes and joins.
  ~RestartWorkers();
  RestartWorkers(const RestartWorkers&) = delete;
  RestartWorkers& operator=(const RestartWorkers&) = delete;

  // How many jobs may run at once (at least 1). Takes effect for the jobs
  // that start from then on.
  void SetLimit(size_t limit);
  size_t Limit();

  // Queues job. It runs on a worker thread as soon as fewer than the limit
  // run. When no thread can be started and none runs, it runs here, on the
  // caller's thread, after a Warning: late is better than never.
  void Post(Job job);
  // Queues job once ms milliseconds have passed, or at once when the workers
  // are closing or Close begins meanwhile.
  void PostAfter(unsigned ms, Job job);

  // Accepts jobs again after a Close.
  void Open();
  // Makes every delayed job ready, waits for every job to have run (those
  // posted meanwhile too; they see Closing()) and for every thread to be done
  // with the object.
  void Close();
  // Whether Close has begun: a job that sees it ends its sequence where it
  // stands.
  bool Closing();

  // Jobs ready and not yet begun, jobs running, and jobs whose time has not
  // come.
  size_t Waiting();
  size_t Running();
  size_t Delayed();

 private:
  static void _Run(RestartWorkers* self);
  static void _Tick(RestartWorkers* self);
  // Queues job and starts a worker for it when fewer than the limit run; may
  // unlock hold to run it on this thread when no thread can be had.
  void _Ready(Job job, std::unique_lock<std::mutex>& hold);

  std::mutex mutex;  // guards every member below
  std::condition_variable changed;  // a thread ended, a timer was added, or Close began
  std::deque<Job> queue;
  std::multimap<Clock::time_point, Job> timers;  // delayed jobs by due time
  bool clockRunning = false;  // the clock thread, which moves due timers to the queue, runs
  size_t running = 0;         // workers that have not made their last use of the object
  size_t busy = 0;            // jobs running
  size_t limit;
  bool closing = false;
};

#endif  // VIGILD_COLLECTOR_RESTARTWORKERS_H
