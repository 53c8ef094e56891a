#include "util/mutex.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace corvantic::util {
namespace {

// Whether another thread sees `mutex` as its own.
bool held_by_another_thread(const TimedMutex& mutex) {
  bool held = true;
  std::thread([&] { held = mutex.held_by_this_thread(); }).join();
  return held;
}

TEST(TimedMutex, KnowsOnlyTheThreadThatHoldsIt) {
  TimedMutex mutex;
  EXPECT_FALSE(mutex.held_by_this_thread());
  {
    TimedMutexLock lock(mutex);
    EXPECT_TRUE(mutex.held_by_this_thread());
    EXPECT_FALSE(held_by_another_thread(mutex));
  }
  EXPECT_FALSE(mutex.held_by_this_thread());

  // Branches on each try, as the lock analysis follows them.
  if (mutex.try_lock()) {
    EXPECT_TRUE(mutex.held_by_this_thread());
    mutex.unlock();
  } else {
    ADD_FAILURE() << "try_lock of a free mutex failed";
  }
  EXPECT_FALSE(mutex.held_by_this_thread());
  if (mutex.try_lock_for(std::chrono::milliseconds(1))) {
    EXPECT_TRUE(mutex.held_by_this_thread());
    mutex.unlock();
  } else {
    ADD_FAILURE() << "try_lock_for of a free mutex failed";
  }
  EXPECT_FALSE(mutex.held_by_this_thread());
}

// A holder that lets go during the wait hands the lock over before the time is up.
TEST(TimedMutex, ATimedTryTakesALockReleasedDuringItsWait) {
  TimedMutex mutex;
  mutex.lock();
  bool taken = false;
  std::thread waiter([&] {
    if (mutex.try_lock_for(std::chrono::seconds(30))) {
      taken = mutex.held_by_this_thread();
      mutex.unlock();
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  mutex.unlock();
  waiter.join();
  EXPECT_TRUE(taken);
}

TEST(TimedMutex, AFailedTryLeavesTheHolderAlone) {
  TimedMutex mutex;
  TimedMutexLock lock(mutex);
  bool taken = true;
  bool held = true;
  std::thread([&] {
    taken = mutex.try_lock_for(std::chrono::milliseconds(1));
    held = mutex.held_by_this_thread();
  }).join();
  EXPECT_FALSE(taken);
  EXPECT_FALSE(held);
  EXPECT_TRUE(mutex.held_by_this_thread());
}

}  // namespace
}  // namespace corvantic::util
