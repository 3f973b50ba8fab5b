// FakeServiceManager: a Unix datagram socket in the service manager's place
// that keeps every message it receives with the time it came. A thread of its
// own, started by the constructor and joined by the destructor. Safe for
// concurrent use: one mutex guards the messages.
#ifndef VIGILD_TESTS_SUPPORT_FAKESERVICEMANAGER_H
#define VIGILD_TESTS_SUPPORT_FAKESERVICEMANAGER_H

#include "TestCommon.h"

class FakeServiceManager {
 public:
  struct Message {
    std::string text;
    int64_t atMs;  // NowMs() when it came
  };

  // Bound at path (a leading '@': in the abstract namespace); Bound() says
  // whether that worked.
  explicit FakeServiceManager(const std::string& path);
  ~FakeServiceManager();
  FakeServiceManager(const FakeServiceManager&) = delete;
  FakeServiceManager& operator=(const FakeServiceManager&) = delete;

  bool Bound() const { return fd >= 0; }
  std::vector<Message> Messages();
  // The texts received so far, one a line.
  std::string Texts();
  // The times at which text came, in order.
  std::vector<int64_t> Times(const std::string& text);
  // Whether text has come (or comes within timeoutMs).
  bool WaitFor(const std::string& text, int timeoutMs);

  const std::string path;

 private:
  void _Receive();

  int fd = -1;
  std::atomic<bool> done{false};
  std::mutex mutex;  // guards messages
  std::vector<Message> messages;
  std::thread thread;
};

#endif  // VIGILD_TESTS_SUPPORT_FAKESERVICEMANAGER_H
