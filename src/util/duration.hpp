// Exact conversion of float seconds (as Python passes time-outs) to
// durations, and saturating arithmetic on durations and time points.
//
// Every time-out that reaches the core can be as large as a duration holds
// (about 292 years), so a time-out scaled by a count, or added to the
// present time, can leave the range of std::chrono::nanoseconds. Such sums
// and products end at the largest value instead: a wait that long is, for
// every purpose here, a wait without end.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <limits>
#include <string_view>
#include <type_traits>

namespace corvantic::util {

enum class DurationError { Negative, TooBigOrNan };

// "cannot convert float seconds to Duration: value is negative", or
// "... value is either too big or NaN".
[[nodiscard]] std::string_view duration_error_text(DurationError error);

// Rounds `seconds` to the nearest nanosecond. Fails for negative values
// (-0.0 is zero, not negative), NaN, infinities and values beyond what
// std::chrono::nanoseconds holds.
[[nodiscard]] std::expected<std::chrono::nanoseconds, DurationError> duration_from_secs(double seconds);

// d x factor for d >= 0, at most nanoseconds::max(). Negative inputs give 0.
[[nodiscard]] std::chrono::nanoseconds saturating_mul(std::chrono::nanoseconds d, std::uint64_t factor);
// a + b for a, b >= 0, at most nanoseconds::max(). Negative inputs count as 0.
[[nodiscard]] std::chrono::nanoseconds saturating_add(std::chrono::nanoseconds a, std::chrono::nanoseconds b);

// t + d for d >= 0, at most the clock's largest time point (a negative d
// counts as 0).
template <typename Clock>
[[nodiscard]] typename Clock::time_point saturating_add(typename Clock::time_point t, std::chrono::nanoseconds d) {
  using TimePoint = typename Clock::time_point;
  static_assert(std::is_same_v<typename TimePoint::duration, std::chrono::nanoseconds>,
                "time points count nanoseconds");
  if (d <= std::chrono::nanoseconds::zero()) return t;
  if (t.time_since_epoch() > TimePoint::max().time_since_epoch() - d) return TimePoint::max();
  return t + d;
}

// Seconds as a double, for logs and Python results.
[[nodiscard]] inline double to_secs(std::chrono::nanoseconds d) {
  return std::chrono::duration<double>(d).count();
}

}  // namespace corvantic::util
