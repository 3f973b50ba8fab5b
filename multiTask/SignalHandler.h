// SignalHandler: the per-thread signal framework. For now it gives each
// thread its signal mask (Initialize), tells which signals the framework may
// take over (catchable) and carries SignalException, the exception that ends
// one thread when a signal makes it unable to go on. Per-thread handler
// objects, registered in a process-wide table and run by one dispatch routine,
// come with that table.
//
// Every member is static and safe for concurrent use; Initialize changes only
// the calling thread's mask.
#ifndef VIGILD_MULTITASK_SIGNALHANDLER_H
#define VIGILD_MULTITASK_SIGNALHANDLER_H

class SignalHandler {
 public:
  // Thrown on a thread to end it; the thread entry of launched threads catches
  // it and ends that thread only. Copied by value, owned by the runtime.
  class SignalException {
   public:
    explicit SignalException(int signal) : signal_(signal) {}
    virtual ~SignalException() = default;
    int signalID() const { return signal_; }

   private:
    int signal_;
  };

  // Blocks in the calling thread every signal but the reserved ones and the
  // synchronous faults, so that process-directed signals reach the main thread.
  static void Initialize();

  // False for a reserved signal, and for what no handler can ever take:
  // SIGKILL, SIGSTOP and numbers that are not signals.
  static bool catchable(int signal);
};

#endif  // VIGILD_MULTITASK_SIGNALHANDLER_H
