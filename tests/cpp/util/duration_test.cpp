#include "util/duration.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace corvantic::util {
namespace {

using std::chrono::nanoseconds;

TEST(DurationFromSecs, ConvertsExactlyToNanoseconds) {
  EXPECT_EQ(duration_from_secs(1.0).value(), nanoseconds(1'000'000'000));
  EXPECT_EQ(duration_from_secs(0.5).value(), nanoseconds(500'000'000));
  EXPECT_EQ(duration_from_secs(0.2).value(), nanoseconds(200'000'000));
  EXPECT_EQ(duration_from_secs(1e-9).value(), nanoseconds(1));
  EXPECT_EQ(duration_from_secs(3.000000001).value(), nanoseconds(3'000'000'001));
  EXPECT_EQ(duration_from_secs(0.0).value(), nanoseconds(0));
  EXPECT_EQ(duration_from_secs(-0.0).value(), nanoseconds(0));
  // Large whole seconds keep their fraction: 2^32 + 0.25 s.
  EXPECT_EQ(duration_from_secs(4294967296.25).value(), nanoseconds(4'294'967'296'250'000'000));
}

TEST(DurationFromSecs, RejectsNegativeNanAndTooBig) {
  EXPECT_EQ(duration_from_secs(-1.0).error(), DurationError::Negative);
  EXPECT_EQ(duration_from_secs(-1e-12).error(), DurationError::Negative);
  EXPECT_EQ(duration_from_secs(std::nan("")).error(), DurationError::TooBigOrNan);
  EXPECT_EQ(duration_from_secs(std::numeric_limits<double>::infinity()).error(), DurationError::TooBigOrNan);
  EXPECT_EQ(duration_from_secs(-std::numeric_limits<double>::infinity()).error(), DurationError::Negative);
  EXPECT_EQ(duration_from_secs(1e19).error(), DurationError::TooBigOrNan);
  EXPECT_EQ(duration_from_secs(9.3e9).error(), DurationError::TooBigOrNan);
}

TEST(DurationFromSecs, ErrorTexts) {
  EXPECT_EQ(duration_error_text(DurationError::Negative),
            "cannot convert float seconds to Duration: value is negative");
  EXPECT_EQ(duration_error_text(DurationError::TooBigOrNan),
            "cannot convert float seconds to Duration: value is either too big or NaN");
}

// The largest time-outs Python lets through, scaled by the counts that the
// wait budgets use, or added to the present, end at the largest value
// instead of wrapping to a negative one.
TEST(SaturatingArithmetic, ProductsAndSumsStopAtTheLargestDuration) {
  const nanoseconds big = duration_from_secs(5e9).value();
  EXPECT_EQ(saturating_mul(big, 5), nanoseconds::max());
  EXPECT_EQ(saturating_mul(nanoseconds::max(), 2), nanoseconds::max());
  EXPECT_EQ(saturating_mul(nanoseconds(500'000'000), 5), nanoseconds(2'500'000'000));
  EXPECT_EQ(saturating_mul(nanoseconds(3), std::numeric_limits<std::uint64_t>::max()), nanoseconds::max());
  EXPECT_EQ(saturating_mul(nanoseconds(7), 0), nanoseconds(0));
  EXPECT_EQ(saturating_mul(nanoseconds(-7), 3), nanoseconds(0));
  // The exact edge: max / 3 x 3 still fits, one more nanosecond does not.
  const nanoseconds third(std::numeric_limits<std::int64_t>::max() / 3);
  EXPECT_EQ(saturating_mul(third, 3), third * 3);
  EXPECT_EQ(saturating_mul(third + nanoseconds(1), 3), nanoseconds::max());

  EXPECT_EQ(saturating_add(big, nanoseconds(500'000'000)), big + nanoseconds(500'000'000));
  EXPECT_EQ(saturating_add(nanoseconds::max(), nanoseconds(1)), nanoseconds::max());
  EXPECT_EQ(saturating_add(nanoseconds::max() - nanoseconds(1), nanoseconds(1)), nanoseconds::max());
  EXPECT_EQ(saturating_add(nanoseconds(-5), nanoseconds(2)), nanoseconds(2));
}

TEST(SaturatingArithmetic, DeadlinesStopAtTheClocksLastTimePoint) {
  using Clock = std::chrono::steady_clock;
  const auto now = Clock::now();
  const nanoseconds longest = duration_from_secs(9223372035.0).value();
  const auto deadline = saturating_add<Clock>(now, longest);
  EXPECT_EQ(deadline, Clock::time_point::max());
  EXPECT_GT(deadline, now);
  EXPECT_EQ(saturating_add<Clock>(now, nanoseconds(20)), now + nanoseconds(20));
  EXPECT_EQ(saturating_add<Clock>(now, nanoseconds(-20)), now);
  EXPECT_EQ(saturating_add<Clock>(Clock::time_point::max(), nanoseconds(1)), Clock::time_point::max());
}

}  // namespace
}  // namespace corvantic::util
