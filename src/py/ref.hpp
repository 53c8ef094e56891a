// Ref: an owning reference to a Python object.
//
// Rules of use:
// 1. An owning Ref is made only by an explicit Ref::steal (take over a new
//    reference) or Ref::borrow (add a reference of our own).
// 2. Assignment stores the new pointer before releasing the old one, so a
//    destructor that runs Python code never sees a dangling field.
// 3. release() hands ownership back to the caller.
// 4. get() lends the pointer; it stays valid while this Ref holds it.
// 5. A thread state must be attached whenever a Ref is made, copied or
//    destroyed (never inside a ReleasedGil scope).
#pragma once

#include <Python.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

namespace corvantic::py {

class Ref {
 public:
  Ref() = default;
  [[nodiscard]] static Ref steal(PyObject* p) { return Ref(p); }
  [[nodiscard]] static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }

  Ref(const Ref& other) : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  [[nodiscard]] PyObject* get() const { return p_; }
  [[nodiscard]] PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// Whether the interpreter is shutting down: deallocations then keep the
// thread attached instead of detaching for their waits.
[[nodiscard]] inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing();
#else
  return _Py_IsFinalizing();
#endif
}

// Attaches `state` again after a wait. Once the interpreter finalizes,
// attaching ends the calling thread by a forced unwind (pthread_exit): a
// thread coming back then stays detached and sleeps until the process
// exits instead, as the interpreter's own daemon threads do. A thread that
// comes back just as the shutdown begins is still ended by the interpreter;
// its unwind passes through the guards (guard.hpp, rule 4), which is why
// this and the destructors that call it are not noexcept.
inline void attach_thread(PyThreadState* state) {
  while (interpreter_finalizing()) std::this_thread::sleep_for(std::chrono::seconds(1));
  PyEval_RestoreThread(state);
}

// Detaches the thread state for the lifetime of the guard, so other Python
// threads run while this one waits. Nothing in the scope may touch a Python
// object.
class ReleasedGil {
 public:
  ReleasedGil() : state_(PyEval_SaveThread()) {}
  ~ReleasedGil() noexcept(false) { attach_thread(state_); }
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

 private:
  PyThreadState* state_;
};


// Makes the object in `slot` once per process with `make` (a new reference,
// nullptr with an exception set on failure). A thread that loses the race
// drops its own copy; the winner lives for the rest of the process.
template <typename Make>
PyObject* create_once(std::atomic<PyObject*>& slot, Make make) {
  if (PyObject* existing = slot.load(std::memory_order_acquire)) return existing;
  Ref created = Ref::steal(make());
  if (!created) return nullptr;
  PyObject* expected = nullptr;
  if (!slot.compare_exchange_strong(expected, created.get(), std::memory_order_acq_rel)) return expected;
  return created.release();
}

}  // namespace corvantic::py
