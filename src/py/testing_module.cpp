// _corvantic_testing: hooks that let the Python tests exercise the binding
// layer's argument parsing, conversions and error mapping directly, before
// and apart from the classes that use them.
//
// A module for the tests alone, never installed with the package:
// scripts/build-test-hooks.sh builds it per interpreter and
// tests/python/conftest.py puts it on the path. It links the core library
// but no binding code: every binding function it calls comes from the
// imported corvantic._corvantic_core through the table of binding_api.hpp,
// so what it makes and raises is of the core module's own types.
#include <Python.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include <time.h>

#include "camera/camera.hpp"
#include "gige/stream/buffer_pool.hpp"
#include "py/binding_api.hpp"
#include "py/ref.hpp"

namespace corvantic::py {
namespace {

struct HooksState {
  const BindingApi* api;  // set by exec_module, before any call
};

const BindingApi& api(PyObject* module) { return *static_cast<HooksState*>(PyModule_GetState(module))->api; }

constexpr Parameter PARSE_PARAMETERS[] = {
    {"text", true},
    {"seconds", false},
    {"retries", false, true},
    {"count", false, true},
    {"flag", false, true},
    {"label", false, true},
    {"signed", false, true},
    {"ratio", false, true},
};
constexpr Signature PARSE_SIGNATURE{"parse", PARSE_PARAMETERS};

// Converts every argument as the real methods do and returns the results as
// a tuple (text, nanoseconds, retries, count, flag, label, signed, ratio).
PyObject* parse(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const BindingApi& b = api(module);
  Arguments<std::size(PARSE_PARAMETERS)> a{};
  if (!b.parse_arguments(PARSE_SIGNATURE, args, nargs, kwnames, a)) return nullptr;
  std::string_view text;
  std::chrono::nanoseconds seconds{1'000'000'000};
  std::uint64_t retries = 4;  // 8 bits
  std::optional<std::uint64_t> count;
  bool flag = false;
  std::optional<std::string_view> label;
  std::int64_t signed_value = 0;
  double ratio = 0.25;
  if (!b.convert_text(a[0], "text", text) || !b.convert_seconds(a[1], "seconds", seconds) ||
      !b.convert_unsigned(a[2], "retries", 8, retries) || !b.convert_optional_unsigned(a[3], "count", 32, count) ||
      !b.convert_bool(a[4], "flag", flag) || !b.convert_optional_text(a[5], "label", label) ||
      !b.convert_i64(a[6], "signed", signed_value) || !b.convert_double(a[7], "ratio", ratio)) {
    return nullptr;
  }
  Ref label_obj = label ? Ref::steal(PyUnicode_FromStringAndSize(label->data(), std::ssize(*label)))
                        : Ref::borrow(Py_None);
  if (!label_obj) return nullptr;
  Ref count_obj = count ? Ref::steal(PyLong_FromUnsignedLongLong(*count)) : Ref::borrow(Py_None);
  if (!count_obj) return nullptr;
  return Py_BuildValue("(s#LBOOOLd)", text.data(), static_cast<Py_ssize_t>(text.size()),
                       static_cast<long long>(seconds.count()), static_cast<unsigned char>(retries), count_obj.get(),
                       flag ? Py_True : Py_False, label_obj.get(), static_cast<long long>(signed_value), ratio);
}

// Raises the mapped exception of one sample error of each family, by name.
PyObject* raise_sample(PyObject* module, PyObject* arg) {
  const BindingApi& b = api(module);
  const char* name = PyUnicode_AsUTF8(arg);
  if (name == nullptr) return nullptr;
  const std::string_view which = name;
  if (which == "status") return b.raise_camera_error(gige::CameraError::status(0x0084, {0x8006}));
  if (which == "io") {
    return b.raise_camera_error(gige::CameraError::io(EADDRNOTAVAIL, "no usable network adapter for discovery"));
  }
  if (which == "not_found") return b.raise_genicam_error(genicam::GenicamError::feature_not_found("Gain"));
  if (which == "transport") return b.raise_genicam_error(genicam::GenicamError(gige::CameraError::control_lost()));
  if (which == "busy") return b.raise_busy("a snap");
  if (which == "invalid_ip") return b.raise_invalid_ip("300.1.2.3");
  if (which == "stopped") return b.raise_value_error("acquisition is stopped");
  PyErr_Format(PyExc_KeyError, "no sample error named %s", name);
  return nullptr;
}

// Runs, inside the module's entry-point guard, a body that fails with the
// exception named: "memory" (std::bad_alloc), "length" (std::length_error)
// or "other" (std::runtime_error "boom").
PyObject* raise_in_guard(PyObject* module, PyObject* arg) {
  const char* name = PyUnicode_AsUTF8(arg);
  if (name == nullptr) return nullptr;
  std::exception_ptr failure;
  const std::string_view which = name;
  if (which == "memory") failure = std::make_exception_ptr(std::bad_alloc());
  if (which == "length") failure = std::make_exception_ptr(std::length_error("vector::reserve"));
  if (which == "other") failure = std::make_exception_ptr(std::runtime_error("boom"));
  if (!failure) {
    PyErr_Format(PyExc_KeyError, "no exception named %s", name);
    return nullptr;
  }
  return api(module).call_guarded(
      [](void* context) -> PyObject* { std::rethrow_exception(*static_cast<std::exception_ptr*>(context)); },
      &failure);
}

// A DeviceInfo parsed from a discovery block (bytes); None when it is too short.
PyObject* device_info_from_block(PyObject* module, PyObject* arg) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(arg, &data, &size) < 0) return nullptr;
  const auto info =
      gige::proto::parse_discovery_block({reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)});
  if (!info) Py_RETURN_NONE;
  return api(module).make_device_info(*info);
}

// A LinkStats holding the nine counters given in order.
PyObject* link_stats_from_counters(PyObject* module, PyObject* arg) {
  gige::LinkStats stats;
  std::uint64_t gige::LinkStats::*const counters[] = {&gige::LinkStats::commands,     &gige::LinkStats::acks,
                                                &gige::LinkStats::retries,      &gige::LinkStats::timeouts,
                                                &gige::LinkStats::naks,         &gige::LinkStats::pending_acks,
                                                &gige::LinkStats::heartbeats,   &gige::LinkStats::events,
                                                &gige::LinkStats::unsolicited};
  if (!PyTuple_Check(arg) || PyTuple_GET_SIZE(arg) != std::ssize(counters)) {
    PyErr_SetString(PyExc_TypeError, "expected a tuple of nine counters");
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < std::ssize(counters); ++i) {
    const unsigned long long v = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(arg, i));
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    stats.*counters[i] = v;
  }
  return api(module).make_link_stats(stats);
}

// A complete Frame of the given id, pixel format code and geometry over a
// buffer holding exactly `data` (bytes).
PyObject* frame_of(PyObject* module, PyObject* args) {
  unsigned long long frame_id = 0;
  unsigned int code = 0;
  unsigned int width = 0;
  unsigned int height = 0;
  const char* data = nullptr;
  Py_ssize_t size = 0;
  if (!PyArg_ParseTuple(args, "KIIIy#", &frame_id, &code, &width, &height, &data, &size)) return nullptr;
  auto buffer = gige::stream::BufferPool::create(1, static_cast<std::size_t>(size))->take();
  std::copy_n(data, size, (*buffer)->data().begin());
  (*buffer)->info = {.frame_id = frame_id, .width = width, .height = height, .pixel_format_code = code,
                     .received_size = static_cast<std::uint64_t>(size), .high_water = static_cast<std::uint64_t>(size)};
  return api(module).make_frame(genicam::FrameWithChunks(gige::stream::Frame(std::move(*buffer)), nullptr));
}

// Reads the integer feature `name` of a connected Camera `count` times
// through the C++ API alone and returns the mean nanoseconds per read: the
// baseline against which the Python layer's cost is measured.
PyObject* native_get_integer_ns(PyObject* module, PyObject* args) {
  PyObject* camera_object = nullptr;
  const char* name = nullptr;
  unsigned long long count = 0;
  if (!PyArg_ParseTuple(args, "OsK", &camera_object, &name, &count)) return nullptr;
  const auto camera = api(module).camera_of(camera_object);
  if (!camera || count == 0) {
    PyErr_SetString(PyExc_TypeError, "expected a Camera and a positive count");
    return nullptr;
  }
  camera::Result<double> mean_ns;
  {
    ReleasedGil gil;
    mean_ns = camera->features([&](genicam::Device device) -> genicam::GenicamResult<double> {
      const auto start = std::chrono::steady_clock::now();
      for (unsigned long long i = 0; i < count; ++i) {
        if (auto value = genicam::get_integer(device, name); !value) return std::unexpected(value.error());
      }
      const std::chrono::nanoseconds elapsed = std::chrono::steady_clock::now() - start;
      return static_cast<double>(elapsed.count()) / static_cast<double>(count);
    });
  }
  if (!mean_ns) return api(module).raise_failure(mean_ns.error(), "");
  return PyFloat_FromDouble(*mean_ns);
}

std::int64_t thread_cpu_ns() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// Runs an acquisition of a connected Camera through the C++ API alone, waits
// until `count` frames are queued (the camera set to send that many), and
// receives them on this thread; returns the thread's CPU nanoseconds per
// frame for the receiving loop and how many frames were complete: the
// baseline of the Python receive paths. The frames are queued before the
// clock starts, so the network traffic costs the loop nothing.
PyObject* native_receive_cpu_ns(PyObject* module, PyObject* args) {
  PyObject* camera_object = nullptr;
  unsigned long long count = 0;
  unsigned int packet_size = 0;
  if (!PyArg_ParseTuple(args, "OKI", &camera_object, &count, &packet_size)) return nullptr;
  const auto camera = api(module).camera_of(camera_object);
  if (!camera || count == 0 || packet_size > 0xFFFF) {
    PyErr_SetString(PyExc_TypeError, "expected a Camera, a positive count and a packet size");
    return nullptr;
  }
  gige::StreamOptions options;
  options.packet_size = static_cast<std::uint16_t>(packet_size);
  options.n_buffers = count;
  std::int64_t cpu_ns = 0;
  unsigned long long complete = 0;
  camera::Result<void> stopped;
  {
    ReleasedGil gil;
    auto started = camera->start_acquisition(options);
    if (!started) {
      stopped = std::unexpected(started.error());
    } else {
      const gige::stream::FrameReceiver& frames = (*started)->frames().receiver;
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (frames.size() < count && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      const std::int64_t start = thread_cpu_ns();
      for (unsigned long long i = 0; i < count; ++i) {
        auto got = frames.receive_for(std::chrono::seconds(5));
        if (got.status != gige::stream::ReceiveStatus::Received) break;
        complete += got.frame.is_complete() ? 1 : 0;
      }
      cpu_ns = thread_cpu_ns() - start;
      stopped = (*started)->stop();
    }
  }
  if (!stopped) return api(module).raise_failure(stopped.error(), "");
  return Py_BuildValue("(dK)", static_cast<double>(cpu_ns) / static_cast<double>(count), complete);
}

// Logs `count` events through the core module's facade, which drops those
// below the installed level: level "trace", "debug", "warn" or "error", the
// target and message given, and the field `i` counting from 0.
PyObject* log_events(PyObject* module, PyObject* args) {
  const char* level_text = nullptr;
  const char* target = nullptr;
  const char* message = nullptr;
  unsigned long long count = 0;
  if (!PyArg_ParseTuple(args, "sssK", &level_text, &target, &message, &count)) return nullptr;
  const std::string_view names[] = {"trace", "debug", "warn", "error"};
  const auto* found = std::find(std::begin(names), std::end(names), std::string_view(level_text));
  if (found == std::end(names)) {
    PyErr_Format(PyExc_KeyError, "no level named %s", level_text);
    return nullptr;
  }
  const auto level = static_cast<util::log::Level>(found - std::begin(names));
  const BindingApi& b = api(module);
  {
    ReleasedGil gil;
    for (unsigned long long i = 0; i < count; ++i) b.log_emit(level, target, message, {util::log::field("i", i)});
  }
  Py_RETURN_NONE;
}

PyMethodDef METHODS[] = {
    {"parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse)), METH_FASTCALL | METH_KEYWORDS,
     "parse($module, /, text, seconds=1.0, *, retries=4, count=None, flag=False, label=None, signed=0, "
     "ratio=0.25)\n--\n\nConvert the arguments as the module's methods do."},
    {"device_info_from_block", device_info_from_block, METH_O,
     "device_info_from_block($module, block, /)\n--\n\nParse a discovery block into a DeviceInfo."},
    {"link_stats_from_counters", link_stats_from_counters, METH_O,
     "link_stats_from_counters($module, counters, /)\n--\n\nBuild a LinkStats from nine counters."},
    {"frame_of", frame_of, METH_VARARGS,
     "frame_of($module, frame_id, pixel_format_code, width, height, data, /)\n--\n\nA complete Frame over "
     "`data`."},
    {"native_get_integer_ns", native_get_integer_ns, METH_VARARGS,
     "native_get_integer_ns($module, camera, name, count, /)\n--\n\nTime integer reads through the C++ API."},
    {"native_receive_cpu_ns", native_receive_cpu_ns, METH_VARARGS,
     "native_receive_cpu_ns($module, camera, count, packet_size, /)\n--\n\nReceive frames through the C++ API "
     "and return (CPU ns per frame, complete frames)."},
    {"log_events", log_events, METH_VARARGS,
     "log_events($module, level, target, message, count, /)\n--\n\nLog events through the core's facade."},
    {"raise_sample", raise_sample, METH_O, "raise_sample($module, name, /)\n--\n\nRaise a mapped sample error."},
    {"raise_in_guard", raise_in_guard, METH_O,
     "raise_in_guard($module, name, /)\n--\n\nFail with a C++ exception inside the entry-point guard."},
    {nullptr, nullptr, 0, nullptr},
};

// Takes the binding table from the core module, refusing one of another build.
int exec_module(PyObject* module) {
  const auto* table = static_cast<const BindingApi*>(PyCapsule_Import(BINDING_API_CAPSULE, 0));
  if (table == nullptr) return -1;
  if (table->size != sizeof(BindingApi) || table->camera_size != sizeof(camera::Camera)) {
    PyErr_SetString(PyExc_ImportError,
                    "_corvantic_testing does not match the installed corvantic._corvantic_core; rebuild it "
                    "(scripts/build-test-hooks.sh)");
    return -1;
  }
  static_cast<HooksState*>(PyModule_GetState(module))->api = table;
  return 0;
}

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef DEF = {PyModuleDef_HEAD_INIT, "_corvantic_testing", "Test hooks of the binding layer.",
                   sizeof(HooksState), METHODS, SLOTS, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace corvantic::py

PyMODINIT_FUNC PyInit__corvantic_testing(void) { return PyModuleDef_Init(&corvantic::py::DEF); }
