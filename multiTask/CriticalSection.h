// CriticalSection: holds a TaskMutex for the lifetime of the object (scoped
// lock). A null mutex makes it a no-op. The lock result is ignored, as the
// callers have no way to proceed differently.
//
// Lives on the stack of the thread that locks; never shared between threads.
#ifndef VIGILD_MULTITASK_CRITICALSECTION_H
#define VIGILD_MULTITASK_CRITICALSECTION_H

#include "TaskMutex.h"

class CriticalSection {
 public:
  explicit CriticalSection(TaskMutex* mutex) : mutex_(mutex) {
    if (mutex_ != nullptr) {
      mutex_->Lock();
    }
  }
  ~CriticalSection() {
    if (mutex_ != nullptr) {
      mutex_->Unlock();
    }
  }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

 private:
  TaskMutex* mutex_;
};

#endif  // VIGILD_MULTITASK_CRITICALSECTION_H
