// Argument parsing for vectorcall (METH_FASTCALL | METH_KEYWORDS) methods.
//
// A method declares its Signature once; parse_arguments() matches positional
// arguments and keywords to the parameter names with the interpreter's own
// TypeError texts, and the convert_* functions turn each matched object into
// a plain C++ value. A conversion failure keeps its own exception (TypeError,
// OverflowError, ...) and gains the note "while processing '<name>'".
#pragma once

#include <Python.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace corvantic::py {

struct Parameter {
  const char* name;
  bool required = false;
  bool keyword_only = false;
};

struct Signature {
  // The name shown in TypeError texts, e.g. "discover" or "Camera.get_integer".
  const char* function;
  std::span<const Parameter> parameters;
};

// Borrowed references to the matched arguments, nullptr where an optional
// argument was not given. Valid for the duration of the call.
template <std::size_t N>
using Arguments = std::array<PyObject*, N>;

// Returns false with TypeError set when the arguments do not fit.
[[nodiscard]] bool parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                                   PyObject* kwnames, std::span<PyObject*> out);

// The same for a call with an argument tuple and a keyword dictionary (a
// type's constructor).
[[nodiscard]] bool parse_call_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                                        std::span<PyObject*> out);

// Each converter leaves `out` untouched when `obj` is nullptr (the default
// applies) and returns false with an exception set on failure.
[[nodiscard]] bool convert_text(PyObject* obj, const char* name, std::string_view& out);
[[nodiscard]] bool convert_optional_text(PyObject* obj, const char* name, std::optional<std::string_view>& out);
[[nodiscard]] bool convert_i64(PyObject* obj, const char* name, std::int64_t& out);
// An int that fits in `bits` (at most 64) unsigned bits.
[[nodiscard]] bool convert_unsigned(PyObject* obj, const char* name, unsigned bits, std::uint64_t& out);
[[nodiscard]] bool convert_optional_unsigned(PyObject* obj, const char* name, unsigned bits,
                                             std::optional<std::uint64_t>& out);
[[nodiscard]] bool convert_double(PyObject* obj, const char* name, double& out);
// bool, or NumPy's boolean scalar.
[[nodiscard]] bool convert_bool(PyObject* obj, const char* name, bool& out);
// Float seconds to an exact duration; negative, NaN and too large values
// raise the BaseException-derived DurationConversionError.
[[nodiscard]] bool convert_seconds(PyObject* obj, const char* name, std::chrono::nanoseconds& out);

// An unsigned integer of T's width.
template <typename T>
[[nodiscard]] bool convert_unsigned(PyObject* obj, const char* name, T& out) {
  std::uint64_t v = out;
  if (!convert_unsigned(obj, name, sizeof(T) * 8, v)) return false;
  out = static_cast<T>(v);
  return true;
}

}  // namespace corvantic::py
