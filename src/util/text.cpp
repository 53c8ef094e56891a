#include "util/text.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace corvantic::util {
namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

bool is_continuation(std::uint8_t b) { return (b & 0xC0) == 0x80; }

// Length of the valid UTF-8 sequence at the start of `s`, or, when it is not
// valid, the negated length of its maximal invalid prefix (at least 1). The
// range checks on the second byte reject overlongs, surrogates and values
// above U+10FFFF at the earliest byte that shows them.
int sequence_length(std::span<const std::uint8_t> s) {
  const std::uint8_t b0 = s[0];
  if (b0 < 0x80) return 1;
  int need;
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return -1;
  }
  for (int i = 1; i <= need; ++i) {
    if (static_cast<std::size_t>(i) >= s.size()) return -i;
    const std::uint8_t b = s[i];
    const bool ok = (i == 1) ? (b >= lo && b <= hi) : is_continuation(b);
    if (!ok) return -i;
  }
  return need + 1;
}

}  // namespace

std::string decode_utf8_lossy(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const int n = sequence_length(bytes.subspan(i));
    if (n > 0) {
      out.append(reinterpret_cast<const char*>(bytes.data() + i), static_cast<std::size_t>(n));
      i += static_cast<std::size_t>(n);
    } else {
      out.append(REPLACEMENT);
      i += static_cast<std::size_t>(-n);
    }
  }
  return out;
}

bool is_valid_utf8(std::string_view text) {
  const std::span bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    // ASCII runs, the bulk of any description, eight bytes at a time.
    while (i + 8 <= bytes.size()) {
      std::uint64_t word;
      std::memcpy(&word, bytes.data() + i, sizeof word);
      if ((word & 0x8080808080808080ULL) != 0) break;
      i += 8;
    }
    if (i == bytes.size()) break;
    const int n = sequence_length(bytes.subspan(i));
    if (n < 0) return false;
    i += static_cast<std::size_t>(n);
  }
  return true;
}

std::string decode_text_field(std::span<const std::uint8_t> field) {
  const auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
  return decode_utf8_lossy(field.first(static_cast<std::size_t>(end - field.begin())));
}

std::string hex4(std::uint64_t value) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%04llx", static_cast<unsigned long long>(value));
  return buf;
}

std::string ipv4_string(std::uint32_t address) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
                address & 0xFF);
  return buf;
}

std::string hex(std::uint64_t value) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(value));
  return buf;
}

}  // namespace corvantic::util
