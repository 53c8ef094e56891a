// The SnapshotSession class: an open stream channel for on-demand single
// frames; the camera streams only while one of its snaps is in flight.
#include <utility>

#include "py/args.hpp"
#include "py/boxed.hpp"
#include "py/classes.hpp"
#include "py/errors.hpp"
#include "py/frame_receiving.hpp"
#include "py/guard.hpp"
#include "py/ref.hpp"
#include "py/value_types.hpp"

namespace corvantic::py {
namespace {

constexpr std::string_view CLOSED = "snapshot session is closed";

using Session = std::shared_ptr<camera::SnapshotSession>;

Session& native(PyObject* self) { return reinterpret_cast<Boxed<Session>*>(self)->value; }

bool no_arguments(const char* function, Py_ssize_t nargs, PyObject* kwnames) {
  Arguments<0> none{};
  return parse_arguments(Signature{function, {}}, nullptr, nargs, kwnames, none);
}

// Runs `call` on the session with the interpreter lock released: its lock is
// held for the length of a snap. Every call is refused (busy) on a thread
// inside this session's own snap.
template <typename Call>
auto released(PyObject* self, Call call) {
  Session session = native(self);
  ReleasedGil gil;
  return call(*session);
}

constexpr Parameter SNAP_PARAMETERS[] = {{"timeout"}};

PyObject* snap_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  Arguments<1> a{};
  if (!parse_arguments(Signature{"SnapshotSession.snap", SNAP_PARAMETERS}, args, nargs, kw, a)) return nullptr;
  // A closed session is refused before the time-out is looked at.
  const auto closed = released(self, [](camera::SnapshotSession& s) { return s.is_closed(); });
  if (!closed) return raise_failure(closed.error(), CLOSED);
  if (*closed) return raise_value_error(CLOSED);
  std::chrono::nanoseconds timeout = std::chrono::seconds(5);
  if (!convert_seconds(a[0], "timeout", timeout)) return nullptr;

  Session session = native(self);
  std::optional<camera::Result<genicam::FrameWithChunks>> snapped;
  bool interrupted = false;
  {
    DetachedWait wait;
    snapped = session->snap(timeout, wait.check());
    interrupted = wait.was_interrupted();
  }
  if (interrupted) return nullptr;
  if (!*snapped) return raise_failure(snapped->error(), CLOSED);
  return make_frame(std::move(**snapped));
}

PyObject* stats_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("SnapshotSession.stats", nargs, kw)) return nullptr;
  const auto stats = released(self, [](camera::SnapshotSession& s) { return s.stats(); });
  if (!stats) return raise_failure(stats.error(), CLOSED);
  return make_stream_stats(*stats);
}

PyObject* packet_size_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("SnapshotSession.packet_size", nargs, kw)) return nullptr;
  const auto size = released(self, [](camera::SnapshotSession& s) { return s.packet_size(); });
  if (!size) return raise_failure(size.error(), CLOSED);
  return PyLong_FromLong(*size);
}

PyObject* is_closed_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("SnapshotSession.is_closed", nargs, kw)) return nullptr;
  const auto closed = released(self, [](camera::SnapshotSession& s) { return s.is_closed(); });
  if (!closed) return raise_failure(closed.error(), CLOSED);
  return PyBool_FromLong(*closed);
}

// Never fails but on a thread inside this session's own snap.
PyObject* close(PyObject* self) {
  const auto closed = released(self, [](camera::SnapshotSession& s) { return s.close(); });
  if (!closed) return raise_failure(closed.error(), CLOSED);
  Py_RETURN_NONE;
}

PyObject* close_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("SnapshotSession.close", nargs, kw)) return nullptr;
  return close(self);
}

PyObject* enter_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("__enter__", nargs, kw)) return nullptr;
  return Py_NewRef(self);
}

PyObject* exit_method(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
  Ref closed = Ref::steal(close(self));
  if (!closed) return nullptr;
  Py_RETURN_FALSE;
}

PyObject* repr(PyObject* self) {
  const auto closed = released(self, [](camera::SnapshotSession& s) { return s.is_closed(); });
  if (!closed) return raise_failure(closed.error(), CLOSED);
  return PyUnicode_FromFormat("SnapshotSession(closed=%s)", *closed ? "True" : "False");
}

// The last holder's release closes a session nobody closed, which waits for
// the device, so the GIL is released for it (except while the interpreter
// shuts down).
void dealloc(PyObject* self) {
  Session session = std::move(native(self));
  boxed_dealloc<Session>(self);
  if (interpreter_finalizing()) return;
  ReleasedGil gil;
  session.reset();
}

#define CORVANTIC_METHOD_FUNCTION(name) \
  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<name##_method>))
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

PyType_Spec SPEC = {"corvantic.SnapshotSession", sizeof(Boxed<Session>), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, SLOTS};

}  // namespace

PyObject* make_snapshot_session(std::shared_ptr<camera::SnapshotSession> session) {
  PyObject* object = box(snapshot_session_type(), session);
  if (object == nullptr) {
    ReleasedGil gil;
    session.reset();
  }
  return object;
}

PyObject* snapshot_session_type() {
  static std::atomic<PyObject*> slot{nullptr};
  return create_once(slot, [] { return PyType_FromSpec(&SPEC); });
}

}  // namespace corvantic::py
