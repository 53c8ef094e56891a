// What Acquisition and FrameChannel share: the receiving methods over a
// frame queue, and the detached wait that still runs signal handlers.
#pragma once

#include <Python.h>

#include <chrono>

#include "camera/acquisition.hpp"
#include "gige/stream/frame_subscription.hpp"
#include "py/ref.hpp"

namespace corvantic::py {

// Detaches the thread state for the lifetime of the guard, like ReleasedGil,
// and offers interrupted() as the interruption check of a sliced wait: it
// re-attaches for a moment and runs the interpreter's pending signal
// handlers. When one raises (KeyboardInterrupt on Ctrl-C), the exception
// stays set for the caller and the wait ends; the check then says so to
// every later asker without running handlers again, so that each step of a
// longer operation (a reconnect's connect, then its description load) stops.
//
// The check may run while the caller holds the camera session lock. That
// cannot deadlock: no other thread ever waits for the session lock while
// attached (every method detaches before it blocks on it), and a handler on
// this thread that calls the same camera is refused at once (camera/camera.hpp).
class DetachedWait {
 public:
  DetachedWait() : state_(PyEval_SaveThread()) {}
  ~DetachedWait() noexcept(false) { attach_thread(state_); }
  DetachedWait(const DetachedWait&) = delete;
  DetachedWait& operator=(const DetachedWait&) = delete;

  // Stays true once a handler raised, without running handlers again over
  // the exception it left.
  [[nodiscard]] bool interrupted() {
    if (interrupted_) return true;
    attach_thread(state_);
    interrupted_ = PyErr_CheckSignals() < 0;
    state_ = PyEval_SaveThread();
    return interrupted_;
  }
  [[nodiscard]] gige::stream::InterruptCheck check() {
    return [this] { return interrupted(); };
  }
  // Whether a signal handler raised; read after the guard is gone.
  [[nodiscard]] bool was_interrupted() const { return interrupted_; }

 private:
  PyThreadState* state_;
  bool interrupted_ = false;
};

// The methods, each taking its frame source; the Python argument parsing is the
// caller's. Each returns a new reference or nullptr with an exception set.

// A Frame, or None at the deadline, when the queue has ended or when control
// of the camera is lost (FrameSource::receive_until).
[[nodiscard]] PyObject* wait_for_frame(const camera::FrameSource& frames, std::chrono::nanoseconds timeout);
[[nodiscard]] PyObject* try_receive_frame(const camera::FrameSource& frames);
[[nodiscard]] PyObject* receive_all_frames(const camera::FrameSource& frames);
[[nodiscard]] PyObject* clear_frames(const camera::FrameSource& frames);
// The next frame of an iteration: nullptr without an exception at the end,
// which comes once the queue has ended or control of the camera is lost.
[[nodiscard]] PyObject* next_frame(const camera::FrameSource& frames);

}  // namespace corvantic::py
