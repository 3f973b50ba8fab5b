// Handle<T>: an intrusive reference-counted pointer to a T derived from
// RefCounter. Every handle on an object owns it jointly; the object is deleted
// (through its virtual destructor) when its last handle is destroyed or
// reassigned. Dereferencing a null handle throws BError instead of crashing.
//
// A Handle object is used by one thread at a time, but handles on the same
// object may be copied and destroyed from any number of threads: every count
// change of every handle in the process is made under globalHandleMutex.
#ifndef VIGILD_UTILS_HANDLE_H
#define VIGILD_UTILS_HANDLE_H

#include <type_traits>

#include "BError.h"
#include "CriticalSection.h"
#include "RefCounter.h"
#include "TaskMutex.h"

// The one process-wide mutex that guards the reference count of every object
// held through a Handle, whatever its type.
class globalHandleMutex {
 public:
  // The mutex is a function-local static built by the first call: the
  // language makes two threads that arrive at once wait for that single
  // construction, and handles used by static initialisers still find it. It
  // is never destroyed, so handles released during exit can still lock it.
  static TaskMutex* _pMutex();
};

template <class T>
class Handle {
 public:
  Handle() : p(nullptr) {}

  // Takes joint ownership of `object` (a new object goes from count 0 to 1).
  explicit Handle(T* object) : p(object) {
    static_assert(std::is_base_of<RefCounter, T>::value,
                  "Handle<T> needs T derived from RefCounter");
    if (p != nullptr) {
      CriticalSection lock(globalHandleMutex::_pMutex());
      _CounterOf(p)->count++;
    }
  }

  Handle(const Handle<T>& other) : p(other.p) {
    if (p != nullptr) {
      CriticalSection lock(globalHandleMutex::_pMutex());
      _CounterOf(p)->count++;
    }
  }

  // A handle on a derived object converts to one on its base and shares its
  // count, so that a list of base handles holds objects of several kinds.
  template <class U, class = typename std::enable_if<std::is_base_of<T, U>::value &&
                                                     !std::is_same<T, U>::value>::type>
  Handle(const Handle<U>& other) : p(other.get()) {
    if (p != nullptr) {
      CriticalSection lock(globalHandleMutex::_pMutex());
      _CounterOf(p)->count++;
    }
  }

  Handle<T>& operator=(const Handle<T>& other) {
    if (p == other.p) {
      return *this;
    }
    T* orphan = nullptr;
    {
      CriticalSection lock(globalHandleMutex::_pMutex());
      if (p != nullptr && --_CounterOf(p)->count == 0) {
        orphan = p;
      }
      p = other.p;
      if (p != nullptr) {
        _CounterOf(p)->count++;
      }
    }
    // Outside the lock, so that the destructor may itself use handles.
    delete orphan;
    return *this;
  }

  virtual ~Handle() {
    if (p == nullptr) {
      return;
    }
    T* orphan = nullptr;
    {
      CriticalSection lock(globalHandleMutex::_pMutex());
      if (--_CounterOf(p)->count == 0) {
        orphan = p;
      }
    }
    delete orphan;
  }

  T* operator->() const {
    if (p == nullptr) {
      throw BError("Handle< T >::operator->", "<UNDEFINED>");
    }
    return p;
  }

  T& operator*() const {
    if (p == nullptr) {
      throw BError("Handle< T >::operator*", "<UNDEFINED>");
    }
    return *p;
  }

  bool IsNull() const { return p == nullptr; }
  // The object, or null; the handle keeps its ownership.
  T* get() const { return p; }

 private:
  // The count is reached through the base, whatever access T gives to it.
  static RefCounter* _CounterOf(T* object) { return object; }

  T* p;
};

#endif  // VIGILD_UTILS_HANDLE_H
