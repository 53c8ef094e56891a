// Checked locking: a mutex that clang's thread-safety analysis knows as a
// capability, its scoped guard, and the annotation macros.
//
// Rules of use:
// 1. A field a mutex guards is declared GUARDED_BY(that_mutex) (a pointer
//    whose target it guards, PT_GUARDED_BY).
// 2. A function that expects the lock held (the `_locked` suffix) is declared
//    REQUIRES(mutex). A function that takes the lock is declared
//    EXCLUDES(mutex) where a caller could hold it: calling it with the lock
//    held is then a compile error instead of a self-deadlock.
// 3. Locks are taken for a scope with MutexLock. A condition variable waits
//    on lock.native(), the std::unique_lock inside the guard, so the plain
//    std::condition_variable (and condition_variable_any's stop_token waits)
//    work unchanged.
// 4. The analysis checks a lambda as a function of its own and cannot see
//    that its caller holds the lock: a wait predicate or callback that reads
//    guarded fields is declared `[&]() REQUIRES(mutex) { ... }`.
// 5. The macros expand to nothing except under clang; the clang build with
//    CORVANTIC_THREAD_SAFETY=ON (scripts/thread-safety.sh) turns every
//    finding into an error.
//
// Cost: Mutex is a std::mutex and MutexLock a std::unique_lock<std::mutex>,
// every member inline, so the generated code is that of the standard types.
// TimedMutex, a fair queue with a condition variable, costs more: it guards
// the camera's session, whose every turn waits for the network anyway.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__clang__)
#define CORVANTIC_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define CORVANTIC_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) CORVANTIC_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY CORVANTIC_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) CORVANTIC_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) CORVANTIC_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) CORVANTIC_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) CORVANTIC_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) CORVANTIC_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) CORVANTIC_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) CORVANTIC_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(x) CORVANTIC_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS CORVANTIC_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace corvantic::util {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  [[nodiscard]] bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  friend class MutexLock;
  std::mutex mutex_;
};

// Holds a Mutex from construction to the end of the scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  // Takes over a lock the caller already holds (from a successful try_lock()).
  MutexLock(Mutex& mutex, std::adopt_lock_t) REQUIRES(mutex) : lock_(mutex.mutex_, std::adopt_lock) {}
  ~MutexLock() RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // For condition variable waits only, which release and retake the lock
  // inside the call; nothing else may lock or unlock it.
  [[nodiscard]] std::unique_lock<std::mutex>& native() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

// The camera's session lock: a mutex that hands turns in arrival order (a
// ticket lock), whose waiters can give up their place in the queue, and
// which knows the thread that holds it: a thread that runs callbacks while
// it holds the lock (signal handlers between the slices of a long wait) can
// then refuse a callback's attempt to take it again, which would wait for
// itself forever.
//
// Each waiter draws the next ticket and waits until that ticket is served;
// unlock() serves the next ticket that was not given up. A waiter that gives
// up leaves its ticket behind to be skipped, so the waiters after it keep
// their order.
class CAPABILITY("mutex") TimedMutex {
 public:
  using Clock = std::chrono::steady_clock;
  // How often a waiter asks whether to give up, besides each wake_waiters().
  static constexpr std::chrono::milliseconds ASK_INTERVAL{100};

  TimedMutex() = default;
  TimedMutex(const TimedMutex&) = delete;
  TimedMutex& operator=(const TimedMutex&) = delete;

  void lock() ACQUIRE() {
    [[maybe_unused]] const bool taken = take_turn([] { return false; }, Clock::time_point::max());
  }
  void unlock() RELEASE() {
    holder_.store(std::thread::id{}, std::memory_order_relaxed);
    std::lock_guard queue(queue_mutex_);
    ++serving_;
    skip_given_up_locked();
    turn_changed_.notify_all();
  }
  // Takes the lock only when it is free and nobody waits for it.
  [[nodiscard]] bool try_lock() TRY_ACQUIRE(true) {
    std::lock_guard queue(queue_mutex_);
    if (next_ticket_ != serving_) return false;
    ++next_ticket_;
    return record_holder();
  }
  // Waits for this thread's turn for at most `timeout`.
  template <typename Rep, typename Period>
  [[nodiscard]] bool try_lock_for(std::chrono::duration<Rep, Period> timeout) TRY_ACQUIRE(true) {
    const auto deadline = Clock::now() + timeout;
    return take_turn([] { return false; }, deadline);
  }
  // Waits for this thread's turn, asking `give_up` (with no lock of this
  // mutex held, so it may run any code) every ASK_INTERVAL and after each
  // wake_waiters(); false, the place in the queue given up, once it says so.
  template <typename GiveUp>
  [[nodiscard]] bool lock_unless(GiveUp&& give_up) TRY_ACQUIRE(true) {
    return take_turn(give_up, Clock::time_point::max());
  }
  // Makes every waiter ask its `give_up` now: the caller changed what it
  // answers.
  void wake_waiters() {
    std::lock_guard queue(queue_mutex_);
    ++wakes_;
    turn_changed_.notify_all();
  }

  // Whether the calling thread holds the lock. Relaxed loads suffice: only a
  // thread itself ever stores its own id, and it always reads its own last
  // store, so it sees its id exactly while it holds the lock.
  [[nodiscard]] bool held_by_this_thread() const {
    return holder_.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }

 private:
  template <typename GiveUp>
  bool take_turn(GiveUp&& give_up, Clock::time_point deadline) NO_THREAD_SAFETY_ANALYSIS {
    std::unique_lock queue(queue_mutex_);
    const std::uint64_t ticket = next_ticket_++;
    for (;;) {
      const std::uint64_t wakes = wakes_;
      const auto ask_at = Clock::now() + ASK_INTERVAL;
      turn_changed_.wait_until(queue, std::min(ask_at, deadline),
                               [&] { return serving_ == ticket || wakes_ != wakes; });
      if (serving_ == ticket) return record_holder();
      if (Clock::now() < deadline) {
        queue.unlock();
        const bool stop = give_up();
        queue.lock();
        if (!stop) continue;
      }
      given_up_.push_back(ticket);
      skip_given_up_locked();
      turn_changed_.notify_all();
      return false;
    }
  }
  // Serves past the tickets given up (queue_mutex_ held); a turn that came
  // to a waiter after it gave up passes on with them.
  void skip_given_up_locked() {
    for (auto it = std::find(given_up_.begin(), given_up_.end(), serving_); it != given_up_.end();
         it = std::find(given_up_.begin(), given_up_.end(), serving_)) {
      given_up_.erase(it);
      ++serving_;
    }
  }
  bool record_holder() {
    holder_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return true;
  }

  // The queue: plain standard types, taken only inside these members and
  // never while a caller's code runs.
  std::mutex queue_mutex_;
  std::condition_variable turn_changed_;
  std::uint64_t next_ticket_ = 0;      // the ticket the next waiter draws
  std::uint64_t serving_ = 0;          // the ticket whose holder has the lock
  std::uint64_t wakes_ = 0;            // counts wake_waiters()
  std::vector<std::uint64_t> given_up_;  // tickets whose waiters left, to skip
  std::atomic<std::thread::id> holder_{};  // the holding thread; no thread when free
};

// Holds a TimedMutex from construction to the end of the scope.
class SCOPED_CAPABILITY TimedMutexLock {
 public:
  explicit TimedMutexLock(TimedMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  // Takes over a lock the caller already holds (from a successful try).
  TimedMutexLock(TimedMutex& mutex, std::adopt_lock_t) REQUIRES(mutex) : mutex_(mutex) {}
  ~TimedMutexLock() RELEASE() { mutex_.unlock(); }
  TimedMutexLock(const TimedMutexLock&) = delete;
  TimedMutexLock& operator=(const TimedMutexLock&) = delete;

 private:
  TimedMutex& mutex_;
};

}  // namespace corvantic::util
