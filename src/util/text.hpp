// Text helpers shared by every layer: lossy UTF-8 decoding of device text
// fields and the hexadecimal forms used in messages.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace corvantic::util {

// Decodes `bytes` as UTF-8, replacing every maximal invalid subsequence with
// U+FFFD (the substitution practice Python's "replace" error handler uses).
[[nodiscard]] std::string decode_utf8_lossy(std::span<const std::uint8_t> bytes);

// Whether `text` is valid UTF-8 throughout (no overlongs, surrogates or
// values above U+10FFFF).
[[nodiscard]] bool is_valid_utf8(std::string_view text);

// A text field read from a device: the bytes before the first zero byte (the
// whole field when it has none), decoded with decode_utf8_lossy. No trimming.
[[nodiscard]] std::string decode_text_field(std::span<const std::uint8_t> field);

// "0x" followed by at least four lowercase hexadecimal digits: 0x0084, 0x12345.
[[nodiscard]] std::string hex4(std::uint64_t value);

// Dotted decimal text of an IPv4 address held first octet most significant.
[[nodiscard]] std::string ipv4_string(std::uint32_t address);

// "0x" followed by lowercase hexadecimal digits, as few as needed: 0x0, 0x1f.
[[nodiscard]] std::string hex(std::uint64_t value);

}  // namespace corvantic::util
