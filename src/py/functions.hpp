// The module-level functions, made as objects for registration.
#pragma once

#include <Python.h>

namespace corvantic::py {

[[nodiscard]] PyObject* make_discover_function(PyObject* module);

}  // namespace corvantic::py
