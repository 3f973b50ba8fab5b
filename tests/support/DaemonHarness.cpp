#include "DaemonHarness.h"

#include <grp.h>

#include "ChildProcess.h"

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

bool StartsWith(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}

void Send(int fd, const std::string& text) {
  ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

std::string EndOf(int fd, int timeoutMs) {
  const timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  char buffer[256];
  std::string came;
  ssize_t n;
  while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
    came.append(buffer, static_cast<size_t>(n));
  }
  const bool waited = errno == EAGAIN || errno == EWOULDBLOCK;
  return came + (n == 0 ? "closed" : errno == ECONNRESET ? "reset" : waited ? "open" : "failed");
}

static bool BecomeUser(uid_t uid) {
  return uid == 0 || (setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0);
}

int AsUser(uid_t uid, const std::function<bool()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    _exit(!BecomeUser(uid) ? 2 : body() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Watch(long pid, const std::string& name, const std::string& stop,
                  const std::string& start, int maxwset, const std::string& extra) {
  return "BEGINWATCH\npid: " + std::to_string(pid) + "\npsname: " + name + "\npsstart: " + start +
         "\npsstop: " + stop + (maxwset ? "\nmaxwset: " + std::to_string(maxwset) : "") + "\n" +
         extra + "END;\n";
}

std::string Beat(long pid, int wset) {
  return "BEGINMSG\npid: " + std::to_string(pid) + "\npswset: " + std::to_string(wset) + "\nEND;\n";
}

std::string OverLimit(long pid, const std::string& name, const std::string& stop,
                      const std::string& start) {
  return Watch(pid, name, stop, start, 100) + Beat(pid, 500);
}

Daemon::Daemon(const TempDir& home, std::vector<std::string> args, std::vector<std::string> env,
               int stdoutFd, int handedSocket)
    : out(home.Join("stdout")), err(home.Join("stderr")), pidsFile(home.Join("state/started")) {
  args.insert(args.begin(), VIGILD_BINARY);
  pid = SpawnClean(args, env, out, err, stdoutFd, handedSocket);
}

Daemon::~Daemon() {
  EXPECT_FALSE(Has(Err(), "Sanitizer")) << Err();
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  std::istringstream pids(ReadAll(pidsFile));
  for (int child; pids >> child;) {
    kill(child, SIGKILL);
  }
}

int Daemon::WaitExit(int timeoutMs) {
  const int status = ::WaitExit(pid, timeoutMs);
  pid = status == -1 ? pid : -1;
  return status;
}

std::string Daemon::Out() const { return ReadAll(out); }
std::string Daemon::Err() const { return ReadAll(err); }

bool Daemon::ErrSays(const std::string& part, int timeoutMs) const {
  return WaitUntil([&] { return Has(Err(), part); }, timeoutMs);
}

bool Daemon::OutSays(const std::string& part, int timeoutMs) const {
  return WaitUntil([&] { return Has(Out(), part); }, timeoutMs);
}

DaemonHarness::DaemonHarness() : port(FreePort()), marks(home.Join("marks")) {
  // Clients and commands of another user write their marks here.
  chmod(home.path().c_str(), 0755);
  for (const char* dir : {"log", "conf", "run"}) {
    mkdir(home.Join(dir).c_str(), 0755);
  }
  mkdir(marks.c_str(), 0777);
  chmod(marks.c_str(), 0777);
}

DaemonHarness::~DaemonHarness() {
  // Only children not reaped yet: a reaped pid may belong to someone else.
  for (pid_t pid : owned) {
    if (waitpid(pid, nullptr, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  for (pid_t pid : processes) {
    if (pid > 0) {
      kill(pid, SIGKILL);
    }
  }
  for (int fd : leftOpen) {
    close(fd);
  }
}

std::vector<std::string> DaemonHarness::Env(std::vector<std::string> more) const {
  more.insert(more.begin(), "TLMHOME=" + home.path());
  return more;
}

std::unique_ptr<Daemon> DaemonHarness::Start(std::vector<std::string> args, const char* level) {
  args.insert(args.end(), {"-P", std::to_string(port), "-D", level});
  return std::make_unique<Daemon>(home, args, Env());
}

std::unique_ptr<Daemon> DaemonHarness::StartWith(const std::string& lines, const char* level,
                                                 const std::vector<std::string>& env, int stdoutFd,
                                                 int handedSocket) {
  home.WriteFile("conf/vigild.conf", lines);
  return std::make_unique<Daemon>(home,
                                  std::vector<std::string>{"-P", std::to_string(port), "-D", level,
                                                           "-f", home.Join("conf/vigild.conf")},
                                  Env(env), stdoutFd, handedSocket);
}

int DaemonHarness::ConnectWhenUp(int toPort, int timeoutMs) {
  int fd = -1;
  WaitUntil([&] { return (fd = ConnectTcp(toPort ? toPort : port)) >= 0; }, timeoutMs);
  return fd;
}

bool DaemonHarness::Accepts(int toPort, int timeoutMs) {
  const int fd = ConnectWhenUp(toPort, timeoutMs);
  close(fd);
  return fd >= 0;
}

int DaemonHarness::Anchor() {
  const int fd = ConnectWhenUp();
  if (fd >= 0) {
    leftOpen.push_back(fd);
    Send(fd, Watch(getpid(), "e2e"));
  }
  return fd;
}

std::string DaemonHarness::LogFilesText() const {
  std::error_code missing;  // no directory, or a file where it goes: no text
  std::string text;
  for (const auto& file : std::filesystem::directory_iterator(home.Join("log"), missing)) {
    text += ReadAll(file.path());
  }
  return text;
}

DaemonHarness::Result DaemonHarness::Ctl(std::vector<std::string> args, bool withPort) {
  args.insert(args.begin(), VIGILCTL_BINARY);
  if (withPort && args.size() > 1) {
    args.insert(args.begin() + 2, {"--port", std::to_string(port)});
  }
  // One number a run, taken once: tests run vigilctl from several threads at a time.
  static std::atomic<int> calls{0};
  const std::string call = std::to_string(calls++);
  const std::string out = home.Join("ctl.out" + call), err = home.Join("ctl.err" + call);
  const int status = WaitExit(SpawnClean(args, Env(), out, err), 30000);
  return {status, ReadAll(out), ReadAll(err)};
}

pid_t DaemonHarness::Process(uid_t uid, const std::function<std::string(pid_t)>& orders,
                             const char* from) {
  int report[2];
  if (pipe(report) != 0) {
    return -1;
  }
  const pid_t child = fork();
  if (child == 0) {
    if (fork() == 0) {
      close(report[0]);
      if (!BecomeUser(uid)) {
        _exit(2);
      }
      const std::string text = orders ? orders(getpid()) : "";
      const int fd = text.empty() ? -2 : ConnectTcp(port, from);
      const bool sent =
          fd == -2 || (fd >= 0 && send(fd, text.data(), text.size(), MSG_NOSIGNAL) >= 0);
      const pid_t self = getpid();
      if (!sent || write(report[1], &self, sizeof self) != sizeof self) {
        _exit(3);
      }
      for (;;) {
        pause();
      }
    }
    _exit(0);
  }
  close(report[1]);
  waitpid(child, nullptr, 0);
  pid_t pid = -1;
  if (read(report[0], &pid, sizeof pid) != sizeof pid) {
    pid = -1;
  }
  close(report[0]);
  processes.push_back(pid);
  return pid;
}

pid_t DaemonHarness::Run(std::vector<std::string> args, const std::string& tag, int toPort,
                         const std::vector<std::string>& env) {
  args.insert(args.begin(),
              {VIGILCTL_BINARY, "run", "--port", std::to_string(toPort != 0 ? toPort : port)});
  owned.push_back(SpawnClean(args, Env(env), RunOut(tag), RunErr(tag)));
  return owned.back();
}

nlohmann::json DaemonHarness::StatusJson() const {
  return nlohmann::json::parse(ReadAll(home.Join("log/vigild.status.json")), nullptr, false);
}

nlohmann::json DaemonHarness::Entry(const std::string& name) const {
  for (const auto& process : At("/processes")) {
    if (process.value("name", "") == name) {
      return process;
    }
  }
  return nullptr;
}

nlohmann::json DaemonHarness::At(const std::string& pointer) const {
  const nlohmann::json document = StatusJson();
  const nlohmann::json::json_pointer at(pointer);
  return document.is_object() && document.contains(at) ? document[at] : nullptr;
}

long DaemonHarness::PidOf(const std::string& name) const {
  const nlohmann::json entry = Entry(name);
  return entry.is_null() ? -1 : entry["pid"].get<long>();
}

bool DaemonHarness::Exists(const std::string& name) const {
  return access(Mark(name).c_str(), F_OK) == 0;
}

bool DaemonHarness::Alive(pid_t pid) {
  if (kill(pid, 0) != 0) {
    return false;
  }
  // A zombie has ended: whoever reaps it (init, for the double-forked
  // processes) may take its time.
  const std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
  const size_t name = stat.rfind(')');
  return name == std::string::npos || name + 2 >= stat.size() || stat[name + 2] != 'Z';
}
