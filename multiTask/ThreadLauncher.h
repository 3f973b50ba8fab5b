// ThreadLauncher: starts detached, system-scope threads that share one set of
// attributes (the stack size among them). Every launched thread enters through
// ThreadStartRoutine, which blocks the signals the main thread is there to
// handle and ends only its own thread when a SignalHandler::SignalException
// escapes the routine.
//
// Owned by the object that starts threads (the listener, the log server); its
// destruction does not affect threads already running. One thread at a time
// calls Create on a given launcher; the owner serialises its calls.
#ifndef VIGILD_MULTITASK_THREADLAUNCHER_H
#define VIGILD_MULTITASK_THREADLAUNCHER_H

#include <pthread.h>

#include <atomic>

class ThreadLauncher {
 public:
  // Result codes; 0 is success.
  enum {
    kAttrInitFailed = 1,
    kNoRoutine = 2,
    kCreateFailed = 3,
    kDetachFailed = 4,
    kRecordAllocFailed = 5,
    kStackSizeRejected = 6,
    kAttrDestroyFailed = 7,
    kScopeRejected = 8
  };

  ThreadLauncher();
  ~ThreadLauncher();
  ThreadLauncher(const ThreadLauncher&) = delete;
  ThreadLauncher& operator=(const ThreadLauncher&) = delete;

  // Runs routine(argument) on a new detached thread. Returns 0, or the
  // launcher's own failure status, or the code of what failed this time (a
  // failed Create leaves the launcher usable for the next one).
  int Create(void (*routine)(void*), void* argument);
  // Whether a thread runs after Create answered result. One whose detach
  // failed runs all the same and uses its argument: the caller must keep it
  // alive and wait for the thread's end as for any other.
  static bool Started(int result) { return result == 0 || result == kDetachFailed; }

  // 0, or the failure met while setting up (or tearing down) the attributes.
  int Status() const { return status; }

  // Makes the next Create of any launcher start and detach its thread as
  // usual but answer kDetachFailed, as a refused detach would: lets tests
  // check that callers keep a running thread's argument alive.
  static void _TestAPI_FailNextDetach();

  // The calling thread's numeric id, as it appears in messages and logs.
  static unsigned GetCurrentThreadNumericId();

  // Same entry as ThreadStartRoutine, for code that wants a member function.
  static void* StartRoutine(void* record);

  // Stack size, in bytes, of the threads started from now on by any launcher;
  // 0 or less keeps the system's default. Atomic because every launcher reads
  // it, on whichever thread calls Create.
  static std::atomic<long> stackSize;

 private:
  static std::atomic<bool> failNextDetach;  // consumed by the next Create
  int status;             // set by the constructor and destructor; Create only reads it
  long appliedStackSize;  // stack size last handed to attributes
  pthread_attr_t attributes;
};

// Entry of every launched thread: takes ownership of (and frees) the start
// record Create made, blocks the non-reserved signals, runs the routine and
// ends the thread quietly after a SignalHandler::SignalException.
void* ThreadStartRoutine(void* record);

#endif  // VIGILD_MULTITASK_THREADLAUNCHER_H
