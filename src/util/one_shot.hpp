// OneShot<T>: a reply slot that is set at most once and waited on with a
// time budget. A wait that returns the value observes every write the
// setter made before set() (the mutex orders them). A value set after the
// waiter gave up is simply kept until the slot is dropped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <optional>

#include "util/duration.hpp"
#include "util/mutex.hpp"

namespace corvantic::util {

template <typename T>
class OneShot {
 public:
  // Stores `value` unless a value was already set; returns whether it was stored.
  bool set(T value) {
    {
      MutexLock lock(mutex_);
      if (is_set_) return false;
      value_.emplace(std::move(value));
      is_set_ = true;
    }
    ready_.notify_all();
    return true;
  }

  // Waits up to `timeout` for the value and moves it out; nothing when the
  // time ran out (or the value was already taken). A time-out too large
  // for a deadline waits without end.
  [[nodiscard]] std::optional<T> wait_for(std::chrono::nanoseconds timeout) {
    return wait_until(saturating_add<std::chrono::steady_clock>(std::chrono::steady_clock::now(), timeout));
  }

  // The same, waiting until `deadline` on the monotonic clock.
  [[nodiscard]] std::optional<T> wait_until(std::chrono::steady_clock::time_point deadline) {
    MutexLock lock(mutex_);
    ready_.wait_until(lock.native(), deadline, [&]() REQUIRES(mutex_) { return is_set_; });
    if (!value_) return std::nullopt;
    std::optional<T> out = std::move(value_);
    value_.reset();
    return out;
  }

 private:
  Mutex mutex_;
  std::condition_variable ready_;
  bool is_set_ GUARDED_BY(mutex_) = false;
  std::optional<T> value_ GUARDED_BY(mutex_);
};

}  // namespace corvantic::util
