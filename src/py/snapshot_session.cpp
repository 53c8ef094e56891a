// The SnapshotSession class: an open stream channel for on-demand single
// frames; the camera streams only while one of its snaps is in flight.
#include <utility>

#include "py/args.hpp"
#include "py/boxed.hpp"
#include "py/errors.hpp"
#include "py/frame_receiving.hpp"
#include "py/guard.hpp"
#include "py/locking.hpp"
#include "py/streaming.hpp"
#include "py/value_types.hpp"

namespace corvantic::py {
namespace {

constexpr std::string_view CLOSED = "snapshot session is closed";

std::shared_ptr<SnapshotState>& native(PyObject* self) {
  return reinterpret_cast<Boxed<std::shared_ptr<SnapshotState>>*>(self)->value;
}

// The session's snap holds the camera session lock and its own mutex while
// it waits, so every method but __enter__ is refused on that thread
// (locking.hpp).
CameraParts camera_parts(PyObject* self) {
  SnapshotState& state = *native(self);
  return {*state.session, state.claim.marker()};
}

bool no_arguments(const char* function, Py_ssize_t nargs, PyObject* kwnames) {
  Arguments<0> none{};
  return parse_arguments(Signature{function, {}}, nullptr, nargs, kwnames, none);
}

template <typename Query>
auto read_open(PyObject* self, Query query) -> std::optional<decltype(query(std::declval<genicam::SnapshotStream&>()))> {
  SnapshotState& state = *native(self);
  AttachedLock lock(state.mutex);
  if (!state.stream) return std::nullopt;
  return query(*state.stream);
}

bool is_closed(PyObject* self) {
  SnapshotState& state = *native(self);
  AttachedLock lock(state.mutex);
  return !state.stream;
}

void release_unclosed(SnapshotState& state) {
  release_unfinished(state, genicam::close_snapshot_session, genicam::SNAPSHOT_ABANDONED);
}

constexpr Parameter SNAP_PARAMETERS[] = {{"timeout"}};

PyObject* snap_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  Arguments<1> a{};
  if (!parse_arguments(Signature{"SnapshotSession.snap", SNAP_PARAMETERS}, args, nargs, kw, a)) return nullptr;
  // A closed session is refused before the time-out is looked at.
  if (is_closed(self)) return raise_value_error(CLOSED);
  std::chrono::nanoseconds timeout = std::chrono::seconds(5);
  if (!convert_seconds(a[0], "timeout", timeout)) return nullptr;

  SnapshotState& state = *native(self);
  std::optional<genicam::GenicamResult<gige::stream::Frame>> snapped;
  bool interrupted = false;
  {
    DetachedWait wait;
    util::TimedMutexLock session_lock(state.session->mutex);
    util::MutexLock lock(state.mutex);
    if (state.stream) snapped = genicam::snap(state.session->driver, *state.stream, timeout, wait.check());
    interrupted = wait.was_interrupted();
  }
  if (interrupted) return nullptr;
  if (!snapped) return raise_value_error(CLOSED);
  if (!*snapped) return raise_genicam_error(snapped->error());
  return make_frame(std::move(**snapped));
}

PyObject* stats_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("SnapshotSession.stats", nargs, kw)) return nullptr;
  const auto stats = read_open(self, [](genicam::SnapshotStream& s) { return s.stream.channel->stats(); });
  if (!stats) return raise_value_error(CLOSED);
  return make_stream_stats(*stats);
}

PyObject* packet_size_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("SnapshotSession.packet_size", nargs, kw)) return nullptr;
  const auto size = read_open(self, [](genicam::SnapshotStream& s) { return s.stream.channel->packet_size(); });
  if (!size) return raise_value_error(CLOSED);
  return PyLong_FromLong(*size);
}

PyObject* is_closed_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("SnapshotSession.is_closed", nargs, kw)) return nullptr;
  return PyBool_FromLong(is_closed(self));
}

// Session lock, then the session's mutex; never fails.
void close(PyObject* self) {
  SnapshotState& state = *native(self);
  ReleasedGil gil;
  util::TimedMutexLock session_lock(state.session->mutex);
  {
    util::MutexLock lock(state.mutex);
    if (auto stream = state.take()) genicam::close_snapshot_session(state.session->driver, std::move(*stream));
  }
  state.claim.release();
}

PyObject* close_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("SnapshotSession.close", nargs, kw)) return nullptr;
  close(self);
  Py_RETURN_NONE;
}

PyObject* enter_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("__enter__", nargs, kw)) return nullptr;
  return Py_NewRef(self);
}

PyObject* exit_method(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
  close(self);
  Py_RETURN_FALSE;
}

PyObject* repr(PyObject* self) {
  if (refuse_reentry(*native(self)->session, native(self)->claim.marker())) return nullptr;
  return PyUnicode_FromFormat("SnapshotSession(closed=%s)", is_closed(self) ? "True" : "False");
}

void dealloc(PyObject* self) {
  std::shared_ptr<SnapshotState> state = std::move(native(self));
  boxed_dealloc<std::shared_ptr<SnapshotState>>(self);
  if (interpreter_finalizing()) {
    release_unclosed(*state);
    return;
  }
  ReleasedGil gil;
  release_unclosed(*state);
  state.reset();
}

#define CORVANTIC_METHOD_FUNCTION(name) \
  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<refusing_reentry<name##_method, camera_parts>>))
#define CORVANTIC_METHOD(name, signature, doc) \
  {#name, CORVANTIC_METHOD_FUNCTION(name), METH_FASTCALL | METH_KEYWORDS, #name signature "\n--\n\n" doc}

PyMethodDef METHODS[] = {
    CORVANTIC_METHOD(snap, "($self, timeout=5.0)", ""),
    CORVANTIC_METHOD(stats, "($self)", ""),
    CORVANTIC_METHOD(packet_size, "($self)", ""),
    CORVANTIC_METHOD(is_closed, "($self)", ""),
    CORVANTIC_METHOD(close, "($self)",
                     "Restore `AcquisitionMode`, unlock transport parameters, and close the\n"
                     "stream channel. Idempotent."),
    {"__enter__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<enter_method>)),
     METH_FASTCALL | METH_KEYWORDS, "__enter__($self)\n--\n\n"},
    {"__exit__", CORVANTIC_METHOD_FUNCTION(exit),
     METH_FASTCALL | METH_KEYWORDS, "__exit__($self, *_args)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};
#undef CORVANTIC_METHOD
#undef CORVANTIC_METHOD_FUNCTION

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(
                    "An open stream channel dedicated to on-demand single-frame capture; the\n"
                    "camera transmits only while a `snap()` is in flight. Use as a context\n"
                    "manager or call `close()` to restore the camera's acquisition mode.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(guarded<dealloc>)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<repr>)},
    {Py_tp_methods, METHODS},
    {0, nullptr},
};

PyType_Spec SPEC = {"corvantic.SnapshotSession", sizeof(Boxed<std::shared_ptr<SnapshotState>>), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, SLOTS};

}  // namespace

PyObject* make_snapshot_session(std::shared_ptr<CameraSession> session, genicam::SnapshotStream stream,
                                std::shared_ptr<BusyMarker> busy) {
  auto state = std::make_shared<SnapshotState>(std::move(session), std::move(stream), std::move(busy));
  PyObject* object = box(snapshot_session_type(), state);
  if (object == nullptr) {
    ReleasedGil gil;
    release_unclosed(*state);
  }
  return object;
}

PyObject* snapshot_session_type() {
  static std::atomic<PyObject*> slot{nullptr};
  return create_once(slot, [] { return PyType_FromSpec(&SPEC); });
}

}  // namespace corvantic::py
