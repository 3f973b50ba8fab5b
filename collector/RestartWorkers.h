// RestartWorkers: the threads that run restart sequences, so that a stop
// command, its grace wait, "kill -9" and the pause before a start command
// never hold up the supervision pass or the clients' orders. Jobs run in the
// order they were posted, at most `limit` at once; the others wait their
// turn in a queue. A worker thread is started when a job finds no free one
// and ends as soon as the queue is empty, so a daemon with no restart to run
// has no worker thread.
//
// Owned by the WatchedList, which posts a job for every item its pass finds
// wrong, opens the workers when its loop starts and closes them when the loop
// ends: Close wakes every Pause, lets the remaining jobs run (each sees
// Closing() and ends at once) and joins every worker, so that no worker
// outlives the loop or touches the list afterwards. Safe for concurrent use:
// one mutex guards the queue, the worker records and the closing flag; it is
// never held while a job runs, and a job never takes it except through Pause
// and Closing.
#ifndef VIGILD_COLLECTOR_RESTARTWORKERS_H
#define VIGILD_COLLECTOR_RESTARTWORKERS_H

#include <stddef.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

class RestartWorkers {
 public:
  using Job = std::function<void()>;

  // Restarts that run at once unless the configuration says otherwise.
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

  // Accepts jobs again after a Close.
  void Open();
  // Wakes every Pause, waits for every queued job to have run and for every
  // worker thread to have ended. Jobs posted meanwhile run too, and see
  // Closing().
  void Close();
  // Whether Close has begun: a job that sees it stops where it stands.
  bool Closing();

  // Sleeps ms milliseconds, or less when Close begins; true when the whole
  // time has passed and the workers are not closing.
  bool Pause(unsigned ms);

  // Jobs queued and not yet begun, and jobs running.
  size_t Waiting();
  size_t Running();

 private:
  struct Worker {
    std::thread thread;
    bool ended = false;  // guarded by mutex: set by the thread's last act
  };
  static void _Run(RestartWorkers* self, Worker* worker);
  // Joins the threads that have ended and forgets them.
  // REQUIRES: mutex held
  void _Reap();

  std::mutex mutex;  // guards queue, workers, running, limit and closing
  std::condition_variable changed;  // a worker ended, or Close began
  std::deque<Job> queue;
  std::list<Worker> workers;  // started and not yet joined
  size_t running = 0;         // workers that have not ended
  size_t busy = 0;            // jobs running
  size_t limit;
  bool closing = false;
};

#endif  // VIGILD_COLLECTOR_RESTARTWORKERS_H
