// The module's classes with a constructor or behaviour of their own (the
// value classes are in value_types.hpp). Each returns the class, created
// once per process (borrowed), or nullptr with an exception set.
#pragma once

#include <Python.h>

namespace corvantic::py {

[[nodiscard]] PyObject* camera_type();

}  // namespace corvantic::py
