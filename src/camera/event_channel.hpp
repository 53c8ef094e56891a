// EventChannel: one subscription to a camera's device events that its owner
// can close. The receiver goes at close(), behind a mutex that is held only
// for a moment and never while waiting: a wait runs on a copy of the
// receiver (receiver()) and asks is_closed() between its slices.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "genicam/events.hpp"
#include "util/mutex.hpp"

namespace corvantic::camera {

class EventChannel {
 public:
  explicit EventChannel(genicam::EventStream stream)
      : events_(std::move(stream.events)), catalog_(std::move(stream.catalog)) {}

  // The receiver to wait on; none once closed.
  [[nodiscard]] std::optional<gige::EventReceiver> receiver() const EXCLUDES(mutex_) {
    util::MutexLock lock(mutex_);
    return events_;
  }
  [[nodiscard]] bool is_closed() const EXCLUDES(mutex_) {
    util::MutexLock lock(mutex_);
    return !events_;
  }
  // Events not taken yet are dropped; later calls do nothing.
  void close() EXCLUDES(mutex_) {
    util::MutexLock lock(mutex_);
    if (!events_) return;
    dropped_at_close_ = events_->dropped();
    events_.reset();
  }
  // Events this channel could not take because its buffer was full.
  [[nodiscard]] std::uint64_t dropped() const EXCLUDES(mutex_) {
    util::MutexLock lock(mutex_);
    return events_ ? events_->dropped() : dropped_at_close_;
  }
  // What the camera's description says of its events.
  [[nodiscard]] const genicam::EventCatalog& catalog() const { return *catalog_; }

 private:
  mutable util::Mutex mutex_;
  std::optional<gige::EventReceiver> events_ GUARDED_BY(mutex_);
  std::uint64_t dropped_at_close_ GUARDED_BY(mutex_) = 0;
  const std::shared_ptr<const genicam::EventCatalog> catalog_;
};

}  // namespace corvantic::camera
