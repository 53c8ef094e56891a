// Taking a native lock from a Python method without ever waiting for it
// while attached to the interpreter: the lock is tried first, and only when
// it is held elsewhere does the thread detach for the wait. A thread holding
// one of these locks may therefore attach (to run signal handlers during a
// long wait) without deadlocking against a thread that wants the lock.
#pragma once

#include "py/ref.hpp"
#include "util/mutex.hpp"

namespace corvantic::py {

template <typename M>
void lock_detaching_if_held(M& mutex) ACQUIRE(mutex) NO_THREAD_SAFETY_ANALYSIS {
  if (mutex.try_lock()) return;
  ReleasedGil gil;
  mutex.lock();
}

// Holds `mutex`, taken by lock_detaching_if_held, to the end of the scope.
template <typename M>
class SCOPED_CAPABILITY AttachedLock {
 public:
  explicit AttachedLock(M& mutex) ACQUIRE(mutex) : mutex_(mutex) { lock_detaching_if_held(mutex_); }
  ~AttachedLock() RELEASE() { mutex_.unlock(); }
  AttachedLock(const AttachedLock&) = delete;
  AttachedLock& operator=(const AttachedLock&) = delete;

 private:
  M& mutex_;
};

}  // namespace corvantic::py
