// The busy marker: which one long operation (a connect, a snap, an
// acquisition...) occupies a camera now, so that a second one is refused
// rather than queued behind it.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "util/mutex.hpp"

namespace corvantic::camera {

class BusyMarker {
 public:
  // Records `activity` (a string literal) and returns nothing, or returns
  // the activity already recorded.
  [[nodiscard]] std::optional<std::string_view> claim(std::string_view activity) EXCLUDES(mutex_) {
    util::MutexLock lock(mutex_);
    if (activity_) return activity_;
    activity_ = activity;
    return std::nullopt;
  }
  void clear() EXCLUDES(mutex_) {
    util::MutexLock lock(mutex_);
    activity_.reset();
  }
  // The activity recorded now, if any.
  [[nodiscard]] std::optional<std::string_view> activity() EXCLUDES(mutex_) {
    util::MutexLock lock(mutex_);
    return activity_;
  }

 private:
  util::Mutex mutex_;
  std::optional<std::string_view> activity_ GUARDED_BY(mutex_);
};

// A claim on the marker for the length of one call; an object that goes on
// occupying the camera after the call (an acquisition) takes it over with
// hand_over().
class BusyClaim {
 public:
  BusyClaim(std::shared_ptr<BusyMarker> marker, std::string_view activity) : marker_(std::move(marker)) {
    refused_by_ = marker_->claim(activity);
    if (refused_by_) marker_.reset();
  }
  ~BusyClaim() {
    if (marker_) marker_->clear();
  }
  BusyClaim(const BusyClaim&) = delete;
  BusyClaim& operator=(const BusyClaim&) = delete;

  // The activity that occupied the camera already; nothing once claimed.
  [[nodiscard]] std::optional<std::string_view> refused_by() const { return refused_by_; }
  // The claim for the object that keeps it; the guard then clears nothing.
  [[nodiscard]] std::shared_ptr<BusyMarker> hand_over() { return std::move(marker_); }

 private:
  std::shared_ptr<BusyMarker> marker_;
  std::optional<std::string_view> refused_by_;
};

// The claim an acquisition or snapshot session took over from the call that
// made it; the marker is cleared exactly once, by the first release().
class HeldBusyClaim {
 public:
  explicit HeldBusyClaim(std::shared_ptr<BusyMarker> marker) : marker_(std::move(marker)) {}
  void release() EXCLUDES(mutex_) {
    util::MutexLock lock(mutex_);
    if (held_) marker_->clear();
    held_ = false;
  }

 private:
  const std::shared_ptr<BusyMarker> marker_;
  util::Mutex mutex_;
  bool held_ GUARDED_BY(mutex_) = true;
};

}  // namespace corvantic::camera
