// The Acquisition class (a running continuous acquisition) and the
// FrameChannel class (a further subscription to its frames).
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

using camera::FrameSource;

constexpr std::string_view STOPPED = "acquisition is stopped";

struct AcquisitionNative {
  std::shared_ptr<camera::Acquisition> acquisition;
  FrameSource frames;  // the built-in subscription; readable after stop
};

AcquisitionNative& native(PyObject* self) { return reinterpret_cast<Boxed<AcquisitionNative>*>(self)->value; }
const FrameSource& channel_frames(PyObject* self) { return unbox<FrameSource>(self); }

bool no_arguments(const char* function, Py_ssize_t nargs, PyObject* kwnames) {
  Arguments<0> none{};
  return parse_arguments(Signature{function, {}}, nullptr, nargs, kwnames, none);
}

// Runs `call` on the acquisition with the interpreter lock released: the
// acquisition's lock is held for the length of a stop.
template <typename Call>
auto released(PyObject* self, Call call) {
  std::shared_ptr<camera::Acquisition> acquisition = native(self).acquisition;
  ReleasedGil gil;
  return call(*acquisition);
}

// A query's value converted by `convert`, or the failure raised.
template <typename T, typename Convert>
PyObject* converted(const camera::Result<T>& result, Convert convert) {
  if (!result) return raise_failure(result.error(), STOPPED);
  return convert(*result);
}

// ---- Receiving, shared with FrameChannel.

constexpr Parameter WAIT_FOR_DEFAULTED[] = {{"timeout"}};
constexpr Parameter WAIT_FOR_REQUIRED[] = {{"timeout", true}};

PyObject* wait_for(const char* function, std::span<const Parameter> params, const FrameSource& frames,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  Arguments<1> a{};
  std::chrono::nanoseconds timeout = std::chrono::seconds(1);
  if (!parse_arguments(Signature{function, params}, args, nargs, kw, a) || !convert_seconds(a[0], "timeout", timeout)) {
    return nullptr;
  }
  return wait_for_frame(frames, timeout);
}

// ---- Acquisition methods.

PyObject* acquisition_wait_for(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return wait_for("Acquisition.wait_for", WAIT_FOR_DEFAULTED, native(self).frames, args, nargs, kw);
}
PyObject* acquisition_try_recv(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Acquisition.try_recv", nargs, kw)) return nullptr;
  return try_receive_frame(native(self).frames);
}
PyObject* acquisition_recv_all(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Acquisition.recv_all", nargs, kw)) return nullptr;
  return receive_all_frames(native(self).frames);
}
PyObject* acquisition_clear(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Acquisition.clear", nargs, kw)) return nullptr;
  return clear_frames(native(self).frames);
}

constexpr Parameter SUBSCRIBE_PARAMETERS[] = {{"capacity"}};

PyObject* acquisition_subscribe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  Arguments<1> a{};
  std::size_t capacity = 16;
  if (!parse_arguments(Signature{"Acquisition.subscribe", SUBSCRIBE_PARAMETERS}, args, nargs, kw, a) ||
      !convert_unsigned(a[0], "capacity", capacity)) {
    return nullptr;
  }
  auto frames = released(self, [&](camera::Acquisition& a) { return a.subscribe(capacity); });
  if (!frames) return raise_failure(frames.error(), STOPPED);
  return box(frame_channel_type(), std::move(*frames));
}

PyObject* acquisition_stats(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Acquisition.stats", nargs, kw)) return nullptr;
  return converted(released(self, [](camera::Acquisition& a) { return a.stats(); }),
                   [](const gige::stream::StreamStats& stats) { return make_stream_stats(stats); });
}

PyObject* acquisition_reorder_window(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Acquisition.reorder_window", nargs, kw)) return nullptr;
  return converted(released(self, [](camera::Acquisition& a) { return a.reorder(); }),
                   [](const gige::stream::ReorderFigures& figures) {
                     return PyFloat_FromDouble(std::chrono::duration<double>(figures.window).count());
                   });
}

PyObject* acquisition_spurious_resend_requests(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Acquisition.spurious_resend_requests", nargs, kw)) return nullptr;
  return converted(released(self, [](camera::Acquisition& a) { return a.reorder(); }),
                   [](const gige::stream::ReorderFigures& figures) {
                     return PyLong_FromUnsignedLongLong(figures.spurious_requests);
                   });
}

PyObject* acquisition_chunk_layout_errors(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Acquisition.chunk_layout_errors", nargs, kw)) return nullptr;
  return converted(released(self, [](camera::Acquisition& a) { return a.chunk_layout_errors(); }),
                   [](std::uint64_t errors) { return PyLong_FromUnsignedLongLong(errors); });
}

PyObject* acquisition_packet_size(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Acquisition.packet_size", nargs, kw)) return nullptr;
  return converted(released(self, [](camera::Acquisition& a) { return a.packet_size(); }),
                   [](std::uint16_t size) { return PyLong_FromLong(size); });
}

PyObject* acquisition_local_addr(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Acquisition.local_addr", nargs, kw)) return nullptr;
  return converted(released(self, [](camera::Acquisition& a) { return a.local_address(); }),
                   [](const net::SocketAddress& address) {
                     const std::string text = address.to_string();
                     return PyUnicode_FromStringAndSize(text.data(), std::ssize(text));
                   });
}

bool is_stopped(PyObject* self) {
  return released(self, [](camera::Acquisition& a) { return a.is_stopped(); });
}

PyObject* acquisition_is_stopped(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Acquisition.is_stopped", nargs, kw)) return nullptr;
  return PyBool_FromLong(is_stopped(self));
}

PyObject* acquisition_end_reason(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Acquisition.end_reason", nargs, kw)) return nullptr;
  const std::optional<camera::EndReason> end = released(self, [](camera::Acquisition& a) { return a.end_reason(); });
  if (!end) Py_RETURN_NONE;
  const std::string_view text = camera::end_reason_text(*end);
  return PyUnicode_FromStringAndSize(text.data(), std::ssize(text));
}

// Refused on a thread that holds the camera already (a signal handler
// during a snap), as it would wait for itself.
PyObject* stop(PyObject* self) {
  const camera::Result<void> stopped = released(self, [](camera::Acquisition& a) { return a.stop(); });
  if (!stopped) return raise_failure(stopped.error(), STOPPED);
  Py_RETURN_NONE;
}

PyObject* acquisition_stop(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Acquisition.stop", nargs, kw)) return nullptr;
  return stop(self);
}

PyObject* enter(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("__enter__", nargs, kw)) return nullptr;
  return Py_NewRef(self);
}

PyObject* acquisition_exit(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
  Ref stopped = Ref::steal(stop(self));
  if (!stopped) return nullptr;
  Py_RETURN_FALSE;
}

PyObject* acquisition_next(PyObject* self) { return next_frame(native(self).frames); }

PyObject* acquisition_repr(PyObject* self) {
  return PyUnicode_FromFormat("Acquisition(stopped=%s)", is_stopped(self) ? "True" : "False");
}

// The last holder's release stops an acquisition nobody stopped, which
// waits for the device, so the GIL is released for it (except while the
// interpreter shuts down).
void acquisition_dealloc(PyObject* self) {
  AcquisitionNative acquisition = std::move(native(self));
  boxed_dealloc<AcquisitionNative>(self);
  if (interpreter_finalizing()) return;
  ReleasedGil gil;
  acquisition.acquisition.reset();
}

#define CORVANTIC_METHOD(name, function, signature, doc)                                                           \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<function>)), METH_FASTCALL | METH_KEYWORDS, \
   #name signature "\n--\n\n" doc}

PyMethodDef ACQUISITION_METHODS[] = {
    CORVANTIC_METHOD(wait_for, acquisition_wait_for, "($self, timeout=1.0)", ""),
    CORVANTIC_METHOD(try_recv, acquisition_try_recv, "($self)", ""),
    CORVANTIC_METHOD(recv_all, acquisition_recv_all, "($self)", ""),
    CORVANTIC_METHOD(clear, acquisition_clear, "($self)", ""),
    CORVANTIC_METHOD(subscribe, acquisition_subscribe, "($self, capacity=16)",
                     "An additional subscription with its own buffer; unlike the built-in\n"
                     "one it only sees frames completed after this call."),
    CORVANTIC_METHOD(stats, acquisition_stats, "($self)", ""),
    CORVANTIC_METHOD(packet_size, acquisition_packet_size, "($self)", ""),
    CORVANTIC_METHOD(local_addr, acquisition_local_addr, "($self)", ""),
    CORVANTIC_METHOD(is_stopped, acquisition_is_stopped, "($self)", ""),
    CORVANTIC_METHOD(reorder_window, acquisition_reorder_window, "($self)",
                     "Seconds a missing packet now waits before it is asked for again; it\n"
                     "starts at 0.001 and follows the reordering the stream shows."),
    CORVANTIC_METHOD(spurious_resend_requests, acquisition_spurious_resend_requests, "($self)",
                     "Resend requests so far for packets that were only late: both the\n"
                     "packet and its resent copy arrived."),
    CORVANTIC_METHOD(chunk_layout_errors, acquisition_chunk_layout_errors, "($self)",
                     "Frames that announced chunk data whose chunk layout did not parse\n"
                     "(a length past the payload, too many chunks): each closed\n"
                     "PayloadUnsupported and counted as a failed frame."),
    CORVANTIC_METHOD(end_reason, acquisition_end_reason, "($self)",
                     "Why the acquisition ended: None while it runs, \"stopped\" once stop()\n"
                     "(or leaving its with block) ended it, \"control lost\" once control of\n"
                     "the camera was lost while it ran (the camera restarted or went away;\n"
                     "it stays so after stop()). After a control loss the acquisition\n"
                     "receives nothing more, and stop() closes its stream without sending\n"
                     "anything and raises the loss."),
    CORVANTIC_METHOD(stop, acquisition_stop, "($self)",
                     "Stop the camera, unlock transport parameters, and close the stream\n"
                     "channel. Idempotent; frames already buffered stay readable."),
    CORVANTIC_METHOD(__enter__, enter, "($self)", ""),
    CORVANTIC_METHOD(__exit__, acquisition_exit, "($self, *_args)", ""),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot ACQUISITION_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A running continuous acquisition. The built-in subscription is created\n"
                    "before the camera starts, so even the first frame is delivered. Use as a\n"
                    "context manager or call `stop()`; buffered frames stay readable after.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(guarded<acquisition_dealloc>)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<acquisition_repr>)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(guarded<acquisition_next>)},
    {Py_tp_methods, ACQUISITION_METHODS},
    {0, nullptr},
};

PyType_Spec ACQUISITION_SPEC = {"corvantic.Acquisition", sizeof(Boxed<AcquisitionNative>), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                ACQUISITION_SLOTS};

// ---- FrameChannel: only the receiving end of its own queue, no lock.

PyObject* channel_wait_for(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return wait_for("FrameChannel.wait_for", WAIT_FOR_REQUIRED, channel_frames(self), args, nargs, kw);
}
PyObject* channel_try_recv(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("FrameChannel.try_recv", nargs, kw)) return nullptr;
  return try_receive_frame(channel_frames(self));
}
PyObject* channel_recv_all(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("FrameChannel.recv_all", nargs, kw)) return nullptr;
  return receive_all_frames(channel_frames(self));
}
PyObject* channel_clear(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("FrameChannel.clear", nargs, kw)) return nullptr;
  return clear_frames(channel_frames(self));
}
PyObject* channel_next(PyObject* self) { return next_frame(channel_frames(self)); }

// Releasing the receiver may release queued frames, which only touches the
// buffer pool: no Python object and no wait.
void channel_dealloc(PyObject* self) { boxed_dealloc<FrameSource>(self); }

PyMethodDef CHANNEL_METHODS[] = {
    CORVANTIC_METHOD(wait_for, channel_wait_for, "($self, timeout)", ""),
    CORVANTIC_METHOD(try_recv, channel_try_recv, "($self)", ""),
    CORVANTIC_METHOD(recv_all, channel_recv_all, "($self)", ""),
    CORVANTIC_METHOD(clear, channel_clear, "($self)", ""),
    {nullptr, nullptr, 0, nullptr},
};
#undef CORVANTIC_METHOD

PyType_Slot CHANNEL_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A clone-able receiver for completed frames. Each subscription has its own\n"
                    "bounded buffer; when it is full new frames are dropped for that\n"
                    "subscriber and counted in [`StreamStats::frames_dropped`].")},
    {Py_tp_dealloc, reinterpret_cast<void*>(guarded<channel_dealloc>)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(guarded<channel_next>)},
    {Py_tp_methods, CHANNEL_METHODS},
    {0, nullptr},
};

PyType_Spec CHANNEL_SPEC = {"corvantic.FrameChannel", sizeof(Boxed<FrameSource>), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                            CHANNEL_SLOTS};

}  // namespace

PyObject* make_acquisition(std::shared_ptr<camera::Acquisition> acquisition) {
  FrameSource frames = acquisition->frames();
  PyObject* object = box(acquisition_type(), AcquisitionNative{acquisition, std::move(frames)});
  if (object == nullptr) {
    ReleasedGil gil;
    acquisition.reset();
  }
  return object;
}

PyObject* acquisition_type() {
  static std::atomic<PyObject*> slot{nullptr};
  return create_once(slot, [] { return PyType_FromSpec(&ACQUISITION_SPEC); });
}

PyObject* frame_channel_type() {
  static std::atomic<PyObject*> slot{nullptr};
  return create_once(slot, [] { return PyType_FromSpec(&CHANNEL_SPEC); });
}

}  // namespace corvantic::py
