#include "ThreadLauncher.h"

#include <stdio.h>

#include <new>

#include "Platform.h"
#include "SignalHandler.h"

std::atomic<long> ThreadLauncher::stackSize{0};
std::atomic<bool> ThreadLauncher::failNextDetach{false};

void ThreadLauncher::_TestAPI_FailNextDetach() { failNextDetach.store(true); }

namespace {

// Handed from Create to the new thread, which frees it.
struct ThreadStartRecord {
  void (*routine)(void*);
  void* argument;
};

}  // namespace

ThreadLauncher::ThreadLauncher() : status(0), appliedStackSize(0) {
  status = Platform::prepareThreadBeginning(&attributes);
  appliedStackSize = stackSize.load();
  if (status == 0 && appliedStackSize >= 1 &&
      !Platform::setThreadStackSize(appliedStackSize, &attributes)) {
    status = kStackSizeRejected;
  }
}

ThreadLauncher::~ThreadLauncher() {
  // Attributes whose initialisation failed were never made and must not be
  // destroyed.
  if (status != kAttrInitFailed) {
    status = Platform::destroyThread(&attributes);
  }
}

int ThreadLauncher::Create(void (*routine)(void*), void* argument) {
  int result = status;
  if (result == 0 && routine == nullptr) {
    result = kNoRoutine;
  }
  const long wanted = stackSize.load();
  if (result == 0 && wanted != appliedStackSize) {
    appliedStackSize = wanted;
    if (wanted >= 1 && !Platform::setThreadStackSize(wanted, &attributes)) {
      result = kStackSizeRejected;
    }
  }
  ThreadStartRecord* record = nullptr;
  if (result == 0) {
    record = new (std::nothrow) ThreadStartRecord{routine, argument};
    if (record == nullptr) {
      result = kRecordAllocFailed;
    }
  }
  bool started = false;
  if (result == 0) {
    result = Platform::createIdleThread(ThreadStartRoutine, record, &attributes);
    if (result == 0 && failNextDetach.exchange(false)) {
      result = kDetachFailed;
    }
    started = Started(result);  // then the thread owns the record
  }
  if (!started) {
    delete record;
  }
  return result;
}

unsigned ThreadLauncher::GetCurrentThreadNumericId() { return Platform::getCurrentThreadId(); }

void* ThreadLauncher::StartRoutine(void* record) {
  ThreadStartRoutine(record);
  return nullptr;
}

void* ThreadStartRoutine(void* record) {
  void (*routine)(void*) = nullptr;
  void* argument = nullptr;
  if (record != nullptr) {
    ThreadStartRecord* start = static_cast<ThreadStartRecord*>(record);
    routine = start->routine;
    argument = start->argument;
    delete start;
  }
  if (routine != nullptr) {
    SignalHandler::Initialize();
    try {
      routine(argument);
    } catch (const SignalHandler::SignalException&) {
      // One formatted write, so the line is not interleaved with other threads.
      fprintf(stderr, "Caught SignalException!  Terminating thread %u\n",
              ThreadLauncher::GetCurrentThreadNumericId());
    }
  }
  Platform::prepareThreadEnding();
  return nullptr;
}
