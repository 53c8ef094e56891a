#include "util/log.hpp"

#include <gtest/gtest.h>

#include <barrier>
#include <thread>

namespace corvantic::util::log {
namespace {

TEST(Log, NothingIsEvaluatedWithoutASink) {
  set_sink(nullptr);
  int evaluated = 0;
  auto message = [&] {
    ++evaluated;
    return std::string("m");
  };
  CORVANTIC_LOG(Level::Error, target::GIGE, message(), field("n", 1));
  EXPECT_EQ(evaluated, 0);
  EXPECT_FALSE(enabled(Level::Error));
}

TEST(Log, CapturesLevelTargetMessageAndFields) {
  ScopedCapture capture;
  CORVANTIC_LOG(Level::Trace, target::GIGE_RUNNER, "ack overdue, retrying transaction", field("id", 7),
                field("tries_left", std::uint8_t{3}));
  CORVANTIC_LOG(Level::Debug, target::GIGE_RUNNER, "gvcp worker shutting down", field("control_lost", false));
  const auto events = capture.sink().events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].level, Level::Trace);
  EXPECT_EQ(events[0].target, "corvantic::gige::runner");
  EXPECT_EQ(events[0].message, "ack overdue, retrying transaction");
  EXPECT_EQ(events[0].fields, (std::vector<Field>{{"id", "7"}, {"tries_left", "3"}}));
  EXPECT_EQ(events[1].fields, (std::vector<Field>{{"control_lost", "false"}}));
}

TEST(Log, MinimumLevelFiltersAndRemovalStopsCapture) {
  {
    ScopedCapture capture(Level::Warn);
    CORVANTIC_LOG(Level::Debug, target::PY, "hidden");
    CORVANTIC_LOG(Level::Warn, target::PY, "shown");
    EXPECT_EQ(capture.sink().events().size(), 1u);
    EXPECT_EQ(capture.sink().with_message("shown").size(), 1u);
  }
  EXPECT_FALSE(enabled(Level::Error));
}

TEST(Log, ConcurrentEventsAreAllCaptured) {
  ScopedCapture capture;
  constexpr int THREADS = 4, EACH = 500;
  std::barrier start(THREADS);
  std::vector<std::jthread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      for (int i = 0; i < EACH; ++i) CORVANTIC_LOG(Level::Trace, target::GIGE, "tick", field("i", i));
    });
  }
  threads.clear();
  EXPECT_EQ(capture.sink().with_message("tick").size(), static_cast<std::size_t>(THREADS * EACH));
}

}  // namespace
}  // namespace corvantic::util::log
