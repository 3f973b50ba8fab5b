// SigHandle: process-level signal settings around sigaction, sigprocmask and
// sigwait. Each call logs what it is about to do (Debug2); a failure of the
// system call is logged as a Warning ("DL30102", flushed) and printed with
// perror, and the call answers 0; success answers 1.
//
// Never instantiated. Safe for concurrent use: dispositions are process-wide
// and the last call wins; Mask and Wait act on the calling thread's mask and
// pending signals.
#ifndef VIGILD_SYSTEM_SIGHANDLE_H
#define VIGILD_SYSTEM_SIGHANDLE_H

#include <signal.h>

class SigHandle {
 public:
  SigHandle() = delete;

  // Ignores signal; for SIGCHLD terminated children also vanish without
  // being waited for.
  static int Ignore(int signal);
  // Gives signal back its default action.
  static int Default(int signal);
  // Blocks one signal, or a set, in the calling thread.
  static int Mask(int signal);
  static int Mask(const sigset_t& set);
  // Runs function for signal, with the signals of mask (none when null)
  // blocked while it runs.
  static int Handle(int signal, void (*function)(int), sigset_t* mask);
  // Waits until signal, or one of set, is pending and takes it; received is
  // the signal taken. The signals waited for should be blocked first, or
  // their delivery may beat the wait.
  static int Wait(int signal, int& received);
  static int Wait(const sigset_t& set, int& received);
};

#endif  // VIGILD_SYSTEM_SIGHANDLE_H
