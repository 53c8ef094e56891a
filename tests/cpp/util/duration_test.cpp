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

}  // namespace
}  // namespace corvantic::util
