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

// Detaches the thread state for the lifetime of the guard, so other Python
// threads run while this one waits. Nothing in the scope may touch a Python
// object.
class ReleasedGil {
 public:
  ReleasedGil() : state_(PyEval_SaveThread()) {}
  ~ReleasedGil() { PyEval_RestoreThread(state_); }
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace corvantic::py
