#include "RestartWorkers.h"

#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "LogServer.h"

namespace {

// Runs job; the jobs report their own failures, and one that escapes must
// not take the daemon down with std::terminate.
void RunGuarded(RestartWorkers::Job& job) {
  try {
    job();
  } catch (...) {
    LogServer::Report(Error, "DL30000", "[RestartWorkers] ERROR : a restart job failed",
                      "GENERIC", true);
  }
}

}  // namespace

RestartWorkers::RestartWorkers(size_t jobsAtOnce) : limit(jobsAtOnce > 0 ? jobsAtOnce : 1) {}

RestartWorkers::~RestartWorkers() { Close(); }

void RestartWorkers::SetLimit(size_t jobsAtOnce) {
  std::lock_guard<std::mutex> hold(mutex);
  limit = jobsAtOnce > 0 ? jobsAtOnce : 1;
}

size_t RestartWorkers::Limit() {
  std::lock_guard<std::mutex> hold(mutex);
  return limit;
}

void RestartWorkers::Post(Job job) {
  std::unique_lock<std::mutex> hold(mutex);
  _Ready(std::move(job), hold);
}

void RestartWorkers::PostAfter(unsigned ms, Job job) {
  std::unique_lock<std::mutex> hold(mutex);
  if (closing || ms == 0) {
    _Ready(std::move(job), hold);
    return;
  }
  timers.emplace(Clock::now() + std::chrono::milliseconds(ms), std::move(job));
  if (clockRunning) {
    changed.notify_all();  // the new timer may be the first due
    return;
  }
  try {
    std::thread(&RestartWorkers::_Tick, this).detach();
    clockRunning = true;
  } catch (const std::system_error& error) {
    // Without a clock the delay is lost, not the job: it runs at once.
    auto last = std::prev(timers.end());
    Job now = std::move(last->second);
    timers.erase(last);
    hold.unlock();
    LogServer::Report(Warning, "DL30102",
                      std::string("[RestartWorkers] WARNING : no thread to time a restart (") +
                          error.what() + "): its wait is cut short",
                      "GENERIC", true);
    hold.lock();
    _Ready(std::move(now), hold);
  }
}

void RestartWorkers::_Ready(Job job, std::unique_lock<std::mutex>& hold) {
  queue.push_back(std::move(job));
  if (running >= limit) {
    return;  // a running worker takes it when its turn comes
  }
  try {
    std::thread(&RestartWorkers::_Run, this).detach();
    ++running;
  } catch (const std::system_error& error) {
    if (running > 0) {
      return;
    }
    Job now = std::move(queue.back());
    queue.pop_back();
    hold.unlock();
    LogServer::Report(Warning, "DL30102",
                      std::string("[RestartWorkers] WARNING : no thread for a restart (") +
                          error.what() + "): it runs on the supervision thread",
                      "GENERIC", true);
    RunGuarded(now);
    hold.lock();
  }
}

void RestartWorkers::_Run(RestartWorkers* self) {
  std::unique_lock<std::mutex> hold(self->mutex);
  // A lowered limit ends the surplus workers as they finish their jobs.
  while (!self->queue.empty() && self->running <= self->limit) {
    Job job = std::move(self->queue.front());
    self->queue.pop_front();
    ++self->busy;
    hold.unlock();
    RunGuarded(job);
    hold.lock();
    --self->busy;
  }
  // The last use of the object, under the mutex: once Close sees the count
  // fall, the object may go.
  --self->running;
  self->changed.notify_all();
}

void RestartWorkers::_Tick(RestartWorkers* self) {
  std::unique_lock<std::mutex> hold(self->mutex);
  while (!self->timers.empty()) {
    const auto first = self->timers.begin();
    if (!self->closing && first->first > Clock::now()) {
      self->changed.wait_until(hold, first->first);
      continue;  // woken early by a new timer or Close, or on time: look again
    }
    Job job = std::move(first->second);
    self->timers.erase(first);
    self->_Ready(std::move(job), hold);
  }
  self->clockRunning = false;
  self->changed.notify_all();
}

void RestartWorkers::Open() {
  std::lock_guard<std::mutex> hold(mutex);
  closing = false;
}

void RestartWorkers::Close() {
  std::unique_lock<std::mutex> hold(mutex);
  closing = true;
  changed.notify_all();
  // A job that runs may post another; the clock hands over what remains.
  changed.wait(hold, [this] {
    return running == 0 && !clockRunning && timers.empty() && queue.empty();
  });
}

bool RestartWorkers::Closing() {
  std::lock_guard<std::mutex> hold(mutex);
  return closing;
}

size_t RestartWorkers::Waiting() {
  std::lock_guard<std::mutex> hold(mutex);
  return queue.size();
}

size_t RestartWorkers::Running() {
  std::lock_guard<std::mutex> hold(mutex);
  return busy;
}

size_t RestartWorkers::Delayed() {
  std::lock_guard<std::mutex> hold(mutex);
  return timers.size();
}
