// Read-only numpy arrays over bytes that another Python object owns, made
// through numpy's C interface: a program makes one per frame it looks at
// (corvantic.image.to_array), and numpy's Python constructor costs several
// times as much, most of it in parsing its arguments.
//
// numpy is an optional dependency (the corvantic[numpy] extra) and is not
// present when the module is built, so its headers are not used: the few
// entries of its C table this needs are declared in numpy_array.cpp and used
// only with a numpy that reports an ABI version they belong to. With any
// other numpy the arrays come from numpy.ndarray(shape, dtype, owner), the
// same arrays the slow way.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

namespace corvantic::py {

// The type of an array's values.
enum class ArrayValues : std::uint8_t {
  UInt8,     // numpy "|u1"
  UInt16LE,  // numpy "<u2"
};

// Imports numpy and looks up its C table, once per process. False with the
// exception set when numpy cannot be imported (ModuleNotFoundError without
// it).
[[nodiscard]] bool load_numpy();

// A read-only, C-ordered array of `shape` values (at most 3 dimensions)
// over the start of `owner`'s buffer, whose first byte is at `data`; the
// buffer must hold the whole array. The array holds `owner` as its base, so
// the bytes live as long as the array and every view of it. Loads numpy
// first (load_numpy). A new reference, or nullptr with an exception set.
[[nodiscard]] PyObject* read_only_array(PyObject* owner, const void* data, std::span<const Py_ssize_t> shape,
                                        ArrayValues values);

}  // namespace corvantic::py
