#include "ChildProcess.h"

#include "TestCommon.h"

pid_t SpawnClean(std::vector<std::string> argv, std::vector<std::string> env,
                 const std::string& out, const std::string& err, int outFd, int handedSocket) {
  env.push_back("PATH=/usr/bin:/bin");
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
    if (getenv(name) != nullptr) {
      env.push_back(std::string(name) + "=" + getenv(name));
    }
  }
  const pid_t pid = fork();
  if (pid == 0) {
    clearenv();
    for (std::string& entry : env) {
      putenv(&entry[0]);
    }
    if (handedSocket >= 0) {
      // dup2 onto itself would keep close-on-exec.
      handedSocket == 3 ? fcntl(3, F_SETFD, 0) : dup2(handedSocket, 3);
      setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
      setenv("LISTEN_FDS", "1", 1);
    }
    dup2(outFd >= 0 ? outFd : open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644), 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644), 2);
    std::vector<char*> args;
    for (std::string& a : argv) {
      args.push_back(&a[0]);
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

int WaitExit(pid_t pid, int timeoutMs) {
  int status = 0;
  if (!WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs)) {
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
