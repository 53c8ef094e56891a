// EventSubscription: a bounded first-in first-out queue that carries device
// events from the control worker to readers, the event counterpart of the
// stream's FrameSubscription (same ends, same send and receive results).
// Events are few and small, so the queue is a plain bounded deque.
//
// EventSender is held by the worker: a send never waits; it is accepted,
// refused because the queue is full (the event is dropped for this
// subscriber and counted in dropped()), or refused because no receiver is
// left. EventReceiver is held by readers; each event goes to exactly one
// receive call. Once every sender is gone (the connection ended), receivers
// take what is left and then see the end. A queue may be given a further
// sender (another_sender): a new connection's worker, which then feeds the
// readers of a subscription made on an earlier one.
//
// Every subscriber of a connection sees the same event object: the worker
// shares one immutable copy between all queues.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>

#include "gige/proto/gvcp.hpp"
#include "util/interrupt.hpp"
#include "util/mutex.hpp"
#include "util/subscription_results.hpp"

namespace corvantic::gige {

using SharedEvent = std::shared_ptr<const proto::DeviceEvent>;
struct EventSubscriptionEnds;
using util::ReceiveStatus;
using util::SendResult;

struct EventReceiveResult {
  ReceiveStatus status = ReceiveStatus::TimedOut;
  SharedEvent event;  // set when status is Received
};

class EventSubscription {
 public:
  using Clock = std::chrono::steady_clock;

  explicit EventSubscription(std::size_t capacity) : capacity_(capacity) {}
  EventSubscription(const EventSubscription&) = delete;
  EventSubscription& operator=(const EventSubscription&) = delete;

  [[nodiscard]] std::size_t capacity() const { return capacity_; }
  [[nodiscard]] SendResult try_send(const SharedEvent& event) EXCLUDES(mutex_);
  // Waits until an event is queued, the deadline passes or the end is seen.
  [[nodiscard]] EventReceiveResult receive_until(Clock::time_point deadline) EXCLUDES(mutex_);
  // Events a full queue refused so far.
  [[nodiscard]] std::uint64_t dropped() const EXCLUDES(mutex_);
  // Whether every sender is gone and the queue is empty.
  [[nodiscard]] bool ended() const EXCLUDES(mutex_);
  // Whether every receiver is gone: nobody will read what is sent.
  [[nodiscard]] bool abandoned() const EXCLUDES(mutex_);

 private:
  friend class EventSender;
  friend class EventReceiver;

  void add_sender() EXCLUDES(mutex_);
  void remove_sender() EXCLUDES(mutex_);
  void add_receiver() EXCLUDES(mutex_);
  void remove_receiver() EXCLUDES(mutex_);

  const std::size_t capacity_;
  mutable util::Mutex mutex_;
  std::condition_variable changed_;  // an event was queued, or the last sender left
  std::deque<SharedEvent> queue_ GUARDED_BY(mutex_);
  std::uint64_t dropped_ GUARDED_BY(mutex_) = 0;
  std::size_t senders_ GUARDED_BY(mutex_) = 0;
  std::size_t receivers_ GUARDED_BY(mutex_) = 0;
};

class EventReceiver;

// The worker's end; moving only. Destroying the last sender of a queue ends
// the subscription for its readers.
class EventSender {
 public:
  EventSender(EventSender&& other) noexcept = default;
  EventSender& operator=(EventSender&& other) noexcept;
  ~EventSender();

  [[nodiscard]] SendResult try_send(const SharedEvent& event) const { return queue_->try_send(event); }
  // Whether every receiver is gone, so the sender may be let go at once.
  [[nodiscard]] bool abandoned() const { return queue_->abandoned(); }

 private:
  friend struct EventSubscriptionEnds make_event_subscription(std::size_t capacity);
  friend EventSender another_sender(const EventReceiver& receiver);
  explicit EventSender(std::shared_ptr<EventSubscription> queue);

  std::shared_ptr<EventSubscription> queue_;
};

// A reader's end. Copies share the queue; the worker lets go of the
// subscription once the last copy is released, without waiting for an
// event to find it abandoned.
class EventReceiver {
 public:
  using Clock = EventSubscription::Clock;

  EventReceiver(const EventReceiver& other);
  EventReceiver(EventReceiver&& other) noexcept = default;
  EventReceiver& operator=(EventReceiver other) noexcept {
    queue_.swap(other.queue_);
    return *this;
  }
  ~EventReceiver();

  [[nodiscard]] EventReceiveResult receive_until(Clock::time_point deadline) const {
    return queue_->receive_until(deadline);
  }
  [[nodiscard]] std::uint64_t dropped() const { return queue_->dropped(); }
  [[nodiscard]] bool ended() const { return queue_->ended(); }
  [[nodiscard]] std::size_t capacity() const { return queue_->capacity(); }

 private:
  friend struct EventSubscriptionEnds make_event_subscription(std::size_t capacity);
  friend EventSender another_sender(const EventReceiver& receiver);
  explicit EventReceiver(std::shared_ptr<EventSubscription> queue);

  std::shared_ptr<EventSubscription> queue_;
};

struct EventSubscriptionEnds {
  EventSender sender;
  EventReceiver receiver;
};

// A new queue holding up to `capacity` events (0: every send is refused as full).
[[nodiscard]] EventSubscriptionEnds make_event_subscription(std::size_t capacity);
// A further sender into the queue of `receiver`; while it lives, the queue
// does not end, even one whose senders were all gone already.
[[nodiscard]] EventSender another_sender(const EventReceiver& receiver);

// receive_until in slices of at most util::WAIT_SLICE, asking `interrupted`
// (when set) after each slice that brought nothing.
[[nodiscard]] EventReceiveResult receive_until(const EventReceiver& receiver, EventReceiver::Clock::time_point deadline,
                                               const util::InterruptCheck& interrupted);

}  // namespace corvantic::gige
