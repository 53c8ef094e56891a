// RegistrationQueue: carries new subscriptions and the stop message from any
// thread to a stream worker, and wakes the worker's poller for them.
//
// Senders (subscribe, the channel's close) push and wake; the worker takes
// everything pending without waiting, each side holding the mutex for one
// push or one swap. Once the worker has ended it closes the queue: what is
// pending or sent later is released at once, so a late subscriber's receiver
// sees the end instead of waiting for frames that will not come.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "gige/stream/frame_subscription.hpp"
#include "net/poller.hpp"
#include "util/mutex.hpp"

namespace corvantic::gige::stream {

// One message to the worker: a new subscription, or the stop message.
struct Registration {
  std::optional<FrameSender> subscription;  // empty: the stop message

  [[nodiscard]] static Registration stop() { return Registration{}; }
  [[nodiscard]] bool is_stop() const { return !subscription.has_value(); }
};

class RegistrationQueue {
 public:
  // `waker` wakes the worker's poller; a default Waker wakes nothing (the
  // loop tests drive the worker's steps themselves).
  explicit RegistrationQueue(net::Waker waker) : waker_(std::move(waker)) {}
  RegistrationQueue(const RegistrationQueue&) = delete;
  RegistrationQueue& operator=(const RegistrationQueue&) = delete;

  // Queues `registration` and wakes the worker. False when the worker has
  // already ended; the registration is then released (a subscription ends).
  bool send(Registration registration) EXCLUDES(mutex_);

  // Wakes the worker's poller. A failed wake only delays the worker to its
  // next poll time-out, so callers may ignore it.
  void wake() const;
  // The worker's side of wake(): clears the waker once its poller reported it.
  void drain_wakes() const { waker_.drain(); }

  // Moves everything pending into `into` (cleared first). Without waiting;
  // allocates nothing once `into` has held as many as ever pend at once.
  void take(std::vector<Registration>& into) EXCLUDES(mutex_);

  // The worker has ended: releases what is pending and refuses later sends.
  void close() EXCLUDES(mutex_);

 private:
  net::Waker waker_;
  util::Mutex mutex_;
  std::vector<Registration> pending_ GUARDED_BY(mutex_);
  bool closed_ GUARDED_BY(mutex_) = false;
};

}  // namespace corvantic::gige::stream
