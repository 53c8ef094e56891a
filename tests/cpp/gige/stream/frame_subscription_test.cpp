#include "gige/stream/frame_subscription.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "gige/stream/buffer_pool.hpp"
#include "gige/stream/pool_frames.hpp"

namespace corvantic::gige::stream {
namespace {

using namespace std::chrono_literals;
using testing::close_frame;

constexpr auto FOREVER = FrameReceiver::Clock::time_point::max();

// Closes frame `id` over a buffer of `pool` and sends it.
SendResult send(const FrameSender& sender, BufferPool& pool, std::uint64_t id) {
  return sender.try_send(close_frame(pool, id));
}

std::vector<std::uint64_t> ids(const std::vector<Frame>& frames) {
  std::vector<std::uint64_t> out;
  for (const auto& frame : frames) out.push_back(frame.frame_id());
  return out;
}

TEST(FrameSubscription, FirstInFirstOutUpToItsCapacity) {
  auto pool = BufferPool::create(5, 4);
  auto [sender, receiver] = make_subscription(3);
  EXPECT_EQ(receiver.capacity(), 3u);
  for (std::uint64_t id = 1; id <= 3; ++id) EXPECT_EQ(send(sender, *pool, id), SendResult::Accepted);
  EXPECT_EQ(send(sender, *pool, 4), SendResult::Full);
  EXPECT_EQ(receiver.size(), 3u);
  auto first = receiver.try_receive();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->frame_id(), 1u);
  EXPECT_EQ(send(sender, *pool, 5), SendResult::Accepted);
  EXPECT_EQ(ids(receiver.take_all()), (std::vector<std::uint64_t>{2, 3, 5}));
  EXPECT_FALSE(receiver.try_receive());
  auto none = make_subscription(0);
  EXPECT_EQ(send(none.sender, *pool, 6), SendResult::Full);
}

// Beyond the slots made up front the ring grows; frames queued across the
// wrap-around keep their order.
TEST(FrameSubscription, GrowsPastItsFirstSlotsInOrder) {
  constexpr std::size_t FIRST = FrameSubscription::PREALLOCATED_SLOTS_MAX;
  auto pool = BufferPool::create(FIRST + 40, 1);
  auto [sender, receiver] = make_subscription(FIRST + 30);
  std::uint64_t next = 0;
  for (std::size_t i = 0; i < FIRST; ++i) ASSERT_EQ(send(sender, *pool, next++), SendResult::Accepted);
  for (std::uint64_t expected = 0; expected < 10; ++expected) {
    const auto frame = receiver.try_receive();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->frame_id(), expected);
  }
  for (std::size_t i = 0; i < 40; ++i) ASSERT_EQ(send(sender, *pool, next++), SendResult::Accepted);
  EXPECT_EQ(send(sender, *pool, next), SendResult::Full);
  const auto frames = receiver.take_all();
  ASSERT_EQ(frames.size(), FIRST + 30);
  for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i].frame_id(), 10 + i);
}

TEST(FrameSubscription, DiscardingOrReleasingTheReceiverGivesTheBuffersBack) {
  auto pool = BufferPool::create(3, 4);
  auto [sender, receiver] = make_subscription(8);
  for (std::uint64_t id = 0; id < 3; ++id) ASSERT_EQ(send(sender, *pool, id), SendResult::Accepted);
  EXPECT_EQ(pool->free_count(), 0u);
  receiver.discard_all();
  EXPECT_EQ(receiver.size(), 0u);
  EXPECT_EQ(pool->free_count(), 3u);
  // The sender outlives the last receiver; the frames queued do not.
  for (std::uint64_t id = 3; id < 5; ++id) ASSERT_EQ(send(sender, *pool, id), SendResult::Accepted);
  { const FrameReceiver last = std::move(receiver); }
  EXPECT_EQ(pool->free_count(), 3u);
  EXPECT_EQ(send(sender, *pool, 5), SendResult::ReceiverGone);
}

TEST(FrameSubscription, ReceiveTimesOutThenEndsOnceSendersAreGoneAndDrained) {
  auto pool = BufferPool::create(2, 4);
  std::optional<SubscriptionEnds> ends = make_subscription(4);
  const FrameReceiver receiver = ends->receiver;
  EXPECT_EQ(receiver.receive_for(0ms).status, ReceiveStatus::TimedOut);
  EXPECT_EQ(receiver.receive_for(-1s).status, ReceiveStatus::TimedOut);
  EXPECT_EQ(receiver.receive_until(FrameReceiver::Clock::now() + 1ms).status, ReceiveStatus::TimedOut);
  std::optional<FrameSender> second = ends->sender;
  ASSERT_EQ(send(*second, *pool, 1), SendResult::Accepted);
  ASSERT_EQ(send(*second, *pool, 2), SendResult::Accepted);
  ends.reset();  // one sender is left
  EXPECT_FALSE(receiver.ended());
  auto result = receiver.receive_for(0ms);
  EXPECT_EQ(result.status, ReceiveStatus::Received);
  EXPECT_EQ(result.frame.frame_id(), 1u);
  second.reset();
  // Frames queued before the end stay readable.
  EXPECT_FALSE(receiver.ended());
  result = receiver.receive_until(FOREVER);
  EXPECT_EQ(result.status, ReceiveStatus::Received);
  EXPECT_EQ(result.frame.frame_id(), 2u);
  EXPECT_TRUE(receiver.ended());
  EXPECT_EQ(receiver.receive_until(FOREVER).status, ReceiveStatus::Ended);
  EXPECT_EQ(receiver.receive_for(std::chrono::nanoseconds::max()).status, ReceiveStatus::Ended);
  EXPECT_FALSE(receiver.try_receive());
}

// A capacity-2 subscription nobody reads takes the first two frames; each
// later frame is a drop for it while the other subscription gets every one.
TEST(FrameSubscription, FullSubscriptionCountsDropsWhileOthersReceive) {
  auto pool = BufferPool::create(8, 4);
  auto unread = make_subscription(2);
  auto read = make_subscription(8);
  std::vector<FrameSender> subscriptions{unread.sender, read.sender};
  std::vector<std::size_t> drops;
  for (std::uint64_t id = 1; id <= 5; ++id) drops.push_back(deliver(subscriptions, close_frame(*pool, id)));
  EXPECT_EQ(drops, (std::vector<std::size_t>{0, 0, 1, 1, 1}));
  EXPECT_EQ(subscriptions.size(), 2u);
  EXPECT_EQ(ids(unread.receiver.take_all()), (std::vector<std::uint64_t>{1, 2}));
  EXPECT_EQ(ids(read.receiver.take_all()), (std::vector<std::uint64_t>{1, 2, 3, 4, 5}));
}

TEST(FrameSubscription, ReleasingEveryReceiverRemovesItWithoutDrops) {
  auto pool = BufferPool::create(6, 4);
  auto a = make_subscription(8);
  auto b = make_subscription(1);
  auto c = make_subscription(8);
  std::vector<FrameSender> subscriptions{a.sender, b.sender, c.sender};
  EXPECT_EQ(deliver(subscriptions, close_frame(*pool, 1)), 0u);
  {
    // Two clones; the subscription stays until both are gone, and its queued
    // frame goes with the last.
    const auto gone = std::move(b);
    FrameReceiver clone = gone.receiver;
    EXPECT_EQ(deliver(subscriptions, close_frame(*pool, 2)), 1u);
    const auto first = clone.try_receive();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->frame_id(), 1u);
    EXPECT_EQ(deliver(subscriptions, close_frame(*pool, 3)), 0u);
  }
  EXPECT_EQ(subscriptions.size(), 3u);
  EXPECT_EQ(deliver(subscriptions, close_frame(*pool, 4)), 0u);
  ASSERT_EQ(subscriptions.size(), 2u);
  // The others keep their order and receive on.
  EXPECT_EQ(send(subscriptions[0], *pool, 90), SendResult::Accepted);
  EXPECT_EQ(send(subscriptions[1], *pool, 91), SendResult::Accepted);
  EXPECT_EQ(ids(a.receiver.take_all()), (std::vector<std::uint64_t>{1, 2, 3, 4, 90}));
  EXPECT_EQ(ids(c.receiver.take_all()), (std::vector<std::uint64_t>{1, 2, 3, 4, 91}));
  EXPECT_EQ(pool->free_count(), 6u);
}

TEST(FrameSubscription, BlockedReceiveIsWokenBySend) {
  auto pool = BufferPool::create(1, 4);
  auto [sender, receiver] = make_subscription(1);
  std::barrier start(2);
  std::optional<ReceiveResult> result;
  std::jthread reader([&, &receiver = receiver] {
    start.arrive_and_wait();
    result = receiver.receive_until(FOREVER);
  });
  start.arrive_and_wait();
  EXPECT_EQ(send(sender, *pool, 7), SendResult::Accepted);
  reader.join();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, ReceiveStatus::Received);
  EXPECT_EQ(result->frame.frame_id(), 7u);
}

TEST(FrameSubscription, BlockedReceiversAreWokenByTheSendersEnd) {
  constexpr int READERS = 3;
  std::optional<SubscriptionEnds> ends = make_subscription(1);
  const FrameReceiver receiver = ends->receiver;
  std::barrier start(READERS + 1);
  std::atomic<int> ended{0};
  std::vector<std::jthread> readers;
  for (int r = 0; r < READERS; ++r) {
    readers.emplace_back([&] {
      start.arrive_and_wait();
      if (receiver.receive_until(FOREVER).status == ReceiveStatus::Ended) ++ended;
    });
  }
  start.arrive_and_wait();
  ends.reset();
  readers.clear();
  EXPECT_EQ(ended.load(), READERS);
}

// Several senders and several receiving clones at once: every frame sent is
// received exactly once, and the receivers see the end after the last one.
TEST(FrameSubscription, ManyProducersAndConsumersReceiveEachFrameOnce) {
  constexpr int PRODUCERS = 3, CONSUMERS = 3, EACH = 400;
  constexpr int TOTAL = PRODUCERS * EACH;
  auto pool = BufferPool::create(TOTAL, 1);
  std::vector<std::vector<Frame>> frames(PRODUCERS);
  for (int p = 0; p < PRODUCERS; ++p) {
    for (int i = 0; i < EACH; ++i) {
      frames[p].push_back(close_frame(*pool, static_cast<std::uint64_t>(p * EACH + i)));
    }
  }
  std::optional<SubscriptionEnds> ends = make_subscription(5);
  std::vector<FrameSender> senders(PRODUCERS, ends->sender);
  std::vector<FrameReceiver> receivers(CONSUMERS, ends->receiver);
  ends.reset();
  std::barrier start(PRODUCERS + CONSUMERS);
  std::vector<std::vector<std::uint64_t>> seen(CONSUMERS);
  std::vector<std::jthread> threads;
  for (int p = 0; p < PRODUCERS; ++p) {
    threads.emplace_back([&, p] {
      const FrameSender sender = std::move(senders[p]);
      start.arrive_and_wait();
      for (auto& frame : frames[p]) {
        SendResult result;
        while ((result = sender.try_send(frame)) == SendResult::Full) std::this_thread::yield();
        EXPECT_EQ(result, SendResult::Accepted);
        frame = Frame();
      }
    });
  }
  for (int c = 0; c < CONSUMERS; ++c) {
    threads.emplace_back([&, c] {
      const FrameReceiver receiver = std::move(receivers[c]);
      start.arrive_and_wait();
      for (;;) {
        // Alternate the blocking and the non-blocking reads.
        if (seen[c].size() % 2 == 0) {
          auto result = receiver.receive_until(FOREVER);
          if (result.status == ReceiveStatus::Ended) break;
          seen[c].push_back(result.frame.frame_id());
        } else if (auto frame = receiver.try_receive()) {
          seen[c].push_back(frame->frame_id());
        } else if (receiver.ended()) {
          break;
        } else {
          std::this_thread::yield();
        }
      }
    });
  }
  threads.clear();
  std::vector<int> count(TOTAL, 0);
  for (const auto& ids : seen) {
    for (auto id : ids) ++count.at(id);
  }
  EXPECT_EQ(std::count(count.begin(), count.end(), 1), TOTAL);
  EXPECT_EQ(pool->free_count(), static_cast<std::size_t>(TOTAL));
}

}  // namespace
}  // namespace corvantic::gige::stream
