// EventChannel: one subscription to a camera's device events that its owner
// can close. The receiver goes at close(), behind a mutex that is held only
// for a moment and never while waiting: a wait runs on a copy of the
// receiver (receiver()) and asks is_closed() between its slices.
//
// The channel belongs to the camera rather than to one connection: the
// camera carries it over to the connection a reconnect makes (the queue is
// fed by the new connection's worker), and ends it at disconnect. Until
// then, a connection that ended (control lost) ends the queue, and end()
// says why, for the reader to see instead of an empty answer.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "genicam/events.hpp"
#include "gige/camera_error.hpp"
#include "gige/link_stats.hpp"
#include "util/mutex.hpp"

namespace corvantic::camera {

class EventChannel {
 public:
  // `link`: the counters of the connection the subscription was made on.
  EventChannel(genicam::EventStream stream, std::shared_ptr<const gige::SharedLinkStats> link)
      : events_(std::move(stream.events)), catalog_(std::move(stream.catalog)), link_(std::move(link)) {}

  // The receiver to wait on; none once closed by its owner.
  [[nodiscard]] std::optional<gige::EventReceiver> receiver() const EXCLUDES(mutex_) {
    util::MutexLock lock(mutex_);
    return events_;
  }
  // Closed by its owner, or ended by the camera's disconnect (whose events
  // already received stay readable).
  [[nodiscard]] bool is_closed() const EXCLUDES(mutex_) {
    util::MutexLock lock(mutex_);
    return !events_ || disconnected_;
  }
  // Closed by its owner: waits and iterations end at once.
  [[nodiscard]] bool closed_by_owner() const EXCLUDES(mutex_) {
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

  // Why the receiver's queue ended: its connection's control was lost, or
  // the connection is gone (disconnected, or replaced by a reconnect that
  // did not succeed).
  [[nodiscard]] gige::CameraError end() const EXCLUDES(mutex_) {
    util::MutexLock lock(mutex_);
    if (!disconnected_ && link_ && link_->snapshot().control_lost) return gige::CameraError::control_lost();
    return gige::CameraError::not_connected();
  }

  // The camera's side, under its session lock.

  // The receiver to carry over to a new connection; none once closed or
  // disconnected.
  [[nodiscard]] std::optional<gige::EventReceiver> to_carry_over() const EXCLUDES(mutex_) {
    util::MutexLock lock(mutex_);
    if (disconnected_) return std::nullopt;
    return events_;
  }
  // The queue is fed by the connection of `link` from now on.
  void carried_over(std::shared_ptr<const gige::SharedLinkStats> link) EXCLUDES(mutex_) {
    util::MutexLock lock(mutex_);
    link_.swap(link);
  }
  // The camera disconnected: no connection will feed the queue again.
  void disconnected() EXCLUDES(mutex_) {
    util::MutexLock lock(mutex_);
    disconnected_ = true;
  }

 private:
  mutable util::Mutex mutex_;
  std::optional<gige::EventReceiver> events_ GUARDED_BY(mutex_);
  std::uint64_t dropped_at_close_ GUARDED_BY(mutex_) = 0;
  const std::shared_ptr<const genicam::EventCatalog> catalog_;
  std::shared_ptr<const gige::SharedLinkStats> link_ GUARDED_BY(mutex_);
  bool disconnected_ GUARDED_BY(mutex_) = false;
};

}  // namespace corvantic::camera
