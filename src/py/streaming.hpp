// The native state behind Acquisition and SnapshotSession: the camera's
// session, the open stream (absent once stopped or closed) and the busy
// claim the object took over from the call that made it.
//
// Lock order: camera session lock -> `mutex` -> the claim's lock.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <utility>

#include "genicam/acquisition.hpp"
#include "py/camera_state.hpp"
#include "util/mutex.hpp"

namespace corvantic::py {

template <typename Stream>
struct StreamingState {
  StreamingState(std::shared_ptr<CameraSession> camera, Stream open, std::shared_ptr<BusyMarker> busy)
      : session(std::move(camera)), stream(std::move(open)), claim(std::move(busy)) {}

  // Takes the stream out: the object counts as stopped (closed) from here on.
  [[nodiscard]] std::optional<Stream> take() REQUIRES(mutex) { return std::exchange(stream, std::nullopt); }

  const std::shared_ptr<CameraSession> session;
  util::Mutex mutex;
  std::optional<Stream> stream GUARDED_BY(mutex);
  HeldBusyClaim claim;
};

// An acquisition also keeps why it ended once its stream is gone.
struct AcquisitionState : StreamingState<genicam::OpenStream> {
  using StreamingState::StreamingState;
  std::optional<genicam::EndReason> end GUARDED_BY(mutex);
};
using SnapshotState = StreamingState<genicam::SnapshotStream>;

[[nodiscard]] inline genicam::OpenStream& open_stream(genicam::OpenStream& stream) { return stream; }
[[nodiscard]] inline genicam::OpenStream& open_stream(genicam::SnapshotStream& session) { return session.stream; }

// How long the release of an object nobody stopped or closed waits for a
// camera session lock that another thread holds.
inline constexpr std::chrono::milliseconds RELEASE_LOCK_WAIT{200};

// The release of an object nobody stopped or closed: the stream is taken
// out, and `finish` (the stop or close sequence) runs only if the camera
// session lock comes within RELEASE_LOCK_WAIT; otherwise only the stream
// worker stops, with `abandoned` logged. The busy claim is released either
// way. Runs detached from the interpreter.
template <typename Stream, typename Finish>
void release_unfinished(StreamingState<Stream>& state, Finish finish, const char* abandoned) {
  std::optional<Stream> stream;
  {
    util::MutexLock lock(state.mutex);
    stream = state.take();
  }
  if (stream) {
    if (state.session->mutex.try_lock_for(RELEASE_LOCK_WAIT)) {
      util::TimedMutexLock session_lock(state.session->mutex, std::adopt_lock);
      finish(state.session->driver, std::move(*stream));
    } else {
      genicam::abandon_stream(std::move(open_stream(*stream)), abandoned);
    }
  }
  state.claim.release();
}

// New Python objects over a stream just set up; on failure (nullptr, an
// exception set) the stream is released as an unstopped object would be.
[[nodiscard]] PyObject* make_acquisition(std::shared_ptr<CameraSession> session, genicam::OpenStream stream,
                                         std::shared_ptr<BusyMarker> busy);
[[nodiscard]] PyObject* make_snapshot_session(std::shared_ptr<CameraSession> session, genicam::SnapshotStream stream,
                                              std::shared_ptr<BusyMarker> busy);

[[nodiscard]] PyObject* acquisition_type();
[[nodiscard]] PyObject* snapshot_session_type();
[[nodiscard]] PyObject* frame_channel_type();

}  // namespace corvantic::py
