#include "util/log_queue.hpp"

#include <algorithm>
#include <utility>

namespace corvantic::util::log {

QueueSink::QueueSink(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 1)) {}

void QueueSink::write(const Event& event) {
  const auto now = std::chrono::system_clock::now();
  bool wake = false;
  {
    MutexLock lock(mutex_);
    if (closed_) return;
    if (entries_.size() >= capacity_) {
      // The consumer is behind; it is awake already (the queue is not empty).
      ++dropped_;
      return;
    }
    // A waiting consumer sleeps only on an empty queue.
    wake = entries_.empty();
    entries_.push_back(Entry{event, now});
  }
  if (wake) changed_.notify_one();
}

QueueSink::Batch QueueSink::take_for(std::chrono::nanoseconds timeout) {
  // A bound far beyond any use keeps the deadline inside the clock's range.
  timeout = std::clamp<std::chrono::nanoseconds>(timeout, std::chrono::nanoseconds::zero(), std::chrono::hours(24));
  Batch batch;
  MutexLock lock(mutex_);
  changed_.wait_for(lock.native(), timeout,
                    [&]() REQUIRES(mutex_) { return !entries_.empty() || dropped_ > 0 || closed_; });
  batch.entries.swap(entries_);
  batch.dropped = std::exchange(dropped_, 0);
  batch.closed = closed_;
  return batch;
}

void QueueSink::close() {
  {
    MutexLock lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

bool QueueSink::closed() const {
  MutexLock lock(mutex_);
  return closed_;
}

}  // namespace corvantic::util::log
