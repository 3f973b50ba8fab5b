#include "PassSummary.h"

#include "StatusSnapshot.h"

PassSummary PassSummary::Of(const std::map<int, WatchedItem>& table, const ProgramTable& programs) {
  PassSummary summary;
  for (const auto& entry : table) {
    summary.watched += entry.second.state == ItemWatching ? 1 : 0;
  }
  // The times only place a waiting name's start, which the line leaves out.
  for (const StatusSnapshot::Program& program :
       StatusSnapshot::ProgramsFrom(table, programs, 0, 0)) {
    summary.failed += program.state == "failed" ? 1 : 0;
    summary.restarting += program.state == "restarting" || program.state == "waiting" ? 1 : 0;
  }
  return summary;
}

std::string PassSummary::Line() const {
  return std::to_string(watched) + " watched, " + std::to_string(restarting) + " restarting, " +
         std::to_string(failed) + " failed";
}
