// The Camera class: the Python face of camera::Camera, which holds the
// session lock, the busy marker and the device.
#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <limits>

#include "camera/camera.hpp"
#include "py/args.hpp"
#include "py/boxed.hpp"
#include "py/classes.hpp"
#include "py/errors.hpp"
#include "py/event.hpp"
#include "py/frame_receiving.hpp"
#include "py/guard.hpp"
#include "py/ref.hpp"
#include "py/value_types.hpp"

namespace corvantic::py {
namespace {

struct CameraNative {
  std::shared_ptr<camera::Camera> camera;
  std::string ip;  // the device address as text, for the representation
};

CameraNative& native(PyObject* self) { return reinterpret_cast<Boxed<CameraNative>*>(self)->value; }

// Runs `work(camera, interrupted)` on the camera detached from the
// interpreter: every call of the camera layer may wait for the session lock
// and for the device, and asks `interrupted` between the slices of those
// waits, which runs the signal handlers. Nothing when a handler raised (its
// exception is set); what the work made is then dropped while detached, as
// an acquisition that stops on its release must be.
template <typename F>
auto interruptible(PyObject* self, F&& work)
    -> std::optional<std::invoke_result_t<F, camera::Camera&, const util::InterruptCheck&>> {
  std::shared_ptr<camera::Camera> camera = native(self).camera;
  std::optional<std::invoke_result_t<F, camera::Camera&, const util::InterruptCheck&>> result;
  DetachedWait wait;
  const util::InterruptCheck check = wait.check();
  result.emplace(work(*camera, check));
  if (wait.was_interrupted()) result.reset();
  return result;
}

// A feature operation of genicam/features.hpp, run by interruptible().
template <typename F>
auto feature_call(PyObject* self, F&& operation) {
  return interruptible(self, [&](camera::Camera& c, const util::InterruptCheck& interrupted) {
    return c.features(operation, interrupted);
  });
}

// ---- Results to Python.

PyObject* to_python(std::int64_t v) { return PyLong_FromLongLong(v); }
PyObject* to_python(double v) { return PyFloat_FromDouble(v); }
PyObject* to_python(bool v) { return PyBool_FromLong(v); }
PyObject* to_python(const std::string& v) { return PyUnicode_FromStringAndSize(v.data(), std::ssize(v)); }
PyObject* to_python(genicam::AccessMode v) { return make_access_mode(v); }
PyObject* to_python(const genicam::FeatureInfo& v) { return make_feature_info(v); }
PyObject* to_python(const std::vector<std::string>& v) {
  Ref list = Ref::steal(PyList_New(std::ssize(v)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < v.size(); ++i) {
    PyObject* item = to_python(v[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}
template <typename T>
PyObject* to_python(const std::pair<T, T>& v) {
  Ref first = Ref::steal(to_python(v.first));
  Ref second = Ref::steal(to_python(v.second));
  if (!first || !second) return nullptr;
  return PyTuple_Pack(2, first.get(), second.get());
}

template <typename T>
PyObject* result_to_python(const std::optional<camera::Result<T>>& interrupted_or_result) {
  if (!interrupted_or_result) return nullptr;
  const camera::Result<T>& result = *interrupted_or_result;
  if (!result) return raise_failure(result.error());
  if constexpr (std::is_void_v<T>) {
    Py_RETURN_NONE;
  } else {
    return to_python(*result);
  }
}

// ---- Argument parsing shared by the feature methods.

constexpr Parameter NAME_ONLY[] = {{"name", true}};
constexpr Parameter NAME_VALUE[] = {{"name", true}, {"value", true}};
constexpr Parameter NAME_ENTRY[] = {{"name", true}, {"entry", true}};

template <std::size_t N>
bool parse(const char* function, const Parameter (&params)[N], PyObject* const* args, Py_ssize_t nargs,
           PyObject* kwnames, Arguments<N>& out) {
  return parse_arguments(Signature{function, params}, args, nargs, kwnames, out);
}
template <std::size_t N>
bool parse(const char* function, const std::array<Parameter, N>& params, PyObject* const* args, Py_ssize_t nargs,
           PyObject* kwnames, Arguments<N>& out) {
  return parse_arguments(Signature{function, params}, args, nargs, kwnames, out);
}

// A feature method taking only the name, run with the GIL released.
template <auto Operation>
PyObject* by_name(const char* function, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
  Arguments<1> a{};
  std::string_view name;
  if (!parse(function, NAME_ONLY, args, nargs, kwnames, a) || !convert_text(a[0], "name", name)) return nullptr;
  return result_to_python(feature_call(self, [&](genicam::Device d) { return Operation(d, name); }));
}

// A feature setter: the name and one value converted by `Convert`.
template <typename Value, auto Convert, auto Operation>
PyObject* setter(const char* function, const Parameter (&params)[2], PyObject* self, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames) {
  Arguments<2> a{};
  std::string_view name;
  Value value{};
  if (!parse(function, params, args, nargs, kwnames, a) || !convert_text(a[0], "name", name) ||
      !Convert(a[1], params[1].name, value)) {
    return nullptr;
  }
  return result_to_python(feature_call(self, [&](genicam::Device d) { return Operation(d, name, value); }));
}

#define CORVANTIC_BY_NAME(method, operation)                                                        \
  PyObject* method##_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) { \
    return by_name<operation>("Camera." #method, self, args, nargs, kw);                            \
  }

CORVANTIC_BY_NAME(get_integer, genicam::get_integer)
CORVANTIC_BY_NAME(integer_bounds, genicam::integer_bounds)
CORVANTIC_BY_NAME(integer_increment, genicam::integer_increment)
CORVANTIC_BY_NAME(get_float, genicam::get_float)
CORVANTIC_BY_NAME(float_bounds, genicam::float_bounds)
CORVANTIC_BY_NAME(get_boolean, genicam::get_boolean)
CORVANTIC_BY_NAME(get_string, genicam::get_string)
CORVANTIC_BY_NAME(get_enum, genicam::get_string)
CORVANTIC_BY_NAME(enum_entries, genicam::enum_entries)
CORVANTIC_BY_NAME(execute, genicam::execute)
CORVANTIC_BY_NAME(access_mode, genicam::access_mode)
CORVANTIC_BY_NAME(feature_info, genicam::feature_info)
#undef CORVANTIC_BY_NAME

bool convert_string(PyObject* obj, const char* name, std::string_view& out) { return convert_text(obj, name, out); }

PyObject* set_integer_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return setter<std::int64_t, convert_i64, genicam::set_integer>("Camera.set_integer", NAME_VALUE, self, args, nargs, kw);
}
PyObject* set_float_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return setter<double, convert_double, genicam::set_float>("Camera.set_float", NAME_VALUE, self, args, nargs, kw);
}
PyObject* set_boolean_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return setter<bool, convert_bool, genicam::set_boolean>("Camera.set_boolean", NAME_VALUE, self, args, nargs, kw);
}
PyObject* set_string_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return setter<std::string_view, convert_string, genicam::set_string>("Camera.set_string", NAME_VALUE, self, args, nargs,
                                                               kw);
}
PyObject* set_enum_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return setter<std::string_view, convert_string, genicam::set_enum>("Camera.set_enum", NAME_ENTRY, self, args, nargs, kw);
}

// ---- Connection.

bool no_arguments(const char* function, Py_ssize_t nargs, PyObject* kwnames) {
  Arguments<0> none{};
  return parse_arguments(Signature{function, {}}, nullptr, nargs, kwnames, none);
}

// Each wait sliced so Ctrl-C ends it, as for reconnect.
PyObject* connect_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Camera.connect", nargs, kw)) return nullptr;
  return result_to_python(
      interruptible(self, [](camera::Camera& c, const util::InterruptCheck& check) { return c.connect(check); }));
}

constexpr Parameter RECONNECT_PARAMETERS[] = {{"timeout"}};

// Retries with the GIL released, each wait sliced so Ctrl-C ends it.
PyObject* reconnect_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  Arguments<1> a{};
  std::chrono::nanoseconds timeout = std::chrono::seconds(10);
  if (!parse("Camera.reconnect", RECONNECT_PARAMETERS, args, nargs, kw, a) ||
      !convert_seconds(a[0], "timeout", timeout)) {
    return nullptr;
  }
  return result_to_python(interruptible(
      self, [&](camera::Camera& c, const util::InterruptCheck& check) { return c.reconnect(timeout, check); }));
}

constexpr Parameter DISCONNECT_PARAMETERS[] = {{"deadline"}};

PyObject* disconnect_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  Arguments<1> a{};
  std::chrono::nanoseconds deadline = std::chrono::milliseconds(500);
  if (!parse("Camera.disconnect", DISCONNECT_PARAMETERS, args, nargs, kw, a) ||
      !convert_seconds(a[0], "deadline", deadline)) {
    return nullptr;
  }
  // Bounded by its deadline, so it has no check to ask.
  std::shared_ptr<camera::Camera> camera = native(self).camera;
  const camera::Result<void> disconnected = [&] {
    ReleasedGil gil;
    return camera->disconnect(deadline);
  }();
  return result_to_python(std::optional(disconnected));
}

PyObject* is_connected_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Camera.is_connected", nargs, kw)) return nullptr;
  return result_to_python(interruptible(
      self, [](camera::Camera& c, const util::InterruptCheck& check) { return c.is_connected(check); }));
}

PyObject* device_info_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Camera.device_info", nargs, kw)) return nullptr;
  const auto info = interruptible(
      self, [](camera::Camera& c, const util::InterruptCheck& check) { return c.device_info(check); });
  if (!info) return nullptr;
  if (!*info) return raise_failure(info->error());
  return make_device_info(**info);
}

PyObject* link_stats_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Camera.link_stats", nargs, kw)) return nullptr;
  const auto stats = interruptible(
      self, [](camera::Camera& c, const util::InterruptCheck& check) { return c.link_stats(check); });
  if (!stats) return nullptr;
  if (!*stats) return raise_failure(stats->error());
  if (!**stats) Py_RETURN_NONE;
  return make_link_stats(***stats);
}

PyObject* feature_names_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Camera.feature_names", nargs, kw)) return nullptr;
  return result_to_python(feature_call(self, [](genicam::Device d) { return genicam::feature_names(d); }));
}

PyObject* has_feature_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  Arguments<1> a{};
  std::string_view name;
  if (!parse("Camera.has_feature", NAME_ONLY, args, nargs, kw, a) || !convert_text(a[0], "name", name)) {
    return nullptr;
  }
  return result_to_python(feature_call(self, [&](genicam::Device d) { return genicam::has_feature(d, name); }));
}

PyObject* invalidate_caches_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Camera.invalidate_caches", nargs, kw)) return nullptr;
  return result_to_python(feature_call(self, [](genicam::Device d) { return genicam::invalidate_caches(d); }));
}

// ---- Streaming.

// The stream keywords shared by start_acquisition, snap and
// snapshot_session, converted into `options`, and as their text signatures
// show them, with gige::StreamOptions' defaults.
constexpr Parameter STREAM_PARAMETERS[] = {
    {"channel", false, true},      {"n_buffers", false, true}, {"packet_size", false, true},
    {"packet_delay", false, true}, {"resend", false, true},
};
#define CORVANTIC_STREAM_KEYWORDS "channel=0, n_buffers=8, packet_size=None, packet_delay=None, resend=True"
constexpr gige::StreamOptions STREAM_DEFAULTS{};
static_assert(STREAM_DEFAULTS.channel == 0 && STREAM_DEFAULTS.n_buffers == 8 && !STREAM_DEFAULTS.packet_size &&
                  !STREAM_DEFAULTS.packet_delay && !STREAM_DEFAULTS.no_resend,
              "CORVANTIC_STREAM_KEYWORDS shows the defaults of gige::StreamOptions");

// `first` followed by the stream keywords.
constexpr std::array<Parameter, std::size(STREAM_PARAMETERS) + 1> with_stream_parameters(Parameter first) {
  std::array<Parameter, std::size(STREAM_PARAMETERS) + 1> all{first};
  std::copy(std::begin(STREAM_PARAMETERS), std::end(STREAM_PARAMETERS), all.begin() + 1);
  return all;
}

bool convert_stream_options(std::span<PyObject* const> a, gige::StreamOptions& options) {
  std::optional<std::uint64_t> packet_size;
  std::optional<std::uint64_t> packet_delay;
  bool resend = true;
  if (!convert_unsigned(a[0], "channel", options.channel) || !convert_unsigned(a[1], "n_buffers", options.n_buffers) ||
      !convert_optional_unsigned(a[2], "packet_size", 16, packet_size) ||
      !convert_optional_unsigned(a[3], "packet_delay", 32, packet_delay) || !convert_bool(a[4], "resend", resend)) {
    return false;
  }
  if (packet_size) options.packet_size = static_cast<std::uint16_t>(*packet_size);
  if (packet_delay) options.packet_delay = static_cast<std::uint32_t>(*packet_delay);
  options.no_resend = !resend;
  if (const auto problem = gige::stream_options_problem(options)) {
    raise_value_error(*problem);
    return false;
  }
  return true;
}

PyObject* start_acquisition_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  Arguments<std::size(STREAM_PARAMETERS)> a{};
  gige::StreamOptions options;
  if (!parse("Camera.start_acquisition", STREAM_PARAMETERS, args, nargs, kw, a) || !convert_stream_options(a, options)) {
    return nullptr;
  }
  auto started = interruptible(self, [&](camera::Camera& c, const util::InterruptCheck& check) {
    return c.start_acquisition(options, check);
  });
  if (!started) return nullptr;
  if (!*started) return raise_failure(started->error());
  return make_acquisition(std::move(**started));
}

constexpr Parameter EVENTS_PARAMETERS[] = {{"capacity"}};

PyObject* events_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  Arguments<1> a{};
  std::size_t capacity = 64;
  if (!parse("Camera.events", EVENTS_PARAMETERS, args, nargs, kw, a) || !convert_unsigned(a[0], "capacity", capacity)) {
    return nullptr;
  }
  auto stream = interruptible(self, [&](camera::Camera& c, const util::InterruptCheck& check) {
    return c.subscribe_events(capacity, check);
  });
  if (!stream) return nullptr;
  if (!*stream) return raise_failure(stream->error());
  return make_event_channel(std::move(**stream));
}

PyObject* snapshot_session_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  Arguments<std::size(STREAM_PARAMETERS)> a{};
  gige::StreamOptions options;
  if (!parse("Camera.snapshot_session", STREAM_PARAMETERS, args, nargs, kw, a) ||
      !convert_stream_options(a, options)) {
    return nullptr;
  }
  auto opened = interruptible(self, [&](camera::Camera& c, const util::InterruptCheck& check) {
    return c.open_snapshot_session(options, check);
  });
  if (!opened) return nullptr;
  if (!*opened) return raise_failure(opened->error());
  return make_snapshot_session(std::move(**opened));
}

constexpr auto SNAP_PARAMETERS = with_stream_parameters({"timeout"});

PyObject* snap_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  Arguments<std::size(SNAP_PARAMETERS)> a{};
  std::chrono::nanoseconds timeout = std::chrono::seconds(5);
  gige::StreamOptions options;
  if (!parse("Camera.snap", SNAP_PARAMETERS, args, nargs, kw, a) || !convert_seconds(a[0], "timeout", timeout) ||
      !convert_stream_options(std::span(a).subspan(1), options)) {
    return nullptr;
  }
  auto snapped = interruptible(self, [&](camera::Camera& c, const util::InterruptCheck& check) {
    return c.snap(options, timeout, check);
  });
  if (!snapped) return nullptr;
  if (!*snapped) return raise_failure(snapped->error());
  return make_frame(std::move(**snapped));
}

// Takes only a mutex that is never held for long, so the interpreter lock is
// kept.
PyObject* cancel_snap_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Camera.cancel_snap", nargs, kw)) return nullptr;
  return PyBool_FromLong(native(self).camera->cancel_snap());
}

// Neither the session lock nor the device: a signal handler inside the
// camera's own snap gets the representation too.
PyObject* repr(PyObject* self) {
  const CameraNative& camera = native(self);
  return PyUnicode_FromFormat("Camera(%s, connected=%s)", camera.ip.c_str(),
                              camera.camera->connected_now() ? "True" : "False");
}

// ---- Construction.

constexpr Parameter INIT_PARAMETERS[] = {
    {"ip", true},
    {"gvcp_timeout", false, true},
    {"retries", false, true},
    {"heartbeat_timeout", false, true},
    {"exclusive", false, true},
    {"local_ip", false, true},
};

// Seconds to whole milliseconds: negative and NaN give 0, values beyond 32
// bits the largest 32-bit value, everything else is truncated.
std::uint32_t heartbeat_milliseconds(double seconds) {
  const double ms = seconds * 1000.0;
  if (!(ms > 0.0)) return 0;
  if (ms >= 4294967295.0) return std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(ms);
}

PyObject* camera_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Arguments<std::size(INIT_PARAMETERS)> a{};
  std::string_view ip;
  gige::DriverConfig config;
  double heartbeat_seconds = 3.0;
  std::optional<std::string_view> local_ip;
  if (!parse_call_arguments(Signature{"Camera", INIT_PARAMETERS}, args, kwargs, a) ||
      !convert_text(a[0], "ip", ip) || !convert_seconds(a[1], "gvcp_timeout", config.gvcp_timeout) ||
      !convert_unsigned(a[2], "retries", config.retries) || !convert_double(a[3], "heartbeat_timeout", heartbeat_seconds) ||
      !convert_bool(a[4], "exclusive", config.exclusive) || !convert_optional_text(a[5], "local_ip", local_ip)) {
    return nullptr;
  }
  const auto device = net::SocketAddress::parse_ip(ip, gige::proto::GVCP_PORT);
  if (!device) return raise_invalid_ip(ip);
  config.device = *device;
  if (local_ip) {
    const auto local = net::SocketAddress::parse_ip(*local_ip, 0);
    if (!local) return raise_invalid_ip(*local_ip);
    config.local_ip = *local;
  }
  config.heartbeat_timeout_ms = heartbeat_milliseconds(heartbeat_seconds);
  CameraNative camera{camera::Camera::create(std::move(config)), device->ip_string()};
  return box(reinterpret_cast<PyObject*>(type), std::move(camera));
}

// Dropping the last holder of the camera joins the control worker, so the
// GIL is released for it (except while the interpreter shuts down).
void camera_dealloc(PyObject* self) {
  CameraNative camera = std::move(native(self));
  boxed_dealloc<CameraNative>(self);
  if (interpreter_finalizing()) return;
  ReleasedGil gil;
  camera.camera.reset();
}

#define CORVANTIC_METHOD_FUNCTION(name) \
  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<name##_method>))
#define CORVANTIC_METHOD(name, signature) \
  {#name, CORVANTIC_METHOD_FUNCTION(name), METH_FASTCALL | METH_KEYWORDS, #name signature "\n--\n\n"}

PyMethodDef METHODS[] = {
    CORVANTIC_METHOD(connect, "($self)"),
    CORVANTIC_METHOD(disconnect, "($self, deadline=0.5)"),
    {"reconnect", CORVANTIC_METHOD_FUNCTION(reconnect), METH_FASTCALL | METH_KEYWORDS,
     "reconnect($self, timeout=10.0)\n--\n\n"
     "Connect again after control was lost (the camera restarted or its link\n"
     "went away): connect and load the features, and when that fails try\n"
     "again after a pause growing from 0.1 s to 1.6 s, until the camera\n"
     "answers or `timeout` seconds have passed; then raise the last error.\n"
     "A live connection is ended first (control released), so the camera\n"
     "always comes back as a fresh session. Ctrl-C ends the wait."},
    CORVANTIC_METHOD(is_connected, "($self)"),
    CORVANTIC_METHOD(device_info, "($self)"),
    CORVANTIC_METHOD(link_stats, "($self)"),
    CORVANTIC_METHOD(feature_names, "($self)"),
    CORVANTIC_METHOD(has_feature, "($self, name)"),
    CORVANTIC_METHOD(get_integer, "($self, name)"),
    CORVANTIC_METHOD(set_integer, "($self, name, value)"),
    CORVANTIC_METHOD(integer_bounds, "($self, name)"),
    CORVANTIC_METHOD(integer_increment, "($self, name)"),
    CORVANTIC_METHOD(get_float, "($self, name)"),
    CORVANTIC_METHOD(set_float, "($self, name, value)"),
    CORVANTIC_METHOD(float_bounds, "($self, name)"),
    CORVANTIC_METHOD(get_boolean, "($self, name)"),
    CORVANTIC_METHOD(set_boolean, "($self, name, value)"),
    CORVANTIC_METHOD(get_string, "($self, name)"),
    CORVANTIC_METHOD(set_string, "($self, name, value)"),
    CORVANTIC_METHOD(get_enum, "($self, name)"),
    CORVANTIC_METHOD(set_enum, "($self, name, entry)"),
    CORVANTIC_METHOD(enum_entries, "($self, name)"),
    CORVANTIC_METHOD(execute, "($self, name)"),
    CORVANTIC_METHOD(access_mode, "($self, name)"),
    {"feature_info", CORVANTIC_METHOD_FUNCTION(feature_info), METH_FASTCALL | METH_KEYWORDS,
     "feature_info($self, name)\n--\n\n"
     "What the description says about the feature `name`, as a `FeatureInfo`;\n"
     "its bounds and increment are read from the device."},
    CORVANTIC_METHOD(invalidate_caches, "($self)"),
    CORVANTIC_METHOD(start_acquisition, "($self, *, " CORVANTIC_STREAM_KEYWORDS ")"),
    CORVANTIC_METHOD(snap, "($self, timeout=5.0, *, " CORVANTIC_STREAM_KEYWORDS ")"),
    CORVANTIC_METHOD(snapshot_session, "($self, *, " CORVANTIC_STREAM_KEYWORDS ")"),
    {"cancel_snap", CORVANTIC_METHOD_FUNCTION(cancel_snap), METH_FASTCALL | METH_KEYWORDS,
     "cancel_snap($self)\n--\n\n"
     "End the snap waiting for its frame on this camera, `Camera.snap` or a\n"
     "`SnapshotSession.snap`, from another thread: within about 0.1 s the\n"
     "camera is stopped and that snap raises `GenicamError` \"snap\n"
     "cancelled before a frame arrived\" (a frame that arrived first is\n"
     "still returned). Returns whether a snap was in flight; when none was,\n"
     "nothing is done and a later snap is not affected."},
    {"events", CORVANTIC_METHOD_FUNCTION(events), METH_FASTCALL | METH_KEYWORDS,
     "events($self, capacity=64)\n--\n\n"
     "A new `EventChannel` that receives every device event the camera sends\n"
     "from now on, buffering up to `capacity` of them. The first call opens\n"
     "the camera's message channel; each event is also counted in\n"
     "`LinkStats.events`. Turn an event on with the camera's features, e.g.\n"
     "`EventSelector` and `EventNotification`."},
    {nullptr, nullptr, 0, nullptr},
};
#undef CORVANTIC_METHOD
#undef CORVANTIC_STREAM_KEYWORDS
#undef CORVANTIC_METHOD_FUNCTION

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Camera(ip, *, gvcp_timeout=0.5, retries=4, heartbeat_timeout=3.0, exclusive=False, "
                    "local_ip=None)\n--\n\n"
                    "A connected GenICam camera shared behind a mutex, so sessions and\n"
                    "channels created from it stay valid while Python holds them.")},
    {Py_tp_new, reinterpret_cast<void*>(guarded<camera_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(guarded<camera_dealloc>)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<repr>)},
    {Py_tp_methods, METHODS},
    {0, nullptr},
};

PyType_Spec SPEC = {"corvantic.Camera", sizeof(Boxed<CameraNative>), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, SLOTS};

}  // namespace

std::shared_ptr<camera::Camera> camera_of(PyObject* object) {
  PyObject* type = camera_type();
  if (type == nullptr || !PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type))) return nullptr;
  return native(object).camera;
}

PyObject* camera_type() {
  static std::atomic<PyObject*> slot{nullptr};
  return create_once(slot, [] { return PyType_FromSpec(&SPEC); });
}

}  // namespace corvantic::py
