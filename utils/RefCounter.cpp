#include "RefCounter.h"

#include "CriticalSection.h"
#include "Handle.h"

int RefCounter::RefCount() const {
  CriticalSection lock(globalHandleMutex::_pMutex());
  return count;
}
