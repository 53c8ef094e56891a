#include "gige/stream/stream_stats.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <string>
#include <thread>
#include <vector>

namespace corvantic::gige::stream {
namespace {

// The binding layer shows the counters in this order under these names.
TEST(StreamStats, CounterTableNamesEveryFieldInOrder) {
  const std::vector<std::string> names = {
      "packets",         "bytes",           "completed_frames",   "failed_frames",        "timed_out_frames",
      "aborted_frames",  "missing_frames",  "underruns",          "missing_packets",      "resend_requests",
      "resent_packets",  "resend_ratio_reached", "resend_disabled", "duplicated_packets", "error_packets",
      "ignored_packets", "unsupported_frames", "size_mismatch_errors", "frames_dropped"};
  // Aggregate initialisation follows the declaration order.
  const StreamStats stats{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
  ASSERT_EQ(STREAM_COUNTERS.size(), names.size());
  for (std::size_t i = 0; i < STREAM_COUNTERS.size(); ++i) {
    EXPECT_EQ(STREAM_COUNTERS[i].name, names[i]);
    EXPECT_EQ(stats.*STREAM_COUNTERS[i].member, i + 1) << names[i];
  }
  EXPECT_EQ(stats.frames_dropped, 19u);
}

// Readers copying while the worker publishes see whole publications only:
// every counter of a snapshot comes from the same record.
TEST(SharedStreamStats, ReadersNeverSeeAMixOfTwoPublications) {
  constexpr int READERS = 3, PUBLICATIONS = 5000;
  SharedStreamStats shared;
  std::barrier start(READERS + 1);
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::vector<std::jthread> threads;
  for (int r = 0; r < READERS; ++r) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      while (!done.load()) {
        const StreamStats seen = shared.snapshot();
        for (const auto& counter : STREAM_COUNTERS) {
          if (seen.*counter.member != seen.packets) ++torn;
        }
      }
    });
  }
  start.arrive_and_wait();
  for (std::uint64_t n = 1; n <= PUBLICATIONS; ++n) {
    StreamStats stats;
    for (const auto& counter : STREAM_COUNTERS) stats.*counter.member = n;
    shared.publish(stats);
  }
  done = true;
  threads.clear();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(shared.snapshot().frames_dropped, static_cast<std::uint64_t>(PUBLICATIONS));
}

}  // namespace
}  // namespace corvantic::gige::stream
