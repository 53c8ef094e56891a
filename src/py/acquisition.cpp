// The Acquisition class (a running continuous acquisition) and the
// FrameChannel class (a further subscription to its frames).
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

using gige::stream::FrameReceiver;

constexpr std::string_view STOPPED = "acquisition is stopped";

struct AcquisitionNative {
  std::shared_ptr<AcquisitionState> state;
  FrameReceiver frames;  // the built-in subscription; readable after stop
};

AcquisitionNative& native(PyObject* self) { return reinterpret_cast<Boxed<AcquisitionNative>*>(self)->value; }
const FrameReceiver& channel_frames(PyObject* self) { return unbox<FrameReceiver>(self); }

bool no_arguments(const char* function, Py_ssize_t nargs, PyObject* kwnames) {
  Arguments<0> none{};
  return parse_arguments(Signature{function, {}}, nullptr, nargs, kwnames, none);
}

// What `query` reads from the running stream under the acquisition's mutex;
// nothing once the acquisition is stopped. Python objects are made from the
// result after the lock is gone.
template <typename Query>
auto read_running(PyObject* self, Query query) -> std::optional<decltype(query(std::declval<genicam::OpenStream&>()))> {
  AcquisitionState& state = *native(self).state;
  AttachedLock lock(state.mutex);
  if (!state.stream) return std::nullopt;
  return query(*state.stream);
}

void release_unstopped(AcquisitionState& state) {
  release_unfinished(state, genicam::stop_dropped_acquisition, genicam::ACQUISITION_ABANDONED);
}

// The stream taken out by a stop: why the acquisition ended is settled now,
// so a control loss after the stop does not rewrite it.
std::optional<genicam::OpenStream> take_for_stop(AcquisitionState& state) REQUIRES(state.mutex) {
  std::optional<genicam::OpenStream> stream = state.take();
  if (stream) state.end = genicam::running_end(*stream).value_or(genicam::EndReason::Stopped);
  return stream;
}

// ---- Receiving, shared with FrameChannel.

constexpr Parameter WAIT_FOR_DEFAULTED[] = {{"timeout"}};
constexpr Parameter WAIT_FOR_REQUIRED[] = {{"timeout", true}};

PyObject* wait_for(const char* function, std::span<const Parameter> params, const FrameReceiver& frames,
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
  auto frames = read_running(self, [&](genicam::OpenStream& s) { return s.channel->subscribe(capacity); });
  if (!frames) return raise_value_error(STOPPED);
  return box(frame_channel_type(), std::move(*frames));
}

PyObject* acquisition_stats(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Acquisition.stats", nargs, kw)) return nullptr;
  const auto stats = read_running(self, [](genicam::OpenStream& s) { return s.channel->stats(); });
  if (!stats) return raise_value_error(STOPPED);
  return make_stream_stats(*stats);
}

PyObject* acquisition_reorder_window(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Acquisition.reorder_window", nargs, kw)) return nullptr;
  const auto figures = read_running(self, [](genicam::OpenStream& s) { return s.channel->reorder(); });
  if (!figures) return raise_value_error(STOPPED);
  return PyFloat_FromDouble(std::chrono::duration<double>(figures->window).count());
}

PyObject* acquisition_spurious_resend_requests(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Acquisition.spurious_resend_requests", nargs, kw)) return nullptr;
  const auto figures = read_running(self, [](genicam::OpenStream& s) { return s.channel->reorder(); });
  if (!figures) return raise_value_error(STOPPED);
  return PyLong_FromUnsignedLongLong(figures->spurious_requests);
}

PyObject* acquisition_chunk_layout_errors(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Acquisition.chunk_layout_errors", nargs, kw)) return nullptr;
  const auto errors = read_running(self, [](genicam::OpenStream& s) { return s.channel->chunk_layout_errors(); });
  if (!errors) return raise_value_error(STOPPED);
  return PyLong_FromUnsignedLongLong(*errors);
}

PyObject* acquisition_packet_size(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Acquisition.packet_size", nargs, kw)) return nullptr;
  const auto size = read_running(self, [](genicam::OpenStream& s) { return s.channel->packet_size(); });
  if (!size) return raise_value_error(STOPPED);
  return PyLong_FromLong(*size);
}

PyObject* acquisition_local_addr(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Acquisition.local_addr", nargs, kw)) return nullptr;
  const auto text = read_running(self, [](genicam::OpenStream& s) { return s.channel->local_address().to_string(); });
  if (!text) return raise_value_error(STOPPED);
  return PyUnicode_FromStringAndSize(text->data(), std::ssize(*text));
}

bool is_stopped(PyObject* self) {
  AcquisitionState& state = *native(self).state;
  AttachedLock lock(state.mutex);
  return !state.stream;
}

PyObject* acquisition_is_stopped(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Acquisition.is_stopped", nargs, kw)) return nullptr;
  return PyBool_FromLong(is_stopped(self));
}

PyObject* acquisition_end_reason(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_arguments("Acquisition.end_reason", nargs, kw)) return nullptr;
  std::optional<genicam::EndReason> end;
  {
    AcquisitionState& state = *native(self).state;
    AttachedLock lock(state.mutex);
    end = state.stream ? genicam::running_end(*state.stream) : state.end;
  }
  if (!end) Py_RETURN_NONE;
  const std::string_view text = genicam::end_reason_text(*end);
  return PyUnicode_FromStringAndSize(text.data(), std::ssize(text));
}

// Session lock, then the acquisition's mutex: the stream is taken out (the
// acquisition is stopped from here, whatever follows), the camera stopped,
// and the busy claim released before the session lock. Refused on a thread
// that holds the session lock already (a stopped acquisition's stop from a
// signal handler during a snap), as it would wait for itself.
PyObject* stop(PyObject* self) {
  AcquisitionState& state = *native(self).state;
  if (refuse_reentry(*state.session, state.claim.marker())) return nullptr;
  genicam::GenicamResult<void> stopped;
  {
    ReleasedGil gil;
    util::TimedMutexLock session_lock(state.session->mutex);
    {
      util::MutexLock lock(state.mutex);
      if (auto stream = take_for_stop(state)) {
        stopped = genicam::stop_acquisition(state.session->driver, std::move(*stream));
      }
    }
    state.claim.release();
  }
  if (!stopped) return raise_genicam_error(stopped.error());
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

void acquisition_dealloc(PyObject* self) {
  AcquisitionNative acquisition = std::move(native(self));
  boxed_dealloc<AcquisitionNative>(self);
  if (interpreter_finalizing()) {
    release_unstopped(*acquisition.state);
    return;
  }
  ReleasedGil gil;
  release_unstopped(*acquisition.state);
  acquisition.state.reset();
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
void channel_dealloc(PyObject* self) { boxed_dealloc<FrameReceiver>(self); }

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

PyType_Spec CHANNEL_SPEC = {"corvantic.FrameChannel", sizeof(Boxed<FrameReceiver>), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                            CHANNEL_SLOTS};

}  // namespace

PyObject* make_acquisition(std::shared_ptr<CameraSession> session, genicam::OpenStream stream,
                           std::shared_ptr<BusyMarker> busy) {
  FrameReceiver frames = stream.frames;
  auto state = std::make_shared<AcquisitionState>(std::move(session), std::move(stream), std::move(busy));
  PyObject* object = box(acquisition_type(), AcquisitionNative{state, std::move(frames)});
  if (object == nullptr) {
    ReleasedGil gil;
    release_unstopped(*state);
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
