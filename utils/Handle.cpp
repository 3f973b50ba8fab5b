#include "Handle.h"

TaskMutex* globalHandleMutex::_pMutex() {
  static TaskMutex* const mutex = new TaskMutex;
  return mutex;
}
