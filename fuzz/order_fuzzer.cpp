// Feeds a client's byte stream to the order-line reader, cut into lines as
// the connections cut them, executes every completed order on a
// private table, then judges what the orders registered and runs the
// supervision pass on the processes found wrong, through process services
// that never start or signal anything.
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "Cnx.h"
#include "FuzzLog.h"
#include "LineAssembler.h"
#include "ListenPort.h"
#include "String.h"
#include "WatchASCIIOrder.h"
#include "WatchedList.h"

namespace {

// Plays processes that exist, whatever their number, until their stop
// command has run once, and launches nothing: only the order's own checks
// keep a number from the table.
class FakeServices : public WatchedList::ProcessServices {
 public:
  int CheckPID(int pid) override { return pid == stoppedPid ? 0 : 1; }
  bool StartTime(int pid, unsigned long long& ticks) override {
    ticks = 1;
    return pid != stoppedPid;
  }
  bool ProcessRealUid(int pid, uid_t& uid) override {
    uid = 0;
    return pid != stoppedPid;
  }
  int CommandLunch(String& command, int) override {
    volatile int sink = command.length();
    (void)sink;
    ++launched;
    return launched % 3 != 0;  // some launches fail, so their error paths run too
  }
  long stoppedPid = LONG_MIN;  // no process is stopped before the pass below
  int launched = 0;
};

WatchedList::Waits NoWaits() {
  WatchedList::Waits waits;
  waits.graceAttempts = 2;
  waits.graceStepMs = 0;
  waits.killAttempts = 2;
  waits.killStepMs = 0;
  waits.restartPauseMs = 0;
  waits.passSleepMs = 0;
  waits.timeToLive = 1;
  return waits;
}

// The stream cut into lines by the connections' own line assembler; a
// stream that just stops leaves its partial last line unread, as a connection
// that ends does.
void FeedLines(const uint8_t* data, size_t size, WatchASCIIOrder& order, Cnx& cnx) {
  std::string scratch(reinterpret_cast<const char*>(data), size);
  LineAssembler lines;
  lines.Feed(&scratch[0], scratch.size(), [&](const char* text) {
    String line(text);
    if (order.ProcessLine(line) == 1) {
      order.ExecuteOrder(cnx);
      order.Reset();
    }
    return true;
  });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzLog::Install(5);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FakeServices services;
  WatchedList list(&services, NoWaits());
  pepoWatchedList = &list;
  {
    Cnx cnx;
    WatchASCIIOrder order;
    FeedLines(data, size, order, cnx);
  }
  // No order, however garbled, registers a pid below 1: kill(0) and kill(-1) reach groups.
  if (list.Size() > 0 && list.Snapshot().begin()->first < 1) {
    abort();
  }

  // Only processes found wrong stay, so that the pass below restarts and
  // removes every one of them and the loop ends on the next, empty pass.
  for (const auto& entry : list.Snapshot()) {
    if (entry.second.IsSomethingWrong() == 0) {
      list.DeleteWatch(entry.first);
    }
  }
  if (list.Size() > 0) {
    ListenPort port;
    port.state = ListenPort::kRunning;  // never started: the pass only reads the state
    services.stoppedPid = list.Snapshot().begin()->first;
    list.ProcessBlock(&port);
    port.state = ListenPort::kStopped;
    // A process found wrong stays wrong, so the pass restarted and removed
    // every one of them.
    if (list.Size() != 0) {
      abort();
    }
  }
  pepoWatchedList = nullptr;
  return 0;
}
