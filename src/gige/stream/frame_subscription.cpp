#include "gige/stream/frame_subscription.hpp"

#include <algorithm>
#include <utility>

#include "util/duration.hpp"

namespace corvantic::gige::stream {

FrameSubscription::FrameSubscription(std::size_t capacity) : capacity_(capacity) {
  util::MutexLock lock(mutex_);
  ring_.resize(std::min(capacity, PREALLOCATED_SLOTS_MAX));
}

std::size_t FrameSubscription::size() const {
  util::MutexLock lock(mutex_);
  return count_;
}

SendResult FrameSubscription::try_send(const Frame& frame) {
  {
    util::MutexLock lock(mutex_);
    if (receivers_ == 0) return SendResult::ReceiverGone;
    if (count_ == capacity_) return SendResult::Full;
    if (count_ == ring_.size()) grow_locked();
    ring_[(head_ + count_) % ring_.size()] = frame;
    ++count_;
  }
  changed_.notify_one();
  return SendResult::Accepted;
}

ReceiveResult FrameSubscription::receive_until(Clock::time_point deadline) {
  util::MutexLock lock(mutex_);
  changed_.wait_until(lock.native(), deadline,
                      [&]() REQUIRES(mutex_) { return count_ > 0 || senders_ == 0; });
  if (count_ > 0) return {ReceiveStatus::Received, pop_locked()};
  if (senders_ == 0) return {ReceiveStatus::Ended, Frame()};
  return {ReceiveStatus::TimedOut, Frame()};
}

ReceiveResult FrameSubscription::receive_for(std::chrono::nanoseconds timeout) {
  // A time-out beyond the clock's range waits for a frame or the end.
  return receive_until(util::saturating_add<Clock>(Clock::now(), timeout));
}

std::optional<Frame> FrameSubscription::try_receive() {
  util::MutexLock lock(mutex_);
  if (count_ == 0) return std::nullopt;
  return pop_locked();
}

std::vector<Frame> FrameSubscription::take_all() {
  util::MutexLock lock(mutex_);
  std::vector<Frame> frames;
  frames.reserve(count_);
  while (count_ > 0) frames.push_back(pop_locked());
  return frames;
}

void FrameSubscription::discard_all() {
  util::MutexLock lock(mutex_);
  discard_all_locked();
}

bool FrameSubscription::ended() const {
  util::MutexLock lock(mutex_);
  return senders_ == 0 && count_ == 0;
}

void FrameSubscription::add_sender() {
  util::MutexLock lock(mutex_);
  ++senders_;
}

void FrameSubscription::remove_sender() {
  {
    util::MutexLock lock(mutex_);
    if (--senders_ > 0) return;
  }
  changed_.notify_all();
}

void FrameSubscription::add_receiver() {
  util::MutexLock lock(mutex_);
  ++receivers_;
}

void FrameSubscription::remove_receiver() {
  util::MutexLock lock(mutex_);
  // With no reader left the queued frames would only hold buffers back.
  if (--receivers_ == 0) discard_all_locked();
}

Frame FrameSubscription::pop_locked() {
  Frame frame = std::move(ring_[head_]);
  head_ = (head_ + 1) % ring_.size();
  --count_;
  return frame;
}

void FrameSubscription::discard_all_locked() {
  while (count_ > 0) (void)pop_locked();
}

void FrameSubscription::grow_locked() {
  const std::size_t size = std::min(capacity_, std::max<std::size_t>(1, ring_.size() * 2));
  std::vector<Frame> grown(size);
  for (std::size_t i = 0; i < count_; ++i) grown[i] = std::move(ring_[(head_ + i) % ring_.size()]);
  ring_ = std::move(grown);
  head_ = 0;
}

FrameSender::FrameSender(std::shared_ptr<FrameSubscription> queue) : queue_(std::move(queue)) {
  queue_->add_sender();
}

FrameSender::FrameSender(const FrameSender& other) : queue_(other.queue_) { queue_->add_sender(); }

FrameSender::~FrameSender() {
  if (queue_) queue_->remove_sender();
}

FrameReceiver::FrameReceiver(std::shared_ptr<FrameSubscription> queue) : queue_(std::move(queue)) {
  queue_->add_receiver();
}

FrameReceiver::FrameReceiver(const FrameReceiver& other) : queue_(other.queue_) { queue_->add_receiver(); }

FrameReceiver::~FrameReceiver() {
  if (queue_) queue_->remove_receiver();
}

SubscriptionEnds make_subscription(std::size_t capacity) {
  auto queue = std::make_shared<FrameSubscription>(capacity);
  return SubscriptionEnds{FrameSender(queue), FrameReceiver(std::move(queue))};
}

std::size_t deliver(std::vector<FrameSender>& subscriptions, const Frame& frame) {
  std::size_t drops = 0;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < subscriptions.size(); ++i) {
    const SendResult result = subscriptions[i].try_send(frame);
    if (result == SendResult::ReceiverGone) continue;
    if (result == SendResult::Full) ++drops;
    if (kept != i) subscriptions[kept] = std::move(subscriptions[i]);
    ++kept;
  }
  // Destroying the senders left behind ends those subscriptions.
  subscriptions.erase(subscriptions.begin() + static_cast<std::ptrdiff_t>(kept), subscriptions.end());
  return drops;
}

ReceiveResult receive_until(const FrameReceiver& receiver, FrameReceiver::Clock::time_point deadline,
                            const InterruptCheck& interrupted) {
  for (;;) {
    const auto now = FrameReceiver::Clock::now();
    const auto slice_end = deadline - now > RECEIVE_SLICE ? now + RECEIVE_SLICE : deadline;
    ReceiveResult result = receiver.receive_until(slice_end);
    if (result.status != ReceiveStatus::TimedOut || slice_end == deadline) return result;
    if (interrupted && interrupted()) return {ReceiveStatus::Interrupted, Frame()};
  }
}

}  // namespace corvantic::gige::stream
