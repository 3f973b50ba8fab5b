#include "ConsoleWriter.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <deque>
#include <utility>

#include "CriticalSection.h"
#include "Sleep.h"
#include "TaskEvent.h"
#include "TaskMutex.h"
#include "ThreadLauncher.h"

namespace {

// Pause between looks while a caller waits for the queue to empty.
constexpr unsigned kDrainPollMs = 2;
// How long the writer waits for room on a console that does not take output.
constexpr int kIdleWaitMs = 1000;

struct Line {
  int descriptor;
  std::string text;
};

// Writes all of text; false when the descriptor refuses it for good.
bool WriteAll(int descriptor, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(descriptor, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    // Someone else made the shared description non-blocking: wait for room
    // instead of spinning.
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd room{descriptor, POLLOUT, 0};
      poll(&room, 1, kIdleWaitMs);
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace

struct ConsoleWriter::State {
  explicit State(std::function<std::string(unsigned long)> note) : dropNote(std::move(note)) {}

  const std::function<std::string(unsigned long)> dropNote;  // constant after construction
  TaskMutex mutex;                                           // guards the fields below
  std::deque<Line> queue;                                    // oldest first
  unsigned long dropped = 0;                                 // lines refused since the last note
  bool writing = false;    // the writer holds a line taken from the queue
  bool started = false;    // the writer thread was started
  bool ownerGone = false;  // the ConsoleWriter was destroyed
  TaskEvent wake;          // signalled for every queued line and at the end

  void Run();
};

namespace {

void RunConsoleWriter(void* argument) {
  std::unique_ptr<std::shared_ptr<ConsoleWriter::State>> state(
      static_cast<std::shared_ptr<ConsoleWriter::State>*>(argument));
  (*state)->Run();
}

}  // namespace

void ConsoleWriter::State::Run() {
  for (;;) {
    Line line;
    unsigned long droppedNow = 0;
    {
      CriticalSection lock(&mutex);
      if (queue.empty()) {
        writing = false;
        if (ownerGone) {
          return;
        }
      } else {
        line = std::move(queue.front());
        queue.pop_front();
        droppedNow = dropped;
        dropped = 0;
        writing = true;
      }
    }
    if (!writing) {
      // Every new line and the owner's end signal the event (a signal is
      // never lost: it stays pending), so an idle writer needs no timer and
      // costs nothing while the daemon is quiet.
      wake.Wait(0);
      continue;
    }
    // The console took the line before this one, so it takes output again;
    // the report goes where the next line goes.
    if (droppedNow > 0) {
      WriteAll(line.descriptor, dropNote(droppedNow));
    }
    WriteAll(line.descriptor, line.text);
    CriticalSection lock(&mutex);
    writing = false;
  }
}

ConsoleWriter::ConsoleWriter(std::function<std::string(unsigned long)> dropNote)
    : state(std::make_shared<State>(std::move(dropNote))) {}

ConsoleWriter::~ConsoleWriter() {
  Drain(kCloseWaitMs);
  CriticalSection lock(&state->mutex);
  state->ownerGone = true;
  state->wake.Signal();
}

bool ConsoleWriter::Submit(int descriptor, std::string line) {
  bool start = false;
  {
    CriticalSection lock(&state->mutex);
    if (state->queue.size() >= kQueueLines) {
      ++state->dropped;
      return false;
    }
    state->queue.push_back(Line{descriptor, std::move(line)});
    start = !state->started;
    state->started = true;
  }
  if (start) {
    // The thread keeps its own share of the state: it may outlive this object.
    auto* share = new std::shared_ptr<State>(state);
    ThreadLauncher launcher;
    const int result = launcher.Create(RunConsoleWriter, share);
    if (!ThreadLauncher::Started(result)) {
      delete share;
      CriticalSection lock(&state->mutex);
      state->started = false;
      state->dropped += state->queue.size();
      state->queue.clear();
      return false;
    }
  }
  state->wake.Signal();
  return true;
}

bool ConsoleWriter::Drain(int timeoutMs) {
  for (int waited = 0;; waited += static_cast<int>(kDrainPollMs)) {
    {
      CriticalSection lock(&state->mutex);
      if (state->queue.empty() && !state->writing) {
        return true;
      }
    }
    if (waited >= timeoutMs) {
      return false;
    }
    Sleep(kDrainPollMs);
  }
}
