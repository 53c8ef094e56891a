// Taking a native lock from a Python method without ever waiting for it
// while attached to the interpreter: the lock is tried first, and only when
// it is held elsewhere does the thread detach for the wait. A thread holding
// one of these locks may therefore attach (to run signal handlers during a
// long wait) without deadlocking against a thread that wants the lock; and
// a signal handler on that thread which calls the same camera is refused
// rather than left waiting for its own thread.
#pragma once

#include "py/camera_state.hpp"
#include "py/errors.hpp"
#include "py/ref.hpp"
#include "util/mutex.hpp"

namespace corvantic::py {

// Whether the calling thread holds `session`'s lock already. It does so while
// attached only inside a signal handler that runs between the wait slices of
// its own long operation, which holds the busy marker throughout; taking the
// lock again would wait for itself forever, so the call is refused with the
// busy ValueError naming that operation. True with the exception set.
[[nodiscard]] inline bool refuse_reentry(const CameraSession& session, BusyMarker& busy) {
  if (!session.mutex.held_by_this_thread()) return false;
  raise_busy(busy.activity().value_or("a call on this thread"));
  return true;
}

// The camera behind a Python object, as refuse_reentry looks at it.
struct CameraParts {
  const CameraSession& session;
  BusyMarker& busy;
};

// `Method` (a vectorcall method), refused by refuse_reentry on the camera
// that `Parts` finds behind the object before it runs.
template <auto Method, auto Parts>
PyObject* refusing_reentry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const CameraParts parts = Parts(self);
  if (refuse_reentry(parts.session, parts.busy)) return nullptr;
  return Method(self, args, nargs, kwnames);
}

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
