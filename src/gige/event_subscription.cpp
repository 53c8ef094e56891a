#include "gige/event_subscription.hpp"

#include <utility>

namespace corvantic::gige {

SendResult EventSubscription::try_send(const SharedEvent& event) {
  {
    util::MutexLock lock(mutex_);
    if (receivers_ == 0) return SendResult::ReceiverGone;
    if (queue_.size() >= capacity_) {
      ++dropped_;
      return SendResult::Full;
    }
    queue_.push_back(event);
  }
  changed_.notify_one();
  return SendResult::Accepted;
}

EventReceiveResult EventSubscription::receive_until(Clock::time_point deadline) {
  util::MutexLock lock(mutex_);
  changed_.wait_until(lock.native(), deadline,
                      [&]() REQUIRES(mutex_) { return !queue_.empty() || senders_ == 0; });
  if (!queue_.empty()) {
    SharedEvent event = std::move(queue_.front());
    queue_.pop_front();
    return {ReceiveStatus::Received, std::move(event)};
  }
  return {senders_ > 0 ? ReceiveStatus::TimedOut : ReceiveStatus::Ended, nullptr};
}

std::uint64_t EventSubscription::dropped() const {
  util::MutexLock lock(mutex_);
  return dropped_;
}

bool EventSubscription::ended() const {
  util::MutexLock lock(mutex_);
  return senders_ == 0 && queue_.empty();
}

bool EventSubscription::abandoned() const {
  util::MutexLock lock(mutex_);
  return receivers_ == 0;
}

void EventSubscription::add_sender() {
  util::MutexLock lock(mutex_);
  ++senders_;
}

void EventSubscription::remove_sender() {
  {
    util::MutexLock lock(mutex_);
    if (--senders_ > 0) return;
  }
  changed_.notify_all();
}

void EventSubscription::add_receiver() {
  util::MutexLock lock(mutex_);
  ++receivers_;
}

void EventSubscription::remove_receiver() {
  util::MutexLock lock(mutex_);
  if (--receivers_ == 0) queue_.clear();
}

EventSender::EventSender(std::shared_ptr<EventSubscription> queue) : queue_(std::move(queue)) {
  queue_->add_sender();
}

EventSender& EventSender::operator=(EventSender&& other) noexcept {
  if (queue_) queue_->remove_sender();
  queue_ = std::move(other.queue_);
  return *this;
}

EventSender::~EventSender() {
  if (queue_) queue_->remove_sender();
}

EventReceiver::EventReceiver(std::shared_ptr<EventSubscription> queue) : queue_(std::move(queue)) {
  queue_->add_receiver();
}

EventReceiver::EventReceiver(const EventReceiver& other) : queue_(other.queue_) { queue_->add_receiver(); }

EventReceiver::~EventReceiver() {
  if (queue_) queue_->remove_receiver();
}

EventSubscriptionEnds make_event_subscription(std::size_t capacity) {
  auto queue = std::make_shared<EventSubscription>(capacity);
  return EventSubscriptionEnds{EventSender(queue), EventReceiver(std::move(queue))};
}

EventSender another_sender(const EventReceiver& receiver) { return EventSender(receiver.queue_); }

EventReceiveResult receive_until(const EventReceiver& receiver, EventReceiver::Clock::time_point deadline,
                                 const util::InterruptCheck& interrupted) {
  for (;;) {
    const auto now = EventReceiver::Clock::now();
    const auto slice_end = deadline - now > util::WAIT_SLICE ? now + util::WAIT_SLICE : deadline;
    EventReceiveResult result = receiver.receive_until(slice_end);
    if (result.status != ReceiveStatus::TimedOut || slice_end == deadline) return result;
    if (interrupted && interrupted()) return {ReceiveStatus::Interrupted, nullptr};
  }
}

}  // namespace corvantic::gige
