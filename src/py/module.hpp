// What the extension module exports, in registration order. Each entry makes
// a new reference to the attribute's object; every name also goes into
// `__all__`.
#pragma once

#include <Python.h>

#include <span>

namespace corvantic::py {

struct ModuleEntry {
  const char* name;
  PyObject* (*make)(PyObject* module);
  // Listed in the module's `__all__`: the classes and functions the module
  // promises. Additions beside them are attributes only.
  bool in_all = true;
};

[[nodiscard]] std::span<const ModuleEntry> module_entries();

}  // namespace corvantic::py
