// CtlHarness: the fixture of vigilctl's end-to-end tests, a DaemonHarness
// with one vigild, the "vigilctl run" wrappers a test leaves running and the
// daemon's status file. When the test ends it kills the daemon first (so
// nothing starts again), then whatever names the temporary home, then its
// own children. One thread at a time; the owning test uses it.
#ifndef VIGILD_TESTS_SUPPORT_CTLHARNESS_H
#define VIGILD_TESTS_SUPPORT_CTLHARNESS_H

#include <sys/types.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "DaemonHarness.h"

class CtlHarness : public DaemonHarness {
 protected:
  ~CtlHarness() override;

  // vigild with a metrics file and these lines, once "vigilctl status" sees it.
  void StartDaemon(const std::string& more = "");
  std::string DaemonLog() const { return daemon ? daemon->Out() + daemon->Err() : ""; }
  // A process registered with no limit at all, so the table never empties.
  pid_t Keeper();
  // "vigilctl run" left running against toPort (0: `port`) with env added;
  // its output goes to run.out/run.err<tag>.
  pid_t Run(std::vector<std::string> args, const std::string& tag, int toPort = 0,
            const std::vector<std::string>& env = {});
  std::string RunOut(const std::string& tag) const { return home.Join("run.out" + tag); }
  std::string RunErr(const std::string& tag) const { return home.Join("run.err" + tag); }
  // The status file, discarded while it is missing or not whole.
  nlohmann::json StatusJson() const;
  // The entry of the named process, or null; its pid, or -1.
  nlohmann::json Entry(const std::string& name) const;
  long PidOf(const std::string& name) const;
  static long NowMs();

  std::unique_ptr<Daemon> daemon;
  std::vector<pid_t> owned;  // children of the test, reaped or killed at its end
  std::vector<long> strays;  // not children (started by a wrapper): killed at the end
};

#endif  // VIGILD_TESTS_SUPPORT_CTLHARNESS_H
