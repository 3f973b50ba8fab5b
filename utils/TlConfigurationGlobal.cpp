#include "TlConfigurationGlobal.h"

#include "CriticalSection.h"
#include "TaskMutex.h"

std::atomic<TlConfigurationGlobal*> TlConfigurationGlobal::oTlConfigurationGlobal{nullptr};

namespace {

// Guards the making and the deletion of the instance, so that two first uses
// at once make only one. Never destroyed: a use during exit still finds it.
TaskMutex* CreationMutex() {
  static TaskMutex* const mutex = new TaskMutex;
  return mutex;
}

}  // namespace

TlConfigurationGlobal::TlConfigurationGlobal() : Handle<TlConfiguration>(new TlConfiguration) {}

TlConfigurationGlobal::~TlConfigurationGlobal() = default;

TlConfigurationGlobal& TlConfigurationGlobal::Instance() {
  TlConfigurationGlobal* instance = oTlConfigurationGlobal.load(std::memory_order_acquire);
  if (instance != nullptr) {
    return *instance;
  }
  CriticalSection lock(CreationMutex());
  instance = oTlConfigurationGlobal.load(std::memory_order_acquire);
  if (instance == nullptr) {
    instance = new TlConfigurationGlobal;
    oTlConfigurationGlobal.store(instance, std::memory_order_release);
  }
  return *instance;
}

void TlConfigurationGlobal::DeleteInstance() {
  CriticalSection lock(CreationMutex());
  delete oTlConfigurationGlobal.exchange(nullptr, std::memory_order_acq_rel);
}
