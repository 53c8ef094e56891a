// Text forms of a device description: trimming of element text and the
// integer and floating-point literals of constants. Used by the node
// builder (node_build.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace corvantic::genicam::node_text {

// Without XML white space (and form feed, vertical tab) at both ends.
[[nodiscard]] inline std::string_view trim(std::string_view text) {
  constexpr auto is_space = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
  };
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

// Integer literal, after trimming: "0x" or "0X", an optional '+' and
// hexadecimal digits (taken as unsigned 64-bit and stored bit for bit, so
// 0xFFFFFFFFFFFFFFFF is -1); or an optional sign and decimal digits within
// the signed 64-bit range. Anything else is nothing.
[[nodiscard]] std::optional<std::int64_t> parse_integer_literal(std::string_view text);

// Floating-point literal, after trimming: an optional sign, then decimal
// digits with an optional '.' and exponent, or the words for infinity and
// NaN. Decimals beyond the double range round to infinity or zero.
// Hexadecimal forms are not floating-point literals.
[[nodiscard]] std::optional<double> parse_float_literal(std::string_view text);

}  // namespace corvantic::genicam::node_text
