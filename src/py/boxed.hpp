// Python objects that carry one immutable native value.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

#include "py/ref.hpp"

namespace corvantic::py {

template <typename Native>
struct Boxed {
  PyObject_HEAD
  Native value;
};

template <typename Native>
[[nodiscard]] const Native& unbox(PyObject* self) {
  return reinterpret_cast<Boxed<Native>*>(self)->value;
}

// A new instance of `type` (a Boxed<Native> heap type) holding `value`.
template <typename Native>
[[nodiscard]] PyObject* box(PyObject* type, Native value) {
  if (type == nullptr) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  PyObject* self = tp->tp_alloc(tp, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<Boxed<Native>*>(self)->value) Native(std::move(value));
  return self;
}

template <typename Native>
void boxed_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  // Heap types hold a reference per instance; it goes after the instance.
  const Ref type_reference = Ref::steal(reinterpret_cast<PyObject*>(tp));
  reinterpret_cast<Boxed<Native>*>(self)->value.~Native();
  tp->tp_free(self);
}

}  // namespace corvantic::py
