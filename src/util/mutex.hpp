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
// every member inline, so the generated code is that of the standard types;
// TimedMutex adds one relaxed store of the holder per lock and unlock.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

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

// A Mutex whose lock can also be tried for a bounded time, and which knows
// the thread that holds it: a thread that runs callbacks while it holds the
// lock (signal handlers between the slices of a long wait) can then refuse a
// callback's attempt to take it again, which would wait for itself forever.
class CAPABILITY("mutex") TimedMutex {
 public:
  TimedMutex() = default;
  TimedMutex(const TimedMutex&) = delete;
  TimedMutex& operator=(const TimedMutex&) = delete;

  void lock() ACQUIRE() {
    mutex_.lock();
    record_holder();
  }
  void unlock() RELEASE() {
    holder_.store(std::thread::id{}, std::memory_order_relaxed);
    mutex_.unlock();
  }
  [[nodiscard]] bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock() && record_holder(); }
  // Tries again every millisecond until `timeout` has passed. A polled
  // try_lock rather than a clock-based wait: ThreadSanitizer does not see
  // the clock-based lock of the C library (pthread_mutex_clocklock), and
  // the callers wait this way rarely and briefly (a release on drop).
  template <typename Rep, typename Period>
  [[nodiscard]] bool try_lock_for(std::chrono::duration<Rep, Period> timeout) TRY_ACQUIRE(true) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (mutex_.try_lock()) return record_holder();
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  // Whether the calling thread holds the lock. Relaxed loads suffice: only a
  // thread itself ever stores its own id, and it always reads its own last
  // store, so it sees its id exactly while it holds the lock.
  [[nodiscard]] bool held_by_this_thread() const {
    return holder_.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }

 private:
  bool record_holder() {
    holder_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return true;
  }

  std::mutex mutex_;
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
