// Text forms of a device description (see node_text.hpp).
#include "genicam/node_text.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <system_error>

namespace corvantic::genicam::node_text {

namespace {

// The power of ten of the leading significant digit of a well-formed
// decimal literal (sign, digits, optional '.', optional exponent); only its
// sign matters, to tell overflow from underflow.
[[nodiscard]] std::int64_t decimal_order(std::string_view text) {
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
  const auto e = text.find_first_of("eE");
  std::int64_t exponent = 0;
  if (e != std::string_view::npos) {
    auto digits = text.substr(e + 1);
    const bool negative = !digits.empty() && digits.front() == '-';
    if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) digits.remove_prefix(1);
    for (const char ch : digits) exponent = std::min<std::int64_t>(exponent * 10 + (ch - '0'), 1'000'000'000);
    if (negative) exponent = -exponent;
    text = text.substr(0, e);
  }
  const auto dot = std::min(text.find('.'), text.size());
  const auto first = text.find_first_not_of("0.");
  if (first == std::string_view::npos) return -1;  // zero never overflows
  const auto order =
      first < dot ? static_cast<std::int64_t>(dot - first - 1) : -static_cast<std::int64_t>(first - dot);
  return order + exponent;
}

}  // namespace

std::optional<std::int64_t> parse_integer_literal(std::string_view text) {
  text = trim(text);
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    auto digits = text.substr(2);
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    if (digits.empty()) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
    if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return static_cast<std::int64_t>(value);
  }
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return std::nullopt;
  }
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<double> parse_float_literal(std::string_view text) {
  text = trim(text);
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return std::nullopt;
  }
  if (text.empty() || text.find('(') != std::string_view::npos) return std::nullopt;
  double value = 0.0;
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
  // Out-of-range decimals are still literals: they round to infinity or zero.
  if (ec == std::errc::result_out_of_range && end == text.data() + text.size()) {
    const bool negative = text.front() == '-';
    const double magnitude = decimal_order(text) < 0 ? 0.0 : std::numeric_limits<double>::infinity();
    return negative ? -magnitude : magnitude;
  }
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace corvantic::genicam::node_text
