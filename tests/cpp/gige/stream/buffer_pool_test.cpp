#include "gige/stream/buffer_pool.hpp"

#include <gtest/gtest.h>

#include <barrier>
#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "gige/stream/frame_subscription.hpp"
#include "gige/stream/pool_frames.hpp"

namespace corvantic::gige::stream {
namespace {

using testing::close_frame;

TEST(BufferPool, HandsOutEveryBufferOnceThenNothing) {
  auto pool = BufferPool::create(3, 32);
  EXPECT_EQ(pool->n_buffers(), 3u);
  EXPECT_EQ(pool->payload_size(), 32u);
  std::vector<PooledBuffer> taken;
  std::set<FrameBuffer*> distinct;
  for (int i = 0; i < 3; ++i) {
    auto buffer = pool->take();
    ASSERT_TRUE(buffer);
    EXPECT_EQ((*buffer)->payload_size(), 32u);
    distinct.insert(buffer->get());
    taken.push_back(std::move(*buffer));
  }
  EXPECT_EQ(distinct.size(), 3u);
  EXPECT_EQ(pool->free_count(), 0u);
  EXPECT_FALSE(pool->take());
  taken.pop_back();  // a frame abandoned before delivery
  EXPECT_EQ(pool->free_count(), 1u);
  taken.front().reset();
  EXPECT_FALSE(taken.front());
  EXPECT_EQ(pool->free_count(), 2u);
  auto again = pool->take();
  ASSERT_TRUE(again);
  EXPECT_TRUE(distinct.contains(again->get()));
}

TEST(BufferPool, TakeResetsTheRecordOfTheLastFrame) {
  auto pool = BufferPool::create(1, 8);
  {
    const Frame frame = close_frame(*pool, 77);
    EXPECT_EQ(frame.frame_id(), 77u);
  }
  auto taken = pool->take();
  ASSERT_TRUE(taken);
  EXPECT_EQ((*taken)->info, FrameInfo{});
}

TEST(BufferPool, MoveAssignmentGivesBackTheBufferItReplaces) {
  auto pool = BufferPool::create(2, 8);
  auto a = pool->take();
  auto b = pool->take();
  ASSERT_TRUE(a && b);
  FrameBuffer* kept = b->get();
  *a = std::move(*b);
  EXPECT_EQ(a->get(), kept);
  EXPECT_FALSE(*b);
  EXPECT_EQ(pool->free_count(), 1u);
}

TEST(BufferPool, LastFrameReferenceGivesTheBufferBack) {
  auto pool = BufferPool::create(2, 8);
  Frame frame = close_frame(*pool, 1);
  std::vector<Frame> copies(5, frame);
  Frame assigned;
  assigned = frame;
  assigned = copies[0];  // another reference to the same buffer replaces it
  Frame moved = std::move(frame);
  EXPECT_FALSE(frame);  // NOLINT(bugprone-use-after-move): a moved-from frame is empty
  EXPECT_EQ(&moved.buffer(), &assigned.buffer());
  copies.resize(1);
  moved = Frame();
  EXPECT_EQ(pool->free_count(), 1u);
  copies.clear();
  EXPECT_EQ(pool->free_count(), 1u);
  assigned = Frame();
  EXPECT_EQ(pool->free_count(), 2u);
}

// The worker lets go of its frame right after delivery; the queue and then a
// reader on another thread hold the buffer until the reader drops it.
TEST(BufferPool, BufferHeldByASubscriptionQueueAndThenByAReader) {
  auto pool = BufferPool::create(2, 8);
  auto [sender, receiver] = make_subscription(4);
  std::vector<FrameSender> subscriptions{sender};
  {
    const Frame frame = close_frame(*pool, 3);
    EXPECT_EQ(deliver(subscriptions, frame), 0u);
  }
  EXPECT_EQ(pool->free_count(), 1u);
  std::barrier step(2);
  std::jthread reader([&, &receiver = receiver] {
    auto frame = receiver.try_receive();
    EXPECT_TRUE(frame);
    step.arrive_and_wait();  // received: the queue no longer holds it
    step.arrive_and_wait();  // checked by the main thread
    frame.reset();
  });
  step.arrive_and_wait();
  EXPECT_EQ(pool->free_count(), 1u);
  step.arrive_and_wait();
  reader.join();
  EXPECT_EQ(pool->free_count(), 2u);
}

// Frames and taken buffers that outlive their pool are freed by their last
// holder (the sanitizer build reports a leak or a use after free otherwise).
TEST(BufferPool, BuffersOutlivingThePoolAreFreed) {
  auto pool = BufferPool::create(3, 64);
  std::weak_ptr<BufferPool> watch = pool;
  Frame frame = close_frame(*pool, 5);
  auto taken = pool->take();
  ASSERT_TRUE(taken);
  (*taken)->data()[63] = 0x5A;
  pool.reset();
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(frame.frame_id(), 5u);
  EXPECT_EQ(frame.buffer().payload_size(), 64u);
  EXPECT_EQ((*taken)->data()[63], 0x5A);
  Frame copy = frame;
  frame = Frame();
  copy = Frame();
  taken->reset();
}

// Producers close frames over the pool's buffers and queue them; consumers
// check each frame's bytes and drop it, so buffers come back on the
// consumers' threads. A buffer given back while still read would be
// overwritten by a producer and fail the byte check.
TEST(BufferPool, BuffersCirculateBetweenProducerAndConsumerThreads) {
  constexpr int PRODUCERS = 2, CONSUMERS = 2, EACH = 1000;
  constexpr std::size_t PAYLOAD = 256;
  auto pool = BufferPool::create(4, PAYLOAD);
  std::optional<SubscriptionEnds> ends = make_subscription(3);
  std::vector<FrameSender> senders(PRODUCERS, ends->sender);
  const FrameReceiver receiver = ends->receiver;
  ends.reset();
  std::barrier start(PRODUCERS + CONSUMERS);
  std::atomic<int> received{0}, corrupted{0};
  std::vector<std::jthread> threads;
  for (int p = 0; p < PRODUCERS; ++p) {
    threads.emplace_back([&, p] {
      const FrameSender sender = std::move(senders[p]);
      start.arrive_and_wait();
      for (int i = 0; i < EACH; ++i) {
        std::optional<PooledBuffer> buffer;
        while (!(buffer = pool->take())) std::this_thread::yield();
        const auto mark = static_cast<std::uint8_t>(p * EACH + i);
        std::fill((*buffer)->data().begin(), (*buffer)->data().end(), mark);
        (*buffer)->info.frame_id = mark;
        (*buffer)->info.high_water = PAYLOAD;
        const Frame frame(std::move(*buffer));
        while (sender.try_send(frame) == SendResult::Full) std::this_thread::yield();
      }
    });
  }
  for (int c = 0; c < CONSUMERS; ++c) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      for (;;) {
        auto result = receiver.receive_until(FrameReceiver::Clock::time_point::max());
        if (result.status != ReceiveStatus::Received) break;
        const auto data = result.frame.data();
        const auto mark = static_cast<std::uint8_t>(result.frame.frame_id());
        const bool intact = std::all_of(data.begin(), data.end(), [&](auto b) { return b == mark; });
        if (data.size() != PAYLOAD || !intact) ++corrupted;
        ++received;
      }
    });
  }
  threads.clear();
  EXPECT_EQ(received.load(), PRODUCERS * EACH);
  EXPECT_EQ(corrupted.load(), 0);
  EXPECT_EQ(pool->free_count(), 4u);
}

}  // namespace
}  // namespace corvantic::gige::stream
