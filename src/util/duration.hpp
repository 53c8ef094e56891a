// Exact conversion of float seconds (as Python passes time-outs) to durations.
#pragma once

#include <chrono>
#include <expected>
#include <string_view>

namespace corvantic::util {

enum class DurationError { Negative, TooBigOrNan };

// "cannot convert float seconds to Duration: value is negative", or
// "... value is either too big or NaN".
[[nodiscard]] std::string_view duration_error_text(DurationError error);

// Rounds `seconds` to the nearest nanosecond. Fails for negative values
// (-0.0 is zero, not negative), NaN, infinities and values beyond what
// std::chrono::nanoseconds holds.
[[nodiscard]] std::expected<std::chrono::nanoseconds, DurationError> duration_from_secs(double seconds);

// Seconds as a double, for logs and Python results.
[[nodiscard]] inline double to_secs(std::chrono::nanoseconds d) {
  return std::chrono::duration<double>(d).count();
}

}  // namespace corvantic::util
