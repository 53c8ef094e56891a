// FrameSubscription: a bounded first-in first-out queue that carries
// delivered Frames from the stream worker to readers.
//
// The queue has two kinds of ends. FrameSender is held by the worker: a send
// never waits and never allocates, it is accepted, refused because the queue
// is full, or refused because no receiver is left (the worker then drops the
// subscription). FrameReceiver is held by readers; copies are clones sharing
// the queue, and each frame goes to exactly one receive call. Once every
// sender is gone (the worker ended), receivers take what is left and then see
// the end.
//
// Lock order: a subscription's mutex, then the buffer pool's (a frame
// released under the subscription's mutex may give its buffer back).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "gige/stream/frame.hpp"
#include "util/interrupt.hpp"
#include "util/mutex.hpp"
#include "util/subscription_results.hpp"

namespace corvantic::gige::stream {

using util::ReceiveStatus;
using util::SendResult;

struct ReceiveResult {
  ReceiveStatus status = ReceiveStatus::TimedOut;
  Frame frame;  // set when status is Received
};

struct SubscriptionEnds;

// A new queue holding up to `capacity` frames (0: every send is refused as
// full), with one sender and one receiver.
[[nodiscard]] SubscriptionEnds make_subscription(std::size_t capacity);

class FrameSubscription {
 public:
  using Clock = std::chrono::steady_clock;

  // Slots allocated when the queue is made; a larger capacity grows the ring
  // on demand (a huge capacity must not reserve memory it will never use).
  // The worker queues each frame once per subscription, so a queue never
  // holds more frames than the channel has buffers, and growth stops for
  // good once the ring has room for them all.
  static constexpr std::size_t PREALLOCATED_SLOTS_MAX = 1024;

  explicit FrameSubscription(std::size_t capacity);
  FrameSubscription(const FrameSubscription&) = delete;
  FrameSubscription& operator=(const FrameSubscription&) = delete;

  [[nodiscard]] std::size_t capacity() const { return capacity_; }
  [[nodiscard]] std::size_t size() const EXCLUDES(mutex_);

  [[nodiscard]] SendResult try_send(const Frame& frame) EXCLUDES(mutex_);

  // Waits until a frame is queued, the deadline passes or the end is seen.
  [[nodiscard]] ReceiveResult receive_until(Clock::time_point deadline) EXCLUDES(mutex_);
  [[nodiscard]] ReceiveResult receive_for(std::chrono::nanoseconds timeout) EXCLUDES(mutex_);
  [[nodiscard]] std::optional<Frame> try_receive() EXCLUDES(mutex_);
  // Every queued frame, oldest first.
  [[nodiscard]] std::vector<Frame> take_all() EXCLUDES(mutex_);
  void discard_all() EXCLUDES(mutex_);
  // Whether every sender is gone and the queue is empty.
  [[nodiscard]] bool ended() const EXCLUDES(mutex_);

 private:
  friend class FrameSender;
  friend class FrameReceiver;

  void add_sender() EXCLUDES(mutex_);
  void remove_sender() EXCLUDES(mutex_);
  void add_receiver() EXCLUDES(mutex_);
  void remove_receiver() EXCLUDES(mutex_);

  [[nodiscard]] Frame pop_locked() REQUIRES(mutex_);
  void discard_all_locked() REQUIRES(mutex_);
  void grow_locked() REQUIRES(mutex_);

  const std::size_t capacity_;
  mutable util::Mutex mutex_;
  std::condition_variable changed_;  // a frame was queued, or the last sender left
  std::vector<Frame> ring_ GUARDED_BY(mutex_);  // count_ frames from head_, wrapping
  std::size_t head_ GUARDED_BY(mutex_) = 0;
  std::size_t count_ GUARDED_BY(mutex_) = 0;
  std::size_t senders_ GUARDED_BY(mutex_) = 0;
  std::size_t receivers_ GUARDED_BY(mutex_) = 0;
};

// The worker's end. Copies are further senders of the same queue. A
// moved-from sender may only be assigned or destroyed.
class FrameSender {
 public:
  FrameSender(const FrameSender& other);
  FrameSender(FrameSender&& other) noexcept = default;
  FrameSender& operator=(FrameSender other) noexcept {
    queue_.swap(other.queue_);
    return *this;
  }
  ~FrameSender();

  // Never waits and never allocates.
  [[nodiscard]] SendResult try_send(const Frame& frame) const { return queue_->try_send(frame); }

 private:
  friend SubscriptionEnds make_subscription(std::size_t capacity);
  explicit FrameSender(std::shared_ptr<FrameSubscription> queue);

  std::shared_ptr<FrameSubscription> queue_;
};

// A reader's end. Copies are clones sharing the queue; the subscription
// lives on for the worker until the last clone is released, which also
// releases the frames still queued. A moved-from receiver may only be
// assigned or destroyed.
class FrameReceiver {
 public:
  using Clock = FrameSubscription::Clock;

  FrameReceiver(const FrameReceiver& other);
  FrameReceiver(FrameReceiver&& other) noexcept = default;
  FrameReceiver& operator=(FrameReceiver other) noexcept {
    queue_.swap(other.queue_);
    return *this;
  }
  ~FrameReceiver();

  [[nodiscard]] ReceiveResult receive_until(Clock::time_point deadline) const {
    return queue_->receive_until(deadline);
  }
  [[nodiscard]] ReceiveResult receive_for(std::chrono::nanoseconds timeout) const {
    return queue_->receive_for(timeout);
  }
  [[nodiscard]] std::optional<Frame> try_receive() const { return queue_->try_receive(); }
  [[nodiscard]] std::vector<Frame> take_all() const { return queue_->take_all(); }
  void discard_all() const { queue_->discard_all(); }
  [[nodiscard]] bool ended() const { return queue_->ended(); }
  [[nodiscard]] std::size_t size() const { return queue_->size(); }
  [[nodiscard]] std::size_t capacity() const { return queue_->capacity(); }

 private:
  friend SubscriptionEnds make_subscription(std::size_t capacity);
  explicit FrameReceiver(std::shared_ptr<FrameSubscription> queue);

  std::shared_ptr<FrameSubscription> queue_;
};

struct SubscriptionEnds {
  FrameSender sender;
  FrameReceiver receiver;
};

using InterruptCheck = util::InterruptCheck;
inline constexpr std::chrono::milliseconds RECEIVE_SLICE = util::WAIT_SLICE;

// receive_until in slices of at most RECEIVE_SLICE, asking `interrupted`
// (when set) after each slice that brought nothing, so a caller waiting for
// a long time still reacts within about a slice (to Ctrl-C, for example).
[[nodiscard]] ReceiveResult receive_until(const FrameReceiver& receiver, FrameReceiver::Clock::time_point deadline,
                                          const InterruptCheck& interrupted);

// Delivers one closed frame to every subscription, in registration order,
// without waiting: removes the subscriptions whose receivers are all gone
// (keeping the others' order) and returns how many were full.
[[nodiscard]] std::size_t deliver(std::vector<FrameSender>& subscriptions, const Frame& frame);

}  // namespace corvantic::gige::stream
