// The snap in flight on a camera, which another thread may end. Snaps run one
// at a time, each holding the session lock while it waits for its frame, so
// a request to end one cannot take that lock: it goes through this object's
// own mutex, taken briefly and last in the camera's lock order, and the snap
// sees it between the slices of its wait.
#pragma once

#include <utility>

#include "camera/result.hpp"
#include "genicam/frame_chunks.hpp"
#include "util/interrupt.hpp"
#include "util/mutex.hpp"

namespace corvantic::camera {

class SnapCancel {
 public:
  // Runs `snap(check)` as the snap in flight: `check` says true once
  // cancel() was called, and otherwise asks `interrupted`. A snap so ended
  // without its frame fails with the snap-cancelled error in place of the
  // snap time-out; any other outcome stands.
  template <typename Snap>
  [[nodiscard]] GenicamResult<genicam::FrameWithChunks> run(const util::InterruptCheck& interrupted, Snap&& snap)
      EXCLUDES(mutex_) {
    set_in_flight(true);
    GenicamResult<genicam::FrameWithChunks> result = std::forward<Snap>(snap)(
        util::InterruptCheck([&] { return cancelled() || (interrupted && interrupted()); }));
    const bool was_cancelled = set_in_flight(false);
    if (!result && was_cancelled && result.error().kind() == GenicamError::Kind::SnapTimeout) {
      return std::unexpected(GenicamError::snap_cancelled());
    }
    return result;
  }

  // Asks the snap in flight to end; true when there was one, false (nothing
  // done) when none was.
  bool cancel() EXCLUDES(mutex_) {
    util::MutexLock lock(mutex_);
    cancelled_ = in_flight_;
    return in_flight_;
  }

 private:
  [[nodiscard]] bool cancelled() EXCLUDES(mutex_) {
    util::MutexLock lock(mutex_);
    return cancelled_;
  }
  // Starts or ends a snap, with no cancel request; returns whether the one
  // ending now was asked to end.
  bool set_in_flight(bool in_flight) EXCLUDES(mutex_) {
    util::MutexLock lock(mutex_);
    in_flight_ = in_flight;
    return std::exchange(cancelled_, false);
  }

  util::Mutex mutex_;
  bool in_flight_ GUARDED_BY(mutex_) = false;
  bool cancelled_ GUARDED_BY(mutex_) = false;
};

}  // namespace corvantic::camera
