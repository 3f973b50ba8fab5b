// TlConfigurationGlobal: the handle on the one process-wide configuration store
// that every subsystem reads. The instance is made by the first Instance() call
// and lives until DeleteInstance() (or process exit); the store it points at is
// shared like any other handled object.
//
// Instance() is safe for concurrent use; DeleteInstance() must not race with
// any use of the instance (main calls it last, or tests between cases).
#ifndef VIGILD_UTILS_TLCONFIGURATIONGLOBAL_H
#define VIGILD_UTILS_TLCONFIGURATIONGLOBAL_H

#include <atomic>

#include "Handle.h"
#include "TlConfiguration.h"

class TlConfigurationGlobal : public Handle<TlConfiguration> {
 public:
  // The instance, made on first use with a new, empty store.
  static TlConfigurationGlobal& Instance();
  // Destroys the instance and releases its store; the next Instance() starts
  // again from an empty store.
  static void DeleteInstance();

  TlConfigurationGlobal(const TlConfigurationGlobal&) = delete;
  TlConfigurationGlobal& operator=(const TlConfigurationGlobal&) = delete;

  // Null until the first Instance() call. Atomic so that threads which meet
  // the instance after main made it read a fully built object.
  static std::atomic<TlConfigurationGlobal*> oTlConfigurationGlobal;

 private:
  TlConfigurationGlobal();
  ~TlConfigurationGlobal() override;
};

#endif  // VIGILD_UTILS_TLCONFIGURATIONGLOBAL_H
