#include "RestartWorkers.h"

#include <chrono>
#include <string>
#include <system_error>
#include <utility>

#include "LogServer.h"

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
  _Reap();
  queue.push_back(std::move(job));
  if (running >= limit) {
    return;  // a running worker takes it when its turn comes
  }
  workers.emplace_back();
  Worker* worker = &workers.back();
  try {
    worker->thread = std::thread(&RestartWorkers::_Run, this, worker);
    ++running;
    return;
  } catch (const std::system_error& error) {
    workers.pop_back();
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
    now();
  }
}

void RestartWorkers::_Run(RestartWorkers* self, Worker* worker) {
  std::unique_lock<std::mutex> hold(self->mutex);
  // A lowered limit ends the surplus workers as they finish their jobs.
  while (!self->queue.empty() && self->running <= self->limit) {
    Job job = std::move(self->queue.front());
    self->queue.pop_front();
    ++self->busy;
    hold.unlock();
    try {
      job();
    } catch (...) {
      // The jobs report their own failures; one that escapes must not take
      // the daemon down with std::terminate.
      LogServer::Report(Error, "DL30000", "[RestartWorkers] ERROR : a restart job failed",
                        "GENERIC", true);
    }
    hold.lock();
    --self->busy;
  }
  --self->running;
  worker->ended = true;
  // Under the mutex: once Close sees the count fall, this thread no longer
  // touches the object.
  self->changed.notify_all();
}

void RestartWorkers::_Reap() {
  for (auto it = workers.begin(); it != workers.end();) {
    if (it->ended) {
      it->thread.join();
      it = workers.erase(it);
    } else {
      ++it;
    }
  }
}

void RestartWorkers::Open() {
  std::lock_guard<std::mutex> hold(mutex);
  closing = false;
}

void RestartWorkers::Close() {
  std::unique_lock<std::mutex> hold(mutex);
  closing = true;
  changed.notify_all();
  changed.wait(hold, [this] { return running == 0; });
  _Reap();
}

bool RestartWorkers::Closing() {
  std::lock_guard<std::mutex> hold(mutex);
  return closing;
}

bool RestartWorkers::Pause(unsigned ms) {
  std::unique_lock<std::mutex> hold(mutex);
  return !changed.wait_for(hold, std::chrono::milliseconds(ms), [this] { return closing; });
}

size_t RestartWorkers::Waiting() {
  std::lock_guard<std::mutex> hold(mutex);
  return queue.size();
}

size_t RestartWorkers::Running() {
  std::lock_guard<std::mutex> hold(mutex);
  return busy;
}
