// The EventChannel class: the Python face of camera::EventChannel, one
// subscription to a camera's device events.
#include <optional>
#include <utility>

#include "camera/event_channel.hpp"
#include "py/args.hpp"
#include "py/boxed.hpp"
#include "py/errors.hpp"
#include "py/event.hpp"
#include "py/frame_receiving.hpp"
#include "py/guard.hpp"
#include "py/ref.hpp"
#include "util/duration.hpp"

namespace corvantic::py {
namespace {

using gige::EventReceiver;
using gige::ReceiveStatus;

using Channel = std::shared_ptr<camera::EventChannel>;

const camera::EventChannel& native(PyObject* self) { return *unbox<Channel>(self); }

PyObject* to_event(const camera::EventChannel& channel, gige::SharedEvent event) {
  EventRecord record{event, channel.catalog().name(event->event_id), channel.catalog().data(*event)};
  return make_event(std::move(record));
}

bool no_arguments(const char* function, Py_ssize_t nargs, PyObject* kwnames) {
  Arguments<0> none{};
  return parse_arguments(Signature{function, {}}, nullptr, nargs, kwnames, none);
}

constexpr Parameter WAIT_FOR_PARAMETERS[] = {{"timeout", true}};

PyObject* wait_for_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  Arguments<1> a{};
  std::chrono::nanoseconds timeout{};
  if (!parse_arguments(Signature{"EventChannel.wait_for", WAIT_FOR_PARAMETERS}, args, nargs, kw, a) ||
      !convert_seconds(a[0], "timeout", timeout)) {
    return nullptr;
  }
  const camera::EventChannel& channel = native(self);
  const std::optional<EventReceiver> events = channel.receiver();
  if (!events) Py_RETURN_NONE;
  const auto deadline = util::saturating_add<EventReceiver::Clock>(EventReceiver::Clock::now(), timeout);
  gige::EventReceiveResult got;
  bool interrupted = false;
  {
    DetachedWait wait;
    got = gige::receive_until(*events, deadline,
                              [&] { return wait.interrupted() || channel.closed_by_owner(); });
    interrupted = wait.was_interrupted();
  }
  if (interrupted) return nullptr;
  // A reader polling a channel whose connection ended learns why, instead
  // of an empty answer at once, again and again.
  if (got.status == ReceiveStatus::Ended) return raise_camera_error(channel.end());
  if (got.status != ReceiveStatus::Received) Py_RETURN_NONE;
  return to_event(channel, std::move(got.event));
}

// The next event of an iteration, in slices that see Ctrl-C and close();
// nullptr without an exception at the end, which comes with the
// connection's end too (after the events it delivered).
PyObject* next(PyObject* self) {
  const camera::EventChannel& channel = native(self);
  const std::optional<EventReceiver> events = channel.receiver();
  if (!events) return nullptr;
  for (;;) {
    gige::EventReceiveResult got;
    {
      ReleasedGil gil;
      got = events->receive_until(EventReceiver::Clock::now() + util::WAIT_SLICE);
    }
    if (got.status == ReceiveStatus::Received) return to_event(channel, std::move(got.event));
    if (PyErr_CheckSignals() < 0) return nullptr;
    if (got.status == ReceiveStatus::Ended || channel.closed_by_owner()) return nullptr;
  }
}

PyObject* close(PyObject* self) {
  unbox<Channel>(self)->close();
  Py_RETURN_NONE;
}

PyObject* close_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("EventChannel.close", nargs, kw)) return nullptr;
  return close(self);
}

PyObject* is_closed_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("EventChannel.is_closed", nargs, kw)) return nullptr;
  return PyBool_FromLong(native(self).is_closed());
}

PyObject* dropped_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("EventChannel.dropped", nargs, kw)) return nullptr;
  return PyLong_FromUnsignedLongLong(native(self).dropped());
}

PyObject* enter_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("__enter__", nargs, kw)) return nullptr;
  return Py_NewRef(self);
}

PyObject* exit_method(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
  const Ref closed = Ref::steal(close(self));
  if (!closed) return nullptr;
  Py_RETURN_FALSE;
}

PyObject* repr(PyObject* self) {
  const camera::EventChannel& channel = native(self);
  return PyUnicode_FromFormat("EventChannel(closed=%s, dropped=%llu)", channel.is_closed() ? "True" : "False",
                              static_cast<unsigned long long>(channel.dropped()));
}

// Releasing the receiver touches no Python object and waits for nothing.
void dealloc(PyObject* self) { boxed_dealloc<Channel>(self); }

#define CORVANTIC_METHOD(name, signature, doc)                                                                    \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<name##_method>)),                    \
   METH_FASTCALL | METH_KEYWORDS, #name signature "\n--\n\n" doc}

PyMethodDef METHODS[] = {
    CORVANTIC_METHOD(wait_for, "($self, timeout)",
                     "The next event, waiting up to `timeout` seconds; `None` when none came\n"
                     "or once the channel is closed. When the camera's connection has ended\n"
                     "(control lost, or a disconnect) and every event it delivered was taken,\n"
                     "raises `CameraError` saying why; a reconnect carries the channel over\n"
                     "to the new connection."),
    CORVANTIC_METHOD(close, "($self)",
                     "Stop receiving events; those not taken yet are dropped. Idempotent."),
    CORVANTIC_METHOD(is_closed, "($self)",
                     "Whether the channel was closed, or ended by the camera's disconnect."),
    CORVANTIC_METHOD(dropped, "($self)",
                     "Events this channel could not take because its buffer was full."),
    {"__enter__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<enter_method>)),
     METH_FASTCALL | METH_KEYWORDS, "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<exit_method>)),
     METH_FASTCALL | METH_KEYWORDS, "__exit__($self, *_args)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};
#undef CORVANTIC_METHOD

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A subscription to a camera's device events (exposure end, missed\n"
                    "triggers...), made by `Camera.events()`. It sees every event that\n"
                    "arrives after it was made, each once, as other channels do; when its\n"
                    "bounded buffer is full further events are dropped for it and counted\n"
                    "in `dropped()`. Iterating waits for events until the connection ends;\n"
                    "a reconnect carries the channel over to the new connection, a\n"
                    "disconnect ends it. Use as a context manager or call `close()`.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(guarded<dealloc>)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<repr>)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(guarded<next>)},
    {Py_tp_methods, METHODS},
    {0, nullptr},
};

PyType_Spec SPEC = {"corvantic.EventChannel", sizeof(Boxed<Channel>), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, SLOTS};

}  // namespace

PyObject* event_channel_type() {
  static std::atomic<PyObject*> slot{nullptr};
  return create_once(slot, [] { return PyType_FromSpec(&SPEC); });
}

PyObject* make_event_channel(std::shared_ptr<camera::EventChannel> channel) {
  return box(event_channel_type(), std::move(channel));
}

}  // namespace corvantic::py
