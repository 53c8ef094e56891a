#include "util/log_queue.hpp"

#include <gtest/gtest.h>

#include <barrier>
#include <map>
#include <memory>
#include <thread>

namespace corvantic::util::log {
namespace {

using std::chrono::hours;
using std::chrono::nanoseconds;

Event event(std::string message) { return Event{Level::Debug, "corvantic::gige", std::move(message), {}}; }

TEST(QueueSink, HoldsAtMostItsCapacityAndReportsEachDropOnce) {
  auto queue = std::make_shared<QueueSink>(3);
  set_sink(queue, Level::Debug);
  CORVANTIC_LOG(Level::Trace, target::GIGE, "below the level");
  for (int i = 0; i < 5; ++i) CORVANTIC_LOG(Level::Debug, target::GIGE_RUNNER, "event", field("i", i));
  set_sink(nullptr);

  QueueSink::Batch batch = queue->take_for(nanoseconds::zero());
  ASSERT_EQ(batch.entries.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    const Event& e = batch.entries[i].event;
    EXPECT_EQ(e.level, Level::Debug);
    EXPECT_EQ(e.target, "corvantic::gige::runner");
    EXPECT_EQ(e.message, "event");
    EXPECT_EQ(e.fields, (std::vector<Field>{{"i", std::to_string(i)}}));
  }
  EXPECT_EQ(batch.dropped, 2u);
  EXPECT_FALSE(batch.closed);

  // The drops were reported; room is back.
  queue->write(event("later"));
  batch = queue->take_for(nanoseconds::zero());
  ASSERT_EQ(batch.entries.size(), 1u);
  EXPECT_EQ(batch.entries[0].event.message, "later");
  EXPECT_EQ(batch.dropped, 0u);
}

TEST(QueueSink, CloseWakesAWaitingTakeKeepsWhatIsQueuedAndDiscardsLaterWrites) {
  auto queue = std::make_shared<QueueSink>(8);
  QueueSink::Batch woken;
  std::jthread consumer([&] { woken = queue->take_for(hours(1)); });
  queue->close();
  consumer.join();
  EXPECT_TRUE(woken.closed);
  EXPECT_TRUE(woken.entries.empty());

  auto other = std::make_shared<QueueSink>(8);
  other->write(event("before"));
  other->close();
  other->write(event("after"));
  const QueueSink::Batch batch = other->take_for(hours(1));
  EXPECT_TRUE(batch.closed);
  ASSERT_EQ(batch.entries.size(), 1u);
  EXPECT_EQ(batch.entries[0].event.message, "before");
  EXPECT_EQ(batch.dropped, 0u);
}

TEST(QueueSink, ConcurrentWritersAreEachTakenInOrderOrCountedAsDropped) {
  constexpr int THREADS = 4, EACH = 2000;
  auto queue = std::make_shared<QueueSink>(16);
  std::barrier start(THREADS + 1);
  std::vector<std::jthread> writers;
  for (int t = 0; t < THREADS; ++t) {
    writers.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < EACH; ++i) {
        queue->write(Event{Level::Trace, "corvantic::gige", "tick", {field("t", t), field("i", i)}});
      }
    });
  }
  std::uint64_t taken = 0, dropped = 0;
  std::map<std::string, int> last_seen;
  bool in_order = true;
  std::jthread consumer([&] {
    start.arrive_and_wait();
    while (taken + dropped < static_cast<std::uint64_t>(THREADS * EACH)) {
      QueueSink::Batch batch = queue->take_for(hours(1));
      ASSERT_LE(batch.entries.size(), queue->capacity());
      for (const QueueSink::Entry& entry : batch.entries) {
        const int i = std::stoi(entry.event.fields[1].value);
        auto [it, first] = last_seen.try_emplace(entry.event.fields[0].value, i);
        if (!first) {
          in_order = in_order && i > it->second;
          it->second = i;
        }
      }
      taken += batch.entries.size();
      dropped += batch.dropped;
    }
  });
  writers.clear();
  consumer.join();
  EXPECT_EQ(taken + dropped, static_cast<std::uint64_t>(THREADS * EACH));
  EXPECT_TRUE(in_order);
  const QueueSink::Batch rest = queue->take_for(nanoseconds::zero());
  EXPECT_TRUE(rest.entries.empty());
  EXPECT_EQ(rest.dropped, 0u);
}

}  // namespace
}  // namespace corvantic::util::log
