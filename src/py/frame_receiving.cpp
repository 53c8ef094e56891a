#include "py/frame_receiving.hpp"

#include <optional>
#include <utility>

#include "py/ref.hpp"
#include "py/value_types.hpp"
#include "util/duration.hpp"

namespace corvantic::py {

using gige::stream::ReceiveResult;
using gige::stream::ReceiveStatus;

PyObject* wait_for_frame(const camera::FrameSource& frames, std::chrono::nanoseconds timeout) {
  // A frame already queued is taken as try_recv takes it, without detaching
  // from the interpreter: a reader that keeps up pays for no wait at all.
  if (std::optional<gige::stream::Frame> queued = frames.receiver.try_receive())
    return make_frame(frames.with_chunks(std::move(*queued)));
  using Clock = gige::stream::FrameReceiver::Clock;
  const auto deadline = util::saturating_add<Clock>(Clock::now(), timeout);
  ReceiveResult got;
  bool interrupted = false;
  {
    DetachedWait wait;
    got = frames.receive_until(deadline, wait.check());
    interrupted = wait.was_interrupted();
  }
  if (interrupted) return nullptr;
  if (got.status != ReceiveStatus::Received) Py_RETURN_NONE;
  return make_frame(frames.with_chunks(std::move(got.frame)));
}

PyObject* try_receive_frame(const camera::FrameSource& frames) {
  std::optional<gige::stream::Frame> frame = frames.receiver.try_receive();
  if (!frame) Py_RETURN_NONE;
  return make_frame(frames.with_chunks(std::move(*frame)));
}

PyObject* receive_all_frames(const camera::FrameSource& frames) {
  std::vector<gige::stream::Frame> taken = frames.receiver.take_all();
  Ref list = Ref::steal(PyList_New(std::ssize(taken)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < taken.size(); ++i) {
    PyObject* frame = make_frame(frames.with_chunks(std::move(taken[i])));
    if (frame == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), frame);
  }
  return list.release();
}

PyObject* clear_frames(const camera::FrameSource& frames) {
  frames.receiver.discard_all();
  Py_RETURN_NONE;
}

PyObject* next_frame(const camera::FrameSource& frames) {
  for (;;) {
    ReceiveResult got;
    {
      ReleasedGil gil;
      got = frames.receiver.receive_for(gige::stream::RECEIVE_SLICE);
    }
    if (got.status == ReceiveStatus::Received) return make_frame(frames.with_chunks(std::move(got.frame)));
    if (PyErr_CheckSignals() < 0) return nullptr;
    if (got.status == ReceiveStatus::Ended || frames.control_lost()) return nullptr;
  }
}

}  // namespace corvantic::py
