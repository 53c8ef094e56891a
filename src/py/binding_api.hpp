// The binding layer's functions as a table, for the test-hook module.
//
// _corvantic_core is the package's only shared object and exports nothing
// but its init function, so another extension module cannot link against
// the binding code. The test hooks (_corvantic_testing, built for the tests
// and never installed) reach it through this table instead, which the core
// module publishes as the capsule `_corvantic_core._binding_api`. The hooks
// thereby run the core module's own parsing, conversions and error mapping,
// and make and raise its process-wide types rather than copies of them.
//
// Rules of use:
// 1. Both modules are built from one source tree with the same compiler: the
//    table passes C++ types by value and by reference.
// 2. A user checks `size` and `camera_size` against its own sizeof
//    before it calls anything (a cheap guard against a stale build).
// 3. The table lives as long as the process; the capsule owns nothing.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "py/args.hpp"
#include "py/classes.hpp"
#include "py/errors.hpp"
#include "py/value_types.hpp"
#include "util/log.hpp"

namespace corvantic::py {

// PyCapsule_Import() finds the table under this name.
inline constexpr const char* BINDING_API_CAPSULE = "corvantic._corvantic_core._binding_api";

struct BindingApi {
  std::size_t size;                 // sizeof(BindingApi)
  std::size_t camera_size;  // sizeof(camera::Camera)

  // args.hpp
  decltype(&py::parse_arguments) parse_arguments;
  decltype(&py::convert_text) convert_text;
  decltype(&py::convert_optional_text) convert_optional_text;
  decltype(&py::convert_i64) convert_i64;
  bool (*convert_unsigned)(PyObject* obj, const char* name, unsigned bits, std::uint64_t& out);
  decltype(&py::convert_optional_unsigned) convert_optional_unsigned;
  decltype(&py::convert_double) convert_double;
  decltype(&py::convert_bool) convert_bool;
  decltype(&py::convert_seconds) convert_seconds;

  // errors.hpp
  decltype(&py::raise_camera_error) raise_camera_error;
  decltype(&py::raise_genicam_error) raise_genicam_error;
  decltype(&py::raise_busy) raise_busy;
  decltype(&py::raise_failure) raise_failure;
  decltype(&py::raise_invalid_ip) raise_invalid_ip;
  decltype(&py::raise_value_error) raise_value_error;
  decltype(&py::call_guarded) call_guarded;

  // value_types.hpp and classes.hpp
  decltype(&py::make_device_info) make_device_info;
  decltype(&py::make_link_stats) make_link_stats;
  decltype(&py::make_frame) make_frame;
  decltype(&py::camera_of) camera_of;

  // util/log.hpp: the core module's own logging facade (the hooks' copy of
  // the core library has a facade of its own, which nothing listens to)
  decltype(&util::log::emit) log_emit;
};

// A new capsule holding the table, named BINDING_API_CAPSULE.
[[nodiscard]] PyObject* make_binding_api_capsule();

}  // namespace corvantic::py
