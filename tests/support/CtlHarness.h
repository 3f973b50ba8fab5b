// CtlHarness: the fixture of vigilctl's and the program files' end-to-end
// tests, a DaemonHarness with one vigild. When the test ends it kills the
// daemon first (so nothing starts again), then whatever names the temporary
// home, then (through DaemonHarness) the test's own processes. One thread at
// a time; the owning test uses it.
#ifndef VIGILD_TESTS_SUPPORT_CTLHARNESS_H
#define VIGILD_TESTS_SUPPORT_CTLHARNESS_H

#include "DaemonHarness.h"

class CtlHarness : public DaemonHarness {
 protected:
  ~CtlHarness() override;

  // vigild at this debug level with a metrics file and these lines, once
  // "vigilctl status" sees it.
  void StartDaemon(const std::string& more = "", const char* level = "2");
  std::string DaemonLog() const { return daemon ? daemon->Out() + daemon->Err() : ""; }
  Result Status() { return Ctl({"status", "--json"}, false); }
  // A vigilctl run as one text, "status|output|error output", so that one
  // comparison decides all three.
  static std::string Told(const Result& result) {
    return std::to_string(result.status) + "|" + result.out + "|" + result.err;
  }
  // A process registered with no limit at all, so the table never empties.
  pid_t Keeper();

  std::unique_ptr<Daemon> daemon;
};

#endif  // VIGILD_TESTS_SUPPORT_CTLHARNESS_H
