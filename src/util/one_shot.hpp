// OneShot<T>: a reply slot that is set at most once and waited on with a
// time budget. A wait that returns the value observes every write the
// setter made before set() (the mutex orders them). A value set after the
// waiter gave up is simply kept until the slot is dropped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace corvantic::util {

template <typename T>
class OneShot {
 public:
  // Stores `value` unless a value was already set; returns whether it was stored.
  bool set(T value) {
    {
      std::lock_guard lock(mutex_);
      if (is_set_) return false;
      value_.emplace(std::move(value));
      is_set_ = true;
    }
    ready_.notify_all();
    return true;
  }

  // Waits up to `timeout` for the value and moves it out; nothing when the
  // time ran out (or the value was already taken).
  [[nodiscard]] std::optional<T> wait_for(std::chrono::nanoseconds timeout) {
    std::unique_lock lock(mutex_);
    ready_.wait_for(lock, timeout, [&] { return is_set_; });
    if (!value_) return std::nullopt;
    std::optional<T> out = std::move(value_);
    value_.reset();
    return out;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  bool is_set_ = false;      // guarded by mutex_
  std::optional<T> value_;   // guarded by mutex_
};

}  // namespace corvantic::util
