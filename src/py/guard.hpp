// The one guard between the interpreter and C++: every function this module
// hands to the interpreter (methods, type slots, getters, the module's exec
// step) is registered as guarded<F>, never as F itself, so no C++ exception
// ever unwinds into interpreter frames.
//
// Rules of use:
// 1. Register guarded<F> wherever a function pointer goes into a PyMethodDef,
//    PyType_Slot, PyGetSetDef or PyModuleDef_Slot
//    (tests/python/test_architecture.py checks this).
// 2. Inside F, errors are values and become exceptions in errors.cpp as
//    before; the guard is only for what is thrown: an allocation failure
//    becomes MemoryError, anything else SystemError "internal failure: "
//    followed by its text.
// 3. F runs its destructors before the guard raises: a ReleasedGil scope
//    has re-attached the thread state and every native lock is released.
// 4. One unwind passes through untouched: the interpreter ending a thread
//    that re-attaches while it shuts down (pthread_exit's forced unwind).
//    It runs F's destructors, which release every native lock, and goes on
//    through the interpreter's frames as it would from the interpreter's
//    own code; catching it would abort the process. So the guard, and the
//    destructors that re-attach (ref.hpp), are not noexcept.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <exception>
#include <type_traits>

namespace corvantic::py {

// Sets the Python exception that the exception being handled stands for.
// Call only inside a catch block.
void raise_current_exception() noexcept;

namespace guard_detail {

template <auto F, typename Signature = std::remove_pointer_t<decltype(F)>>
struct Guard;

template <auto F, typename R, typename... Args>
struct Guard<F, R(Args...)> {
  static R call(Args... args) {
    try {
      return F(args...);
    } catch (abi::__forced_unwind&) {
      throw;  // the thread is ending (rule 4)
    } catch (...) {
      raise_current_exception();
      if constexpr (std::is_void_v<R>) {
        // Nobody receives a failure from a slot that returns nothing
        // (a deallocator): it is reported as unraisable.
        PyErr_WriteUnraisable(nullptr);
      } else if constexpr (std::is_pointer_v<R>) {
        return nullptr;
      } else {
        return static_cast<R>(-1);
      }
    }
  }
};

}  // namespace guard_detail

// F wrapped in the guard, with F's own signature.
template <auto F>
inline constexpr auto guarded = &guard_detail::Guard<F>::call;

}  // namespace corvantic::py
