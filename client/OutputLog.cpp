#include "OutputLog.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "SystemError.h"

OutputLog::OutputLog(std::string file, long most, int kept)
    : path(std::move(file)), maxBytes(most), keep(kept) {}

OutputLog::~OutputLog() { Close(); }

std::string OutputLog::Stamp(const timespec& when) {
  struct tm local {};
  localtime_r(&when.tv_sec, &local);
  char text[64];
  const size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  char zone[16];
  strftime(zone, sizeof zone, "%z", &local);
  snprintf(text + n, sizeof text - n, ".%03ld%s ", when.tv_nsec / 1000000L, zone);
  return text;
}

bool OutputLog::Open(std::string* error) {
  fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0640);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + SystemError::Text(errno);
    return false;
  }
  struct stat status {};
  size = fstat(fd, &status) == 0 ? static_cast<long>(status.st_size) : 0;
  writer = std::thread([this] { _Writer(); });
  return true;
}

void OutputLog::Feed(const char* data, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (data[i] == '\n') {
      _Queue(std::move(partial));
      partial.clear();
    } else {
      partial += data[i];
      if (partial.size() >= kMaxLine) {
        _Queue(std::move(partial));
        partial.clear();
      }
    }
  }
}

void OutputLog::_Queue(std::string line) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::string stamped = Stamp(now) + line + "\n";
  {
    std::lock_guard<std::mutex> hold(mutex);
    if (closing && !writer.joinable()) {
      return;
    }
    if (queued + stamped.size() > kQueueBytes) {
      dropped.fetch_add(1);
      return;
    }
    queued += stamped.size();
    queue.push_back(std::move(stamped));
  }
  wake.notify_one();
}

void OutputLog::Close() {
  if (!partial.empty()) {
    _Queue(std::move(partial));
    partial.clear();
  }
  {
    std::lock_guard<std::mutex> hold(mutex);
    closing = true;
  }
  wake.notify_one();
  if (writer.joinable()) {
    writer.join();
  }
  if (fd >= 0) {
    close(fd);
    fd = -1;
  }
}

void OutputLog::_Writer() {
  for (;;) {
    std::deque<std::string> batch;
    {
      std::unique_lock<std::mutex> hold(mutex);
      wake.wait(hold, [this] { return closing || !queue.empty(); });
      if (queue.empty()) {
        return;  // closing, and everything is written
      }
      batch.swap(queue);
    }
    for (const std::string& line : batch) {
      const uint64_t lost = dropped.load();
      if (lost > noted) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        if (_Write(Stamp(now) + "vigilctl: " + std::to_string(lost - noted) +
                   " line(s) of output lost (disk full or too slow)\n")) {
          noted = lost;
        }
      }
      if (!_Write(line)) {
        dropped.fetch_add(1);
      }
      std::lock_guard<std::mutex> hold(mutex);
      queued -= line.size();
    }
  }
}

bool OutputLog::_Write(const std::string& line) {
  if (size > 0 && size + static_cast<long>(line.size()) > maxBytes) {
    _Rotate();
  }
  if (fd < 0) {
    return false;
  }
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      // A part written stays: the next line starts on a line of its own.
      if (done > 0 && write(fd, "\n", 1) == 1) {
        size += static_cast<long>(done) + 1;
      }
      return false;
    }
    done += static_cast<size_t>(n);
  }
  size += static_cast<long>(line.size());
  return true;
}

void OutputLog::_Rotate() {
  if (keep == 0) {
    if (fd >= 0 && ftruncate(fd, 0) == 0) {
      size = 0;
    }
    return;
  }
  for (int i = keep - 1; i >= 1; --i) {
    rename((path + "." + std::to_string(i)).c_str(), (path + "." + std::to_string(i + 1)).c_str());
  }
  rename(path.c_str(), (path + ".1").c_str());
  const int fresh = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0640);
  if (fresh >= 0) {
    if (fd >= 0) {
      close(fd);
    }
    fd = fresh;
    size = 0;
  }
}
