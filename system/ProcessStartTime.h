// ProcessStartTime: when a process started, in clock ticks since boot, as the
// kernel reports it in /proc/PID/stat. A pid names a process only together
// with its start time: once a process is gone its pid may be handed to
// another, and the start time tells the two apart.
//
// Static functions only. Safe for concurrent use.
#ifndef VIGILD_SYSTEM_PROCESSSTARTTIME_H
#define VIGILD_SYSTEM_PROCESSSTARTTIME_H

#include <string>

class ProcessStartTime {
 public:
  // The start time (field 22) out of one /proc/PID/stat line. The command
  // name (field 2) is whatever the process chose and may hold blanks and
  // parentheses, so the fields are counted from after its last ')'. False
  // when the line does not have that shape or the number does not fit.
  static bool Parse(const std::string& stat, unsigned long long& ticks);
  // The start time of pid; false when pid is below 1 or the process is
  // gone (or its record cannot be read).
  static bool Read(int pid, unsigned long long& ticks);
};

#endif  // VIGILD_SYSTEM_PROCESSSTARTTIME_H
