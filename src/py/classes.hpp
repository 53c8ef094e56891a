// The module's classes with a constructor or behaviour of their own (the
// value classes are in value_types.hpp). Each returns the class, created
// once per process (borrowed), or nullptr with an exception set.
#pragma once

#include <Python.h>

#include <memory>

#include "py/camera_state.hpp"

namespace corvantic::py {

[[nodiscard]] PyObject* camera_type();
// The native session of a Camera object, or nullptr when `object` is none.
[[nodiscard]] std::shared_ptr<CameraSession> camera_session(PyObject* object);

}  // namespace corvantic::py
