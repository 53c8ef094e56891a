#include "py/errors.hpp"

#include <atomic>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <variant>

#include "py/guard.hpp"
#include "py/ref.hpp"

namespace corvantic::py {
namespace {

struct ExceptionSpec {
  const char* qualified_name;
  const char* doc;
  PyObject* base;
};

PyObject* exception_type(std::atomic<PyObject*>& slot, const ExceptionSpec& spec) {
  return create_once(slot, [&] { return PyErr_NewExceptionWithDoc(spec.qualified_name, spec.doc, spec.base, nullptr); });
}

PyObject* raise_text(PyObject* type, std::string_view text) {
  if (type == nullptr) return nullptr;
  Ref message = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

}  // namespace

PyObject* camera_exception_type() {
  static std::atomic<PyObject*> slot{nullptr};
  return exception_type(
      slot, {"corvantic.CameraException",
             "Raised when the transport link fails: connect/acknowledge timeout, I/O error, device NAK, "
             "lost control, or a malformed packet.",
             PyExc_RuntimeError});
}

PyObject* genicam_exception_type() {
  static std::atomic<PyObject*> slot{nullptr};
  return exception_type(
      slot, {"corvantic.GenicamException",
             "Raised by the GenICam feature layer: unknown feature, wrong type or access mode, value out of "
             "range, or a broken device description.",
             PyExc_RuntimeError});
}

PyObject* duration_exception_type() {
  static std::atomic<PyObject*> slot{nullptr};
  return exception_type(slot, {"corvantic.DurationConversionError",
                               "Raised when a time-out in seconds is negative, NaN or too large to be a "
                               "duration.",
                               PyExc_BaseException});
}

PyObject* raise_camera_error(const gige::CameraError& error) {
  return raise_text(camera_exception_type(), error.display());
}

PyObject* raise_genicam_error(const genicam::GenicamError& error) {
  if (const gige::CameraError* transport = error.transport()) return raise_camera_error(*transport);
  return raise_text(genicam_exception_type(), error.display());
}

PyObject* raise_duration_error(util::DurationError error) {
  return raise_text(duration_exception_type(), util::duration_error_text(error));
}

PyObject* raise_failure(const camera::Failure& failure, std::string_view ended) {
  if (const auto* busy = std::get_if<camera::Busy>(&failure)) {
    if (busy->within.empty()) return raise_busy(busy->activity);
    return raise_busy_within(busy->activity, busy->within);
  }
  if (std::holds_alternative<camera::Ended>(failure)) return raise_value_error(ended);
  return raise_genicam_error(std::get<genicam::GenicamError>(failure));
}

PyObject* raise_busy(std::string_view activity) {
  return raise_text(PyExc_ValueError, "camera is busy (" + std::string(activity) + " in progress); stop it first");
}

PyObject* raise_busy_within(std::string_view activity, std::string_view operation) {
  return raise_text(PyExc_ValueError, "camera is busy (" + std::string(activity) +
                                          " in progress): this call was made from within the camera's own " +
                                          std::string(operation) + ", which must return first");
}

PyObject* raise_invalid_ip(std::string_view text) {
  return raise_text(PyExc_ValueError, "invalid IP address: " + std::string(text));
}

PyObject* raise_value_error(std::string_view text) { return raise_text(PyExc_ValueError, text); }

PyObject* raise_attribute_error(std::string_view text) { return raise_text(PyExc_AttributeError, text); }

void raise_current_exception() noexcept {
  try {
    std::rethrow_exception(std::current_exception());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {  // a size beyond what a container can hold
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "internal failure: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "internal failure");
  }
}

namespace {

PyObject* run_body(PyObject* (*body)(void*), void* context) { return body(context); }

}  // namespace

PyObject* call_guarded(PyObject* (*body)(void*), void* context) { return guarded<run_body>(body, context); }

namespace {

void add_note(PyObject* exc, const std::string& note) {
  Ref result = Ref::steal(PyObject_CallMethod(exc, "add_note", "s", note.c_str()));
  // A failure to add the note must not replace the original exception.
  if (!result) PyErr_Clear();
}

}  // namespace

void add_parameter_note(std::string_view parameter) {
  const std::string note = "while processing '" + std::string(parameter) + "'";
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  add_note(exc, note);
  PyErr_SetRaisedException(exc);
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) add_note(value, note);
  PyErr_Restore(type, value, traceback);
#endif
}

}  // namespace corvantic::py
