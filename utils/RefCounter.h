// RefCounter: the base of every object shared through Handle. It carries the
// object's reference count; the handles that point at the object own it and
// delete it when the last of them lets go.
//
// Safe for concurrent use: the count is only read or changed while
// globalHandleMutex is held; the derived object's own data is not protected.
#ifndef VIGILD_UTILS_REFCOUNTER_H
#define VIGILD_UTILS_REFCOUNTER_H

template <class T>
class Handle;

class RefCounter {
 public:
  RefCounter() : count(0) {}
  virtual ~RefCounter() = default;

  // A fresh object has no owners: copying the base must not copy owners.
  RefCounter(const RefCounter&) : count(0) {}
  RefCounter& operator=(const RefCounter&) { return *this; }

  // Number of handles that point at this object at the moment of the call.
  int RefCount() const;

 private:
  template <class T>
  friend class Handle;

  int count;  // guarded by globalHandleMutex
};

#endif  // VIGILD_UTILS_REFCOUNTER_H
