#include "util/mutex.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <thread>
#include <vector>

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

// A waiter whose place in the queue is known: its give-up check runs only
// once it has drawn its ticket, and tells so.
class Waiter {
 public:
  // Waits for a turn on its own thread; `order` records who got one, in
  // turn (a turn is all it needs to append safely).
  Waiter(TimedMutex& mutex, int name, std::vector<int>& order, const std::atomic<bool>& give_up)
      : thread_([&mutex, name, &order, &give_up, this] {
          const auto check = [&] {
            queued_.store(true);
            queued_.notify_all();
            return give_up.load();
          };
          if (mutex.lock_unless(check)) {
            order.push_back(name);
            mutex.unlock();
          } else {
            gave_up_ = true;
          }
        }) {}
  // Returns once the waiter holds its place in the queue.
  void wait_until_queued(TimedMutex& mutex) {
    mutex.wake_waiters();
    queued_.wait(false);
  }
  // Joins; whether it gave up its turn.
  bool gave_up() {
    thread_.join();
    return gave_up_;
  }

 private:
  std::atomic<bool> queued_{false};
  bool gave_up_ = false;
  std::thread thread_;
};

TEST(TimedMutex, HandsTurnsInArrivalOrder) {
  constexpr int WAITERS = 6;
  TimedMutex mutex;
  std::vector<int> order;
  const std::atomic<bool> never{false};
  std::vector<std::unique_ptr<Waiter>> waiters;
  mutex.lock();
  // Queued one at a time, named in falling order so that the names' own
  // order cannot pass by chance.
  for (int name = WAITERS - 1; name >= 0; --name) {
    waiters.push_back(std::make_unique<Waiter>(mutex, name, order, never));
    waiters.back()->wait_until_queued(mutex);
  }
  mutex.unlock();
  for (auto& waiter : waiters) EXPECT_FALSE(waiter->gave_up());
  EXPECT_EQ(order, (std::vector<int>{5, 4, 3, 2, 1, 0}));
}

// A waiter that gives up leaves the queue; those behind it keep their order,
// and a try that finds anybody queued fails even with the lock free.
TEST(TimedMutex, AWaiterThatGivesUpLeavesTheOthersTheirTurns) {
  TimedMutex mutex;
  std::vector<int> order;
  const std::atomic<bool> never{false};
  std::atomic<bool> leave{false};
  mutex.lock();
  Waiter first(mutex, 1, order, never);
  first.wait_until_queued(mutex);
  Waiter leaving(mutex, 2, order, leave);
  leaving.wait_until_queued(mutex);
  Waiter last(mutex, 3, order, never);
  last.wait_until_queued(mutex);
  leave.store(true);
  mutex.wake_waiters();
  EXPECT_TRUE(leaving.gave_up());
  EXPECT_TRUE(order.empty());  // still held
  mutex.unlock();
  EXPECT_FALSE(first.gave_up());
  EXPECT_FALSE(last.gave_up());
  EXPECT_EQ(order, (std::vector<int>{1, 3}));
  if (mutex.try_lock()) {
    mutex.unlock();
  } else {
    ADD_FAILURE() << "the tickets given up were not skipped";
  }
}

}  // namespace
}  // namespace corvantic::util
