// The zip reader on arbitrary bytes: once as a whole archive, and once as the
// deflate data of the only entry of an otherwise well-formed archive, so that
// the inflating path sees arbitrary streams too.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "genicam/url.hpp"

using namespace corvantic;
using namespace corvantic::genicam;

namespace {

void check_failure(const std::string& message) {
  for (const std::string_view fixed :
       {"no end-of-central-directory record", "empty archive", "truncated archive", "bad central directory",
        "archive entry too large", "bad local file header", "truncated archive data"}) {
    if (message == fixed) return;
  }
  constexpr std::string_view UNSUPPORTED = "unsupported compression method ";
  if (message.starts_with(UNSUPPORTED)) {
    const std::string_view number = std::string_view(message).substr(UNSUPPORTED.size());
    if (number.empty() || number.size() > 5) __builtin_trap();
    for (const char c : number) {
      if (c < '0' || c > '9') __builtin_trap();
    }
    if (number == "0" || number == "8") __builtin_trap();
    return;
  }
  // Deflate failures name what went wrong.
  if (!message.starts_with("deflate: ") || message.size() == 9) __builtin_trap();
}

void put_le16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put_le32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  put_le16(b, at, static_cast<std::uint16_t>(v));
  put_le16(b, at + 2, static_cast<std::uint16_t>(v >> 16));
}

// A one-entry archive whose entry, unnamed and deflated, holds `stream`.
std::vector<std::uint8_t> deflated_archive(std::span<const std::uint8_t> stream) {
  const std::size_t central = 30 + stream.size();
  std::vector<std::uint8_t> b(central + 46 + 22, 0);
  put_le32(b, 0, 0x04034b50);
  put_le16(b, 8, 8);
  std::copy(stream.begin(), stream.end(), b.begin() + 30);
  put_le32(b, central, 0x02014b50);
  put_le16(b, central + 10, 8);
  put_le32(b, central + 20, static_cast<std::uint32_t>(stream.size()));
  put_le32(b, central + 24, static_cast<std::uint32_t>(stream.size()));  // a guess, as good as any
  const std::size_t end = central + 46;
  put_le32(b, end, 0x06054b50);
  put_le16(b, end + 8, 1);
  put_le16(b, end + 10, 1);
  put_le32(b, end + 12, 46);
  put_le32(b, end + 16, static_cast<std::uint32_t>(central));
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);

  const auto entry = unzip_first_entry(input);
  if (entry) {
    // No archive shorter than an end record; an entry is either a stored
    // slice of the input or an inflated stream, bounded either way.
    if (size < 22) __builtin_trap();
    if (entry->size() > MAX_ARCHIVE_ENTRY && entry->size() > size) __builtin_trap();
  } else {
    check_failure(entry.error());
  }

  const auto inflated = unzip_first_entry(deflated_archive(input));
  if (inflated) {
    if (inflated->size() > MAX_ARCHIVE_ENTRY) __builtin_trap();
  } else if (!inflated.error().starts_with("deflate: ") || inflated.error().size() == 9) {
    // The archive around the stream is sound: only inflating can fail.
    __builtin_trap();
  }
  return 0;
}
