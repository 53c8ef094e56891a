// The native state behind a Python Camera, shared with the acquisition and
// snapshot objects made from it.
//
// Lock order: busy marker (briefly, to claim) -> camera session lock ->
// the streaming object's own mutex -> its held claim's mutex -> busy marker
// (briefly, to clear).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "gige/gige_driver.hpp"
#include "util/mutex.hpp"

namespace corvantic::py {

struct CameraSession {
  explicit CameraSession(gige::DriverConfig config) : driver(std::move(config)) {}
  // The camera session lock. A long operation (a snap) holds it while it
  // waits and runs signal handlers between the wait's slices; the mutex
  // knows its holder, so a handler's call on the same camera is refused
  // (locking.hpp) instead of waiting for its own thread.
  util::TimedMutex mutex;
  gige::GigeDriver driver GUARDED_BY(mutex);
};

// The one long operation that currently claims a camera.
class BusyMarker {
 public:
  // Records `activity` (a string literal) and returns nothing, or returns
  // the activity already recorded.
  [[nodiscard]] std::optional<std::string_view> claim(std::string_view activity) {
    util::MutexLock lock(mutex_);
    if (activity_) return activity_;
    activity_ = activity;
    return std::nullopt;
  }
  void clear() {
    util::MutexLock lock(mutex_);
    activity_.reset();
  }
  // The activity recorded now, if any.
  [[nodiscard]] std::optional<std::string_view> activity() {
    util::MutexLock lock(mutex_);
    return activity_;
  }

 private:
  util::Mutex mutex_;
  std::optional<std::string_view> activity_ GUARDED_BY(mutex_);
};

// The claim an Acquisition or SnapshotSession took over from the call that
// made it; the marker is cleared exactly once, by the first release().
class HeldBusyClaim {
 public:
  explicit HeldBusyClaim(std::shared_ptr<BusyMarker> busy) : busy_(std::move(busy)) {}
  void release() {
    util::MutexLock lock(mutex_);
    if (held_) busy_->clear();
    held_ = false;
  }
  // The camera's marker, which outlives the claim: it names what else
  // occupies the camera once this claim is released.
  [[nodiscard]] BusyMarker& marker() const { return *busy_; }

 private:
  const std::shared_ptr<BusyMarker> busy_;
  util::Mutex mutex_;
  bool held_ GUARDED_BY(mutex_) = true;
};

}  // namespace corvantic::py
