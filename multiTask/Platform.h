// Platform: the operating-system calls under the thread layer (thread
// identity, thread attributes and creation, host look-up, per-thread signal
// masks, the signal handler table and its dispatch routine), gathered in one
// class of static functions so the rest of the layer stays free of system
// details.
//
// Never instantiated; every function is safe for concurrent use. The handler
// table is guarded by its own mutex (see SignalHandler.h for what that means
// for signals arriving during registration).
#ifndef VIGILD_MULTITASK_PLATFORM_H
#define VIGILD_MULTITASK_PLATFORM_H

#include <pthread.h>
#include <stddef.h>

class SignalHandler;

class Platform {
 public:
  Platform() = delete;

  // The kernel's id of the calling thread. It fits an unsigned, is unique
  // among the live threads of the host and is the id `ps -L` and /proc show,
  // where a truncated pthread_t could collide and would match nothing.
  static unsigned getCurrentThreadId();
  // Kernel thread ids are plain numbers, so equality is the whole comparison.
  static bool compareThreadId(unsigned a, unsigned b);

  // Threads carry no names: the first does nothing and the second returns
  // buffer as it was given.
  static void setCurrentThreadName(const char* name);
  static char* getCurrentThreadName(char* buffer, unsigned length);

  // These return ThreadLauncher result codes (0 on success).
  static int prepareThreadBeginning(pthread_attr_t* attributes);
  static int createIdleThread(void* (*routine)(void*), void* argument, pthread_attr_t* attributes);
  static int destroyThread(pthread_attr_t* attributes);
  // False when the size is refused (below the system minimum, or not positive).
  static bool setThreadStackSize(long size, pthread_attr_t* attributes);
  static void prepareThreadEnding();

  // Turns the TaskMutex switch on; always true.
  static bool initSocketsAndTasks();

  // Caller buffer sizes getHostByname relies on; longer texts are truncated.
  static constexpr size_t kAddressSize = 16;        // "255.255.255.255" and its NUL
  static constexpr size_t kOfficialNameSize = 256;  // a full DNS name and its NUL
  // Resolves name to its first IPv4 address, written in dotted form to
  // address, and its official name, written to officialName. False, with both
  // buffers untouched, when the host is unknown or an argument is null.
  static bool getHostByname(const char* name, char* address, char* officialName);
  // True when inet_addr accepts text; 255.255.255.255 is therefore refused.
  static bool isValidIp(const char* text);

  // Signals no thread ever blocks and the handler framework never takes over,
  // ending with 0: SIGALRM, the C library's own thread signals, SIGTRAP.
  static const int* reservedSignals();
  // Blocks in the calling thread every signal but the reserved ones and the
  // synchronous fault signals, which are delivered to the faulting thread
  // whatever the mask says, so blocking them only bypasses their handlers.
  static void initializeSignals();

  // Registers object for (calling thread, its signal), replacing what was
  // there, installs the dispatch routine for the signal process-wide and
  // unblocks the signal in the calling thread. A failure is printed with
  // perror; a failed unblock also undoes the registration.
  static void enableSignal(const SignalHandler* object);
  // Blocks object's signal in the calling thread and removes the calling
  // thread's registration for it, whichever object that is.
  static void disableSignal(const SignalHandler* object);
  // The object registered for (thread, signal), as the dispatch routine
  // finds it. False when there is none.
  static bool lookupHandler(unsigned thread, int signal, const SignalHandler*& object);
  // Raises SIGABRT in the calling thread.
  static void produceCore();
  // Raises signal in the calling thread.
  static void raise(int signal);

 private:
  // The dispatch routine, run by the thread that receives the signal. Each of
  // its trace lines on standard error is followed by a one-second pause, so
  // that an operator watching the console can follow what happens.
  static void handler(int signal);
};

#endif  // VIGILD_MULTITASK_PLATFORM_H
