// vigild_orderload: the load and measurement tool behind scripts/bench. Each
// verb does one bounded measurement against a daemon on 127.0.0.1 and prints
// one line of "key=value" fields; every loop ends by itself (duration or
// attempt limits), so a daemon that stops answering never hangs a run.
//
//   register --port P --pid X [--wdfreq S] [--psstop CMD] [--psstart CMD]
//   ingest   --port P --daemon D --pids X[,Y...] [--clients N] [--seconds S]
//            [--batch B] [--status FILE]      B orders per send (16); FILE:
//                                             the daemon's status file
//   churn    --port P --pids X [--threads N] [--seconds S]
//   sink     --port P [--seconds S]          plain loopback sink, for churn
//   burst    --port P [--clients N]          N connects at once: ms until all up
//   detect   --port P --pid X --stamp FILE [--wdfreq S]
//   idle     --daemon D [--seconds S]        CPU share and resident size
//   scale    --port P --daemon D --status FILE [--count N] [--seconds S]
//            [--hung H] [--wdfreq W] [--limit L]
//                                             N `sleep` processes, each on its
//            own connection held open and beating every 5 s: time until all
//            are registered, the daemon's threads, resident size and CPU over
//            S s, then the time from one silent item's last heartbeat to its
//            stop command (wdfreq W), alone and while H items' stop commands
//            hang for 100 s; a stop not seen within L s prints -1
//   freeport                                  a loopback port free right now
//
// Drained throughput: the orders a run sent count once the daemon has read
// them, which is when its CPU time stops advancing (the daemon never answers
// an order, so a sender only knows the kernel took the bytes). The client
// sockets stay open until then, so nothing is lost to an early close. CPU per
// order is the daemon's utime+stime over that span divided by the orders.
// When the daemon writes a status file, the executed heartbeat count it
// reports is checked too: `executed` is how many of the run's orders the
// daemon itself counted (it rewrites the file about once a second).
//
// Owned by nobody: a program. The threads of one verb share only atomics.
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The wall time a stop command wrote into stamp, polled every 20 ms for at
// most limitSeconds; -1 when none came.
double WaitForStamp(const std::string& stamp, double limitSeconds) {
  const Clock::time_point start = Clock::now();
  while (SecondsSince(start) < limitSeconds) {
    std::ifstream in(stamp);
    double value = 0;
    if (in >> value && value > 0) {
      return value;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

double WallNow() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct Options {
  std::map<std::string, std::string> values;
  std::string Get(const std::string& key, const std::string& fallback) const {
    auto it = values.find(key);
    return it == values.end() ? fallback : it->second;
  }
  long Number(const std::string& key, long fallback) const {
    auto it = values.find(key);
    return it == values.end() ? fallback : strtol(it->second.c_str(), nullptr, 10);
  }
};

[[noreturn]] void Fail(const std::string& text) {
  fprintf(stderr, "vigild_orderload: %s\n", text.c_str());
  exit(2);
}

// A connected blocking socket to 127.0.0.1:port, -1 on failure. A small send
// buffer keeps the bytes queued in the kernel (which the daemon must still
// drain) to a few blocks per connection.
int ConnectLoopback(int port, bool smallBuffer) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  if (smallBuffer) {
    const int size = 16384;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string Heartbeat(long pid) {
  return "BEGINMSG\npid: " + std::to_string(pid) + "\npswset: 100\npserrors: 0\nEND;\n";
}

std::vector<long> Pids(const Options& options) {
  std::vector<long> pids;
  std::stringstream list(options.Get("pids", options.Get("pid", "")));
  std::string one;
  while (std::getline(list, one, ',')) {
    if (!one.empty()) {
      pids.push_back(strtol(one.c_str(), nullptr, 10));
    }
  }
  if (pids.empty()) {
    Fail("--pids is required");
  }
  return pids;
}

// utime + stime of the process, in clock ticks; -1 when it is gone.
long long CpuTicks(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(in, text)) {
    return -1;
  }
  // The name field may hold blanks and parentheses: count from its end.
  const size_t close = text.rfind(')');
  if (close == std::string::npos) {
    return -1;
  }
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  long long utime = 0;
  long long stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) {
      utime = atoll(field.c_str());
    } else if (i == 15) {
      stime = atoll(field.c_str());
    }
  }
  return utime + stime;
}

// CPU time of the live threads in nanoseconds, from the scheduler's own
// accounting (finer than the clock ticks of CpuTicks).
long long CpuNanos(long pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* tasks = opendir(dir.c_str());
  if (tasks == nullptr) {
    return -1;
  }
  long long total = 0;
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') {
      continue;
    }
    std::ifstream in(dir + "/" + entry->d_name + "/schedstat");
    long long running = 0;
    if (in >> running) {
      total += running;
    }
  }
  closedir(tasks);
  return total;
}

// The number after field ("VmRSS:", "Threads:") in /proc/<pid>/status; -1
// when it is not there.
long StatusNumber(long pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, field.size(), field) == 0) {
      return strtol(line.c_str() + field.size(), nullptr, 10);
    }
  }
  return -1;
}

long ResidentKiB(long pid) { return StatusNumber(pid, "VmRSS:"); }

// The executed heartbeat orders of a status file ("orders": {"msg": N}), -1
// when there is no such file or figure.
long long ExecutedHeartbeats(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  const std::string json = text.str();
  const size_t orders = json.find("\"orders\"");
  const size_t msg = orders == std::string::npos ? orders : json.find("\"msg\"", orders);
  const size_t colon = msg == std::string::npos ? msg : json.find(':', msg);
  if (colon == std::string::npos) {
    return -1;
  }
  return strtoll(json.c_str() + colon + 1, nullptr, 10);
}

// How often text occurs in the "processes" list of the status file at path
// (its keys are sorted, so "programs" follows); 0 when it cannot be read.
long StatusCount(const std::string& path, const std::string& text) {
  std::ifstream in(path);
  std::stringstream content;
  content << in.rdbuf();
  const std::string whole = content.str();
  const size_t begin = whole.find("\"processes\"");
  const size_t end = whole.find("\"programs\"");
  long count = 0;
  for (size_t at = whole.find(text, begin); begin != std::string::npos && at < end;
       at = whole.find(text, at + 1)) {
    ++count;
  }
  return count;
}

// Waits until the daemon's CPU time has not moved for quietMs, at most
// limitSeconds; returns the moment of the last movement seen.
Clock::time_point WaitForIdle(long pid, int quietMs, int limitSeconds) {
  const Clock::time_point start = Clock::now();
  long long last = CpuTicks(pid);
  Clock::time_point lastChange = Clock::now();
  while (SecondsSince(start) < limitSeconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const long long now = CpuTicks(pid);
    if (now != last) {
      last = now;
      lastChange = Clock::now();
    } else if (std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastChange)
                   .count() >= quietMs) {
      break;
    }
  }
  return lastChange;
}

// Ends a one-shot connection as the daemon expects: the sending side is shut
// and the daemon's close awaited (3 s at most). A client that closes at once
// may be gone before the daemon looks up who owns it, and is refused.
void EndOneShot(int fd) {
  shutdown(fd, SHUT_WR);
  char scratch[256];
  pollfd readable{fd, POLLIN, 0};
  while (poll(&readable, 1, 3000) == 1 && read(fd, scratch, sizeof scratch) > 0) {
  }
  close(fd);
}

int Register(const Options& options) {
  const int port = static_cast<int>(options.Number("port", 0));
  const long pid = options.Number("pid", 0);
  const std::string order = "BEGINWATCH\npid: " + std::to_string(pid) +
                            "\npsname: bench\npsstart: " + options.Get("psstart", "true") +
                            "\npsstop: " + options.Get("psstop", "true") +
                            "\nwdfreq: " + std::to_string(options.Number("wdfreq", 3600)) +
                            "\nEND;\n";
  const int fd = ConnectLoopback(port, false);
  if (fd < 0 || !SendAll(fd, order)) {
    Fail("register: cannot reach the daemon");
  }
  EndOneShot(fd);
  printf("registered=%ld\n", pid);
  return 0;
}

int Ingest(const Options& options) {
  const int port = static_cast<int>(options.Number("port", 0));
  const long daemon = options.Number("daemon", 0);
  const int clients = static_cast<int>(options.Number("clients", 1));
  const double seconds = static_cast<double>(options.Number("seconds", 3));
  const std::vector<long> pids = Pids(options);
  if (clients < 1 || clients > 1024 || daemon <= 0) {
    Fail("ingest: --daemon and 1..1024 --clients are required");
  }
  std::vector<int> sockets;
  for (int i = 0; i < clients; ++i) {
    const int fd = ConnectLoopback(port, true);
    if (fd < 0) {
      Fail("ingest: cannot connect client " + std::to_string(i));
    }
    sockets.push_back(fd);
  }
  // Let the daemon start every client thread before the clock runs.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const int blocksPerSend = static_cast<int>(options.Number("batch", 16));
  if (blocksPerSend < 1 || blocksPerSend > 1024) {
    Fail("ingest: --batch must be 1..1024");
  }
  std::atomic<long long> orders{0};
  std::atomic<int> failed{0};
  const std::string status = options.Get("status", "");
  // The count before the run, once earlier orders have reached the file.
  long long executedBefore = status.empty() ? -1 : ExecutedHeartbeats(status);
  for (int i = 0; i < 8 && executedBefore >= 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const long long now = ExecutedHeartbeats(status);
    if (now == executedBefore) {
      break;
    }
    executedBefore = now;
  }
  const long long ticksBefore = CpuTicks(daemon);
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      std::string batch;
      for (int b = 0; b < blocksPerSend; ++b) {
        batch += Heartbeat(pids[static_cast<size_t>(i) % pids.size()]);
      }
      long long mine = 0;
      while (SecondsSince(start) < seconds) {
        if (!SendAll(sockets[static_cast<size_t>(i)], batch)) {
          failed.fetch_add(1);
          break;
        }
        mine += blocksPerSend;
      }
      orders.fetch_add(mine);
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  const double sendSeconds = SecondsSince(start);
  const Clock::time_point drained = WaitForIdle(daemon, 400, 120);
  const long long ticksAfter = CpuTicks(daemon);
  for (int fd : sockets) {
    close(fd);
  }
  const long long total = orders.load();
  // The file lags by up to a second or so: wait for the count, bounded.
  long long executed = -1;
  if (executedBefore >= 0) {
    const Clock::time_point asked = Clock::now();
    do {
      executed = ExecutedHeartbeats(status) - executedBefore;
      if (executed >= total) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (SecondsSince(asked) < 5);
  }
  const double drainSeconds = std::chrono::duration<double>(drained - start).count();
  const double cpuMicros = static_cast<double>(ticksAfter - ticksBefore) * 1e6 /
                           static_cast<double>(sysconf(_SC_CLK_TCK));
  const double share = executed >= 0 && total > 0
                           ? static_cast<double>(executed) / static_cast<double>(total)
                           : -1.0;
  printf(
      "clients=%d orders=%lld executed=%lld executed_share=%.4f send_s=%.3f drain_s=%.3f "
      "orders_per_s=%.0f cpu_us_per_order=%.2f failed_clients=%d\n",
      clients, total, executed, share, sendSeconds, drainSeconds,
      drainSeconds > 0 ? static_cast<double>(total) / drainSeconds : 0.0,
      total > 0 ? cpuMicros / static_cast<double>(total) : 0.0, failed.load());
  return failed.load() == 0 ? 0 : 1;
}

int Churn(const Options& options) {
  const int port = static_cast<int>(options.Number("port", 0));
  const int threadCount = static_cast<int>(options.Number("threads", 8));
  const double seconds = static_cast<double>(options.Number("seconds", 3));
  const std::string order = Heartbeat(Pids(options).front());
  std::atomic<long long> done{0};
  std::atomic<long long> failed{0};
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < threadCount; ++i) {
    threads.emplace_back([&] {
      while (SecondsSince(start) < seconds) {
        const int fd = ConnectLoopback(port, false);
        if (fd < 0) {
          failed.fetch_add(1);
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
          continue;
        }
        if (SendAll(fd, order)) {
          done.fetch_add(1);
        } else {
          failed.fetch_add(1);
        }
        close(fd);
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  const double elapsed = SecondsSince(start);
  printf("threads=%d connections=%lld failed=%lld conn_per_s=%.1f\n", threadCount, done.load(),
         failed.load(), static_cast<double>(done.load()) / elapsed);
  return 0;
}

// A plain loopback server in the daemon's thread model: one accept loop and
// one detached thread per connection that reads until the peer closes.
int Sink(const Options& options) {
  const int port = static_cast<int>(options.Number("port", 0));
  const double seconds = static_cast<double>(options.Number("seconds", 10));
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, SOMAXCONN) != 0) {
    Fail("sink: cannot listen on port " + std::to_string(port));
  }
  printf("sink listening\n");
  fflush(stdout);
  const Clock::time_point start = Clock::now();
  long long accepted = 0;
  while (SecondsSince(start) < seconds) {
    pollfd waited{listener, POLLIN, 0};
    if (poll(&waited, 1, 100) != 1) {
      continue;
    }
    const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      continue;
    }
    ++accepted;
    std::thread([client] {
      char buffer[8192];
      pollfd readable{client, POLLIN, 0};
      while (poll(&readable, 1, 5000) == 1 && recv(client, buffer, sizeof buffer, 0) > 0) {
      }
      close(client);
    }).detach();
  }
  close(listener);
  printf("accepted=%lld\n", accepted);
  return 0;
}

int Burst(const Options& options) {
  const int port = static_cast<int>(options.Number("port", 0));
  const int clients = static_cast<int>(options.Number("clients", 64));
  std::vector<pollfd> pending;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < clients; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int result = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (result != 0 && errno != EINPROGRESS) {
      Fail("burst: connect failed at once");
    }
    pending.push_back(pollfd{fd, POLLOUT, 0});
  }
  int connected = 0;
  int failed = 0;
  double slowest = 0;
  std::vector<pollfd> waiting = pending;
  while (!waiting.empty() && SecondsSince(start) < 30) {
    if (poll(waiting.data(), waiting.size(), 100) <= 0) {
      continue;
    }
    std::vector<pollfd> still;
    for (const pollfd& one : waiting) {
      if (one.revents == 0) {
        still.push_back(pollfd{one.fd, POLLOUT, 0});
        continue;
      }
      int error = 0;
      socklen_t length = sizeof error;
      getsockopt(one.fd, SOL_SOCKET, SO_ERROR, &error, &length);
      if (error == 0) {
        ++connected;
        slowest = SecondsSince(start);
      } else {
        ++failed;
      }
    }
    waiting.swap(still);
  }
  for (const pollfd& one : pending) {
    close(one.fd);
  }
  printf("clients=%d connected=%d failed=%d all_connected_ms=%.1f\n", clients, connected, failed,
         waiting.empty() ? slowest * 1000 : -1.0);
  return waiting.empty() && failed == 0 ? 0 : 1;
}

// Registers pid with a short wdfreq and a stop command that writes the wall
// time to stampFile and ends the process, sends heartbeats for two seconds,
// then waits for the stamp: the latency is stamp minus last heartbeat.
int Detect(const Options& options) {
  const int port = static_cast<int>(options.Number("port", 0));
  const long pid = options.Number("pid", 0);
  const long wdfreq = options.Number("wdfreq", 2);
  const std::string stamp = options.Get("stamp", "");
  if (stamp.empty() || pid <= 0) {
    Fail("detect: --pid and --stamp are required");
  }
  unlink(stamp.c_str());
  const std::string watch = "BEGINWATCH\npid: " + std::to_string(pid) +
                            "\npsname: latency\npsstart: true\npsstop: date +%s.%N > " + stamp +
                            "; kill " + std::to_string(pid) +
                            "\nwdfreq: " + std::to_string(wdfreq) + "\nEND;\n";
  const int fd = ConnectLoopback(port, false);
  if (fd < 0 || !SendAll(fd, watch)) {
    Fail("detect: cannot reach the daemon");
  }
  double lastBeat = 0;
  for (int i = 0; i < 8; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    if (!SendAll(fd, Heartbeat(pid))) {
      Fail("detect: heartbeat failed");
    }
    lastBeat = WallNow();
  }
  const double stopped = WaitForStamp(stamp, 30);
  close(fd);
  printf("wdfreq=%ld detection_s=%.3f\n", wdfreq, stopped > 0 ? stopped - lastBeat : -1.0);
  return stopped > 0 ? 0 : 1;
}

int Idle(const Options& options) {
  const long daemon = options.Number("daemon", 0);
  const long seconds = options.Number("seconds", 60);
  const long long before = CpuNanos(daemon);
  const Clock::time_point start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const long long after = CpuNanos(daemon);
  const double elapsed = SecondsSince(start);
  if (before < 0 || after < 0) {
    Fail("idle: the daemon went away");
  }
  printf("idle_s=%.1f cpu_percent=%.4f rss_kib=%ld\n", elapsed,
         static_cast<double>(after - before) / 1e9 / elapsed * 100.0, ResidentKiB(daemon));
  return 0;
}

// The processes listed in a status file ("processes": [{"pid": ...}, ...]),
// -1 when it cannot be read.
long StatusProcesses(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  const std::string json = text.str();
  const size_t list = json.find("\"processes\"");
  if (list == std::string::npos) {
    return -1;
  }
  long count = 0;
  for (size_t at = json.find("\"pid\"", list); at != std::string::npos;
       at = json.find("\"pid\"", at + 1)) {
    ++count;
  }
  return count;
}

long Threads(long pid) { return StatusNumber(pid, "Threads:"); }

pid_t StartSleeper() {
  const pid_t child = fork();
  if (child == 0) {
    execlp("sleep", "sleep", "3600", static_cast<char*>(nullptr));
    _exit(127);
  }
  return child;
}

std::string Watch(long pid, const std::string& name, const std::string& stop, long wdfreq) {
  return "BEGINWATCH\npid: " + std::to_string(pid) + "\npsname: " + name +
         "\npsstart: true\npsstop: " + stop + "\nwdfreq: " + std::to_string(wdfreq) + "\nEND;\n";
}

// One silent item: registered, beaten every second for 3 s, then left
// silent; seconds from its last heartbeat to its stop command, -1 when the
// stop did not come within limit seconds.
double SilentItemStop(int port, long wdfreq, long limit, const std::string& stamp) {
  unlink(stamp.c_str());
  const pid_t victim = StartSleeper();
  const int fd = ConnectLoopback(port, false);
  if (fd < 0 || !SendAll(fd, Watch(victim, "silent", "date +%s.%N > " + stamp, wdfreq))) {
    Fail("scale: cannot reach the daemon");
  }
  double lastBeat = WallNow();
  for (int i = 0; i < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    SendAll(fd, Heartbeat(victim));
    lastBeat = WallNow();
  }
  const double stopped = WaitForStamp(stamp, limit);
  close(fd);
  kill(victim, SIGKILL);
  waitpid(victim, nullptr, 0);
  return stopped > 0 ? stopped - lastBeat : -1.0;
}

int Scale(const Options& options) {
  const int port = static_cast<int>(options.Number("port", 0));
  const long daemon = options.Number("daemon", 0);
  const long count = options.Number("count", 1000);
  const long seconds = options.Number("seconds", 60);
  const long hung = options.Number("hung", 50);
  const long wdfreq = options.Number("wdfreq", 5);
  const long limit = options.Number("limit", 60);
  const std::string status = options.Get("status", "");
  if (status.empty() || daemon <= 0) {
    Fail("scale: --daemon and --status are required");
  }
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
  const long before = StatusProcesses(status);
  std::vector<pid_t> sleepers;
  std::vector<int> connections;
  const Clock::time_point start = Clock::now();
  for (long i = 0; i < count; ++i) {
    sleepers.push_back(StartSleeper());
    const int fd = ConnectLoopback(port, false);
    if (fd < 0 || !SendAll(fd, Watch(sleepers.back(), "scale", "true", 60))) {
      Fail("scale: connection " + std::to_string(i) + " refused");
    }
    connections.push_back(fd);
  }
  double registered = -1;
  while (SecondsSince(start) < 60) {
    if (StatusProcesses(status) - before >= count) {
      registered = SecondsSince(start);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // Every connection beats every 5 s, spread over the period.
  std::atomic<bool> beating{true};
  std::thread beater([&] {
    while (beating.load()) {
      const Clock::time_point round = Clock::now();
      for (size_t i = 0; i < connections.size() && beating.load(); ++i) {
        SendAll(connections[i], Heartbeat(sleepers[i]));
        const auto due = round + std::chrono::milliseconds(5000 * (i + 1) / connections.size());
        std::this_thread::sleep_until(due);
      }
    }
  });
  const long long cpuBefore = CpuNanos(daemon);
  const Clock::time_point cpuStart = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double cpu = static_cast<double>(CpuNanos(daemon) - cpuBefore) / 1e9 /
                     SecondsSince(cpuStart) * 100.0;
  const long rss = ResidentKiB(daemon);
  const long threads = Threads(daemon);
  const std::string stamp = "/tmp/vigild-scale-stamp." + std::to_string(getpid());
  const double alone = SilentItemStop(port, wdfreq, limit, stamp);
  // Items whose stop commands hang: registered, never beaten. One connection
  // carries them all, so the N connections above and these stay within the
  // daemon's default connection limit (1024) with room for the silent item's.
  std::vector<pid_t> stuck;
  std::vector<int> stuckConnections;
  const int hungFd = ConnectLoopback(port, false);
  for (long i = 0; i < hung && hungFd >= 0; ++i) {
    stuck.push_back(StartSleeper());
    SendAll(hungFd, Watch(stuck.back(), "hung", "sleep 100", 2));
  }
  if (hungFd >= 0) {
    stuckConnections.push_back(hungFd);
  }
  // Measured only once every hung item is under restart: its stop command
  // launched and its grace wait begun.
  long underRestart = 0;
  for (int i = 0; i < 100 && underRestart < hung; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    underRestart = StatusCount(status, "\"restarting\"");
  }
  const double withHung = underRestart >= hung ? SilentItemStop(port, wdfreq, limit, stamp) : -2.0;
  beating.store(false);
  beater.join();
  printf("count=%ld registered_s=%.2f rss_kib=%ld threads=%ld cpu_percent=%.3f stop_s=%.2f "
         "stop_with_hung_s=%.2f hung_restarting=%ld wdfreq=%ld\n",
         count, registered, rss, threads, cpu, alone, withHung, underRestart, wdfreq);
  for (int fd : connections) {
    close(fd);
  }
  for (int fd : stuckConnections) {
    close(fd);
  }
  for (const auto* group : {&sleepers, &stuck}) {
    for (pid_t one : *group) {
      kill(one, SIGKILL);
    }
    for (pid_t one : *group) {
      waitpid(one, nullptr, 0);
    }
  }
  unlink(stamp.c_str());
  return registered >= 0 ? 0 : 1;
}

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    Fail("freeport: no port");
  }
  printf("%d\n", ntohs(address.sin_port));
  close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  if (argc < 2) {
    Fail("usage: vigild_orderload VERB [--key value]... (see the source head)");
  }
  const std::string verb = argv[1];
  Options options;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (strncmp(argv[i], "--", 2) != 0) {
      Fail(std::string("unexpected argument ") + argv[i]);
    }
    options.values[argv[i] + 2] = argv[i + 1];
  }
  if (verb == "register") {
    return Register(options);
  }
  if (verb == "ingest") {
    return Ingest(options);
  }
  if (verb == "churn") {
    return Churn(options);
  }
  if (verb == "sink") {
    return Sink(options);
  }
  if (verb == "burst") {
    return Burst(options);
  }
  if (verb == "detect") {
    return Detect(options);
  }
  if (verb == "freeport") {
    return FreePort();
  }
  if (verb == "idle") {
    return Idle(options);
  }
  if (verb == "scale") {
    return Scale(options);
  }
  Fail("unknown verb " + verb);
}
