#include "util/duration.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace corvantic::util {

std::string_view duration_error_text(DurationError error) {
  switch (error) {
    case DurationError::Negative:
      return "cannot convert float seconds to Duration: value is negative";
    case DurationError::TooBigOrNan:
      return "cannot convert float seconds to Duration: value is either too big or NaN";
  }
  return "cannot convert float seconds to Duration";
}

std::expected<std::chrono::nanoseconds, DurationError> duration_from_secs(double seconds) {
  if (std::isnan(seconds)) return std::unexpected(DurationError::TooBigOrNan);
  if (seconds < 0.0) return std::unexpected(DurationError::Negative);
  constexpr auto MAX_NS = std::numeric_limits<std::int64_t>::max();
  // Whole seconds and the fraction are split exactly (x - floor(x) is exact
  // for doubles); only the fraction is scaled, so no precision is lost on
  // the integral part.
  const double whole = std::floor(seconds);
  if (whole >= static_cast<double>(MAX_NS / 1'000'000'000)) return std::unexpected(DurationError::TooBigOrNan);
  const long double fraction = static_cast<long double>(seconds - whole);
  const auto nanos = static_cast<std::int64_t>(std::llroundl(fraction * 1e9L));
  const auto secs = static_cast<std::int64_t>(whole);
  if (secs > (MAX_NS - nanos) / 1'000'000'000) return std::unexpected(DurationError::TooBigOrNan);
  return std::chrono::nanoseconds(secs * 1'000'000'000 + nanos);
}

std::chrono::nanoseconds saturating_mul(std::chrono::nanoseconds d, std::uint64_t factor) {
  if (d <= std::chrono::nanoseconds::zero() || factor == 0) return std::chrono::nanoseconds::zero();
  const auto count = static_cast<std::uint64_t>(d.count());
  constexpr auto MAX = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (count > MAX / factor) return std::chrono::nanoseconds::max();
  return std::chrono::nanoseconds(static_cast<std::int64_t>(count * factor));
}

std::chrono::nanoseconds saturating_add(std::chrono::nanoseconds a, std::chrono::nanoseconds b) {
  a = std::max(a, std::chrono::nanoseconds::zero());
  b = std::max(b, std::chrono::nanoseconds::zero());
  if (a > std::chrono::nanoseconds::max() - b) return std::chrono::nanoseconds::max();
  return a + b;
}

}  // namespace corvantic::util
