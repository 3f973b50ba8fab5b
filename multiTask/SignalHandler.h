// SignalHandler: the per-thread signal framework. A thread that wants a signal
// creates a handler object naming the signal and a handler function; the
// object registers itself for (calling thread, signal) in a process-wide
// table and unblocks the signal in that thread. One dispatch routine,
// installed process-wide, runs on whichever thread receives the signal, finds
// that thread's object and calls its function; a thread that registered
// nothing for a signal the framework handles ends the whole process with
// status signal + 100. Initialize gives each launched thread its mask, and
// SignalException is what ends one thread when a signal leaves it unable to
// go on.
//
// Handler objects are owned by the code that creates them, usually on the
// stack of the registering thread, and must be created and destroyed on that
// thread: registration, unregistration and the masks belong to the calling
// thread. Every member is safe for concurrent use; the table has its own
// mutex, which the dispatch routine takes too, so a signal must not arrive on
// a thread while that thread creates or destroys a handler object.
//
// Destroying (or disabling) a handler object blocks its signal in the calling
// thread. Launched threads leave SIGSEGV, SIGBUS, SIGFPE and SIGILL unblocked
// on purpose, because a blocked fault is not redirected: the kernel kills the
// process without running any handler. So once a thread has dropped its
// handler for one of these, a fault there ends the process at once, bypassing
// whatever handler the process has installed for it.
//
// SEGVfunc throws out of the dispatch routine, across the signal frame, into
// the code that faulted. Only -fnon-call-exceptions makes the compiler treat a
// faulting instruction as a place an exception may leave from; without it the
// unwinder usually finds the instruction inside its frame's cleanup region
// anyway, but an optimised frame may have it where no region applies, and the
// process then ends through std::terminate. Code that relies on SEGVfunc to
// end its thread is built with that option (the tests that do so are). A
// signal sent with raise() needs nothing special: it arrives inside a call.
#ifndef VIGILD_MULTITASK_SIGNALHANDLER_H
#define VIGILD_MULTITASK_SIGNALHANDLER_H

class SignalHandler;

// The predefined handler functions.
// Writes "Blocked Signal <n> not actually blocked!": an object carrying it is
// never registered, so it only runs when called directly.
void BlockSignal(const SignalHandler* object);
// SignalHandler::abend with the object's signal.
void AbendOnSignal(const SignalHandler* object);
// SignalHandler::core with the object's signal.
void CoreOnSignal(const SignalHandler* object);
// Announces itself on standard error and throws
// SignalHandler::SignalException with the object's signal, which ends the
// thread when the thread was started through ThreadLauncher.
void SEGVfunc(const SignalHandler* object);

class SignalHandler {
 public:
  using HandlerFunction = void (*)(const SignalHandler*);

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

  // The predefined handler functions, as the class names them.
  static constexpr HandlerFunction BlockSignal = &::BlockSignal;
  static constexpr HandlerFunction AbendOnSignal = &::AbendOnSignal;
  static constexpr HandlerFunction CoreOnSignal = &::CoreOnSignal;

  // Key under which signal events are logged.
  static constexpr char LogKey[] = "Signal";

  // Enables the handler for a catchable signal; for any other signal writes
  // "Attempt to handle an uncatchable signal<n>" and registers nothing.
  SignalHandler(int signal, HandlerFunction function);
  // Disables the handler.
  virtual ~SignalHandler();
  // The registration is the object's address: a copy would share it.
  SignalHandler(const SignalHandler&) = delete;
  SignalHandler& operator=(const SignalHandler&) = delete;

  // Registers this object for the calling thread (replacing what that thread
  // had for the signal) and unblocks the signal there. An object carrying
  // BlockSignal is disabled instead; an uncatchable signal is refused with
  // "Blatantly refusing to enable signal <n>".
  void enable() const;
  // Blocks the signal in the calling thread and removes that thread's
  // registration for it. Nothing for an uncatchable signal.
  void disable() const;

  int sigNumber() const { return signalNumber; }
  HandlerFunction handler() const { return handlerFunction; }

  // False for a reserved signal, and for what no handler can ever take:
  // SIGKILL, SIGSTOP and numbers that are not signals.
  static bool catchable(int signal);

  // Blocks in the calling thread every signal but the reserved ones and the
  // synchronous faults, so that process-directed signals reach the main thread.
  static void Initialize();

  // Raises signal in the calling thread.
  static void raise(int signal);
  // Ends the process with a core dump (SIGABRT), whatever the signal.
  static void core(int signal);
  // Writes "Abnormal termination due to signal <n>" and ends the process at
  // once with status signal + 100. It may run inside a signal handler while
  // other threads still use the process's objects, so no exit handler or
  // static destructor runs.
  [[noreturn]] static void abend(int signal);

 private:
  HandlerFunction handlerFunction;  // constant after construction
  int signalNumber;                 // constant after construction
};

#endif  // VIGILD_MULTITASK_SIGNALHANDLER_H
