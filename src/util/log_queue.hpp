// A log sink that hands events to another thread through a bounded queue.
//
// The thread that logs (a control or stream worker, or a caller of the core)
// only takes the queue's mutex for one push: it never waits for the consumer
// to make room and never runs the consumer's code. A full queue drops the
// event and counts the drop; the consumer learns the count with its next
// take. The consumer holds the mutex only inside take_for(), which does
// nothing else while holding it, so a logging thread waits at most for one
// swap of the queue.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "util/log.hpp"
#include "util/mutex.hpp"

namespace corvantic::util::log {

class QueueSink final : public Sink {
 public:
  struct Entry {
    Event event;
    std::chrono::system_clock::time_point time;  // when it was logged
  };

  struct Batch {
    std::vector<Entry> entries;  // in the order they were logged
    std::uint64_t dropped = 0;   // events dropped since the previous take
    bool closed = false;         // the queue was closed; nothing more arrives
  };

  // `capacity` is the most events held at once; at least 1.
  explicit QueueSink(std::size_t capacity);

  // Queues the event, or counts it as dropped when the queue is full. An
  // event written after close() is discarded uncounted.
  void write(const Event& event) override EXCLUDES(mutex_);

  // Waits up to `timeout` until an event is queued, an event was dropped or
  // the queue is closed, then takes everything queued and the drop count.
  [[nodiscard]] Batch take_for(std::chrono::nanoseconds timeout) EXCLUDES(mutex_);

  // Wakes a waiting take; later writes are discarded. Events already queued
  // can still be taken.
  void close() EXCLUDES(mutex_);

  [[nodiscard]] bool closed() const EXCLUDES(mutex_);
  [[nodiscard]] std::size_t capacity() const { return capacity_; }

 private:
  const std::size_t capacity_;
  mutable Mutex mutex_;
  std::condition_variable changed_;                 // signalled on the first push, a drop, and close
  std::vector<Entry> entries_ GUARDED_BY(mutex_);   // at most capacity_
  std::uint64_t dropped_ GUARDED_BY(mutex_) = 0;
  bool closed_ GUARDED_BY(mutex_) = false;
};

}  // namespace corvantic::util::log
