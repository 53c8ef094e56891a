// Enumeration classes (AccessMode, FrameStatus): members are class
// attributes holding an integer; `int(member)` gives it; == and != compare
// with members of the same class or with integers; ordering and hashing are
// not supported.
#pragma once

#include <Python.h>

#include <atomic>
#include <span>

namespace corvantic::py {

struct EnumMember {
  const char* name;
  long value;
};

struct EnumSpec {
  const char* qualified_name;  // "corvantic.AccessMode"
  const char* doc;             // nullptr for none
  std::span<const EnumMember> members;
};

// The class, created once per process into `slot` (borrowed).
[[nodiscard]] PyObject* enum_type(std::atomic<PyObject*>& slot, const EnumSpec& spec);
// The member of `type` with `value` (a new reference), or nullptr with an exception.
[[nodiscard]] PyObject* enum_member(PyObject* type, const EnumSpec& spec, long value);

}  // namespace corvantic::py
