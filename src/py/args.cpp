#include "py/args.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "py/errors.hpp"
#include "py/ref.hpp"
#include "util/duration.hpp"

namespace corvantic::py {
namespace {

std::size_t positional_capacity(const Signature& sig) {
  std::size_t n = 0;
  while (n < sig.parameters.size() && !sig.parameters[n].keyword_only) ++n;
  return n;
}

std::string plural(std::size_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// "takes 2 positional arguments but 3 were given", with "from 1 to 2" when
// some of them are optional.
void raise_too_many_positional(const Signature& sig, std::size_t given) {
  const std::size_t max = positional_capacity(sig);
  std::size_t min = 0;
  while (min < max && sig.parameters[min].required) ++min;
  std::string takes = (min == max) ? plural(max, "positional argument")
                                   : "from " + std::to_string(min) + " to " + std::to_string(max) +
                                         " positional arguments";
  PyErr_Format(PyExc_TypeError, "%s() takes %s but %zu %s given", sig.function, takes.c_str(), given,
               given == 1 ? "was" : "were");
}

// "missing 2 required positional arguments: 'a' and 'b'".
void raise_missing(const Signature& sig, std::span<PyObject*> out, bool keyword_only) {
  std::string names;
  std::size_t count = 0;
  std::string last;
  for (std::size_t i = 0; i < sig.parameters.size(); ++i) {
    const Parameter& p = sig.parameters[i];
    if (!p.required || out[i] != nullptr || p.keyword_only != keyword_only) continue;
    if (!last.empty()) names += (names.empty() ? "" : ", ") + last;
    last = std::string("'") + p.name + "'";
    ++count;
  }
  if (count > 2) names += ",";
  if (count > 1) names += " and ";
  names += last;
  const char* kind = keyword_only ? "required keyword-only argument" : "required positional argument";
  PyErr_Format(PyExc_TypeError, "%s() missing %s: %s", sig.function, plural(count, kind).c_str(), names.c_str());
}

bool any_missing(const Signature& sig, std::span<PyObject*> out, bool keyword_only) {
  for (std::size_t i = 0; i < sig.parameters.size(); ++i) {
    const Parameter& p = sig.parameters[i];
    if (p.required && p.keyword_only == keyword_only && out[i] == nullptr) return true;
  }
  return false;
}

bool fail_with_note(const char* name) {
  add_parameter_note(name);
  return false;
}

bool raise_type(PyObject* obj, const char* expected, const char* name) {
  PyErr_Format(PyExc_TypeError, "expected %s, got %.200s", expected, Py_TYPE(obj)->tp_name);
  return fail_with_note(name);
}

bool is_numpy_bool(PyObject* obj) {
  const std::string_view type_name = Py_TYPE(obj)->tp_name;
  return type_name == "numpy.bool_" || type_name == "numpy.bool";
}

}  // namespace

bool parse_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                     std::span<PyObject*> out) {
  std::fill(out.begin(), out.end(), nullptr);
  const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  if (nargs > positional_capacity(sig)) {
    raise_too_many_positional(sig, nargs);
    return false;
  }
  for (std::size_t i = 0; i < nargs; ++i) out[i] = args[i];

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    std::size_t i = 0;
    for (; i < sig.parameters.size(); ++i) {
      if (PyUnicode_CompareWithASCIIString(key, sig.parameters[i].name) == 0) break;
    }
    if (i == sig.parameters.size()) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, key);
      return false;
    }
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function,
                   sig.parameters[i].name);
      return false;
    }
    out[i] = args[nargs + static_cast<std::size_t>(k)];
  }

  for (const bool keyword_only : {false, true}) {
    if (any_missing(sig, out, keyword_only)) {
      raise_missing(sig, out, keyword_only);
      return false;
    }
  }
  return true;
}

bool parse_call_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  std::vector<PyObject*> values(static_cast<std::size_t>(nargs));
  for (Py_ssize_t i = 0; i < nargs; ++i) values[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
  Ref kwnames;
  if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
    kwnames = Ref::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
    if (!kwnames) return false;
    Py_ssize_t pos = 0, k = 0;
    PyObject *key = nullptr, *value = nullptr;
    // The keyword dictionary is private to this call, so its items stay put.
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
      values.push_back(value);
    }
  }
  return parse_arguments(sig, values.data(), nargs, kwnames.get(), out);
}

bool convert_text(PyObject* obj, const char* name, std::string_view& out) {
  if (obj == nullptr) return true;
  if (!PyUnicode_Check(obj)) return raise_type(obj, "str", name);
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return fail_with_note(name);
  out = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

bool convert_optional_text(PyObject* obj, const char* name, std::optional<std::string_view>& out) {
  if (obj == nullptr) return true;
  if (obj == Py_None) {
    out.reset();
    return true;
  }
  std::string_view text;
  if (!convert_text(obj, name, text)) return false;
  out = text;
  return true;
}

bool convert_i64(PyObject* obj, const char* name, std::int64_t& out) {
  if (obj == nullptr) return true;
  if (!PyLong_Check(obj)) return raise_type(obj, "int", name);
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow != 0) {
    PyErr_SetString(PyExc_OverflowError, overflow > 0 ? "int too large to convert to a signed 64-bit integer"
                                                      : "int too small to convert to a signed 64-bit integer");
    return fail_with_note(name);
  }
  if (v == -1 && PyErr_Occurred()) return fail_with_note(name);
  out = v;
  return true;
}

bool convert_unsigned(PyObject* obj, const char* name, unsigned bits, std::uint64_t& out) {
  if (obj == nullptr) return true;
  if (!PyLong_Check(obj)) return raise_type(obj, "int", name);
  // The interpreter's own OverflowError covers negative values and values
  // beyond 64 bits.
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fail_with_note(name);
  if (bits < 64 && v >> bits != 0) {
    PyErr_Format(PyExc_OverflowError, "int too large to convert to an unsigned %u-bit integer", bits);
    return fail_with_note(name);
  }
  out = v;
  return true;
}

bool convert_optional_unsigned(PyObject* obj, const char* name, unsigned bits,
                               std::optional<std::uint64_t>& out) {
  if (obj == nullptr) return true;
  if (obj == Py_None) {
    out.reset();
    return true;
  }
  std::uint64_t v = 0;
  if (!convert_unsigned(obj, name, bits, v)) return false;
  out = v;
  return true;
}

bool convert_double(PyObject* obj, const char* name, double& out) {
  if (obj == nullptr) return true;
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) return fail_with_note(name);
  out = v;
  return true;
}

bool convert_bool(PyObject* obj, const char* name, bool& out) {
  if (obj == nullptr) return true;
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  if (is_numpy_bool(obj)) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return fail_with_note(name);
    out = truth != 0;
    return true;
  }
  return raise_type(obj, "bool", name);
}

bool convert_seconds(PyObject* obj, const char* name, std::chrono::nanoseconds& out) {
  if (obj == nullptr) return true;
  double seconds = 0.0;
  if (!convert_double(obj, name, seconds)) return false;
  const auto duration = util::duration_from_secs(seconds);
  if (!duration) {
    raise_duration_error(duration.error());
    return fail_with_note(name);
  }
  out = *duration;
  return true;
}

}  // namespace corvantic::py
