// The native state behind a Python Camera, shared with the acquisition and
// snapshot objects made from it.
//
// Lock order: busy marker (briefly, to claim) -> camera session lock.
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
  util::Mutex mutex;  // the camera session lock
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

 private:
  util::Mutex mutex_;
  std::optional<std::string_view> activity_ GUARDED_BY(mutex_);
};

}  // namespace corvantic::py
