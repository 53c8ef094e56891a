// The module-level functions, made as objects for registration.
#pragma once

#include <Python.h>

namespace corvantic::py {

[[nodiscard]] PyObject* make_discover_function(PyObject* module);
// _frame_array(frame), behind corvantic.image.to_array (not in `__all__`).
[[nodiscard]] PyObject* make_frame_array_function(PyObject* module);

// Adds the private functions behind corvantic.diagnostics (not in `__all__`).
[[nodiscard]] int add_diagnostics_functions(PyObject* module);

}  // namespace corvantic::py
