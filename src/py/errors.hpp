// The module's exception types and the one place where native errors become
// Python exceptions. Each raise_* sets the exception and returns nullptr so
// a method can `return raise_...(...)`.
#pragma once

#include <Python.h>

#include <string_view>

#include "camera/result.hpp"
#include "genicam/genicam_error.hpp"
#include "gige/camera_error.hpp"
#include "util/duration.hpp"

namespace corvantic::py {

// corvantic.CameraException and corvantic.GenicamException: created on first
// use, once per process, and shared after that. Borrowed; nullptr with an
// exception set when creation failed.
[[nodiscard]] PyObject* camera_exception_type();
[[nodiscard]] PyObject* genicam_exception_type();
// corvantic.DurationConversionError, a BaseException: a time-out in seconds
// that no duration can hold.
[[nodiscard]] PyObject* duration_exception_type();

PyObject* raise_camera_error(const gige::CameraError& error);
// Transport errors raise CameraException with the wrapped text, every other
// variant GenicamException.
PyObject* raise_genicam_error(const genicam::GenicamError& error);
PyObject* raise_duration_error(util::DurationError error);
// ValueError "camera is busy (<activity> in progress); stop it first".
PyObject* raise_busy(std::string_view activity);
// ValueError "camera is busy (<activity> in progress): this call was made
// from within the camera's own <operation>, which must return first".
PyObject* raise_busy_within(std::string_view activity, std::string_view operation);
// The failure of a camera-layer call: Busy as raise_busy (as
// raise_busy_within for a call made from within the operation's own wait),
// Ended as raise_value_error(`ended`), an error of the device as
// raise_genicam_error.
PyObject* raise_failure(const camera::Failure& failure, std::string_view ended = "");
// ValueError "invalid IP address: <text>".
PyObject* raise_invalid_ip(std::string_view text);
// ValueError with a fixed text ("acquisition is stopped", ...).
PyObject* raise_value_error(std::string_view text);
// AttributeError with a text: an attribute that has no value for this object.
PyObject* raise_attribute_error(std::string_view text);

// Runs body(context) inside the guard that every entry point of the module
// runs in (guard.hpp); for the test hooks, which register their own
// functions but share this module's guard.
PyObject* call_guarded(PyObject* (*body)(void*), void* context);

// Adds the note "while processing '<parameter>'" to the exception being raised.
void add_parameter_note(std::string_view parameter);

}  // namespace corvantic::py
