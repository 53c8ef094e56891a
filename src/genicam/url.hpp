// Where a device keeps its GenICam description, and the reader for the zip
// archives it is often packed in.
//
// The location text comes from a bootstrap register and takes one of three
// forms (scheme case-insensitive, everything after it case kept):
//
//   Local:<file name>;<address hex>;<size hex>[;ignored...]  in device memory
//   File:[//...]<path>                                       on the host
//   http://... or https://...                                on a web server
//
// unzip_first_entry reads only the first central-directory record of an
// archive and returns that entry's bytes, stored or raw-DEFLATE compressed.
// Both functions are pure and take untrusted input: every offset and length
// is checked against the input before use, and inflating stops at
// MAX_ARCHIVE_ENTRY bytes of output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace corvantic::genicam {

// The largest archive entry accepted, and the most bytes inflating may produce.
inline constexpr std::size_t MAX_ARCHIVE_ENTRY = 64 * 1024 * 1024;

struct GenicamUrl {
  // The document lies in device memory.
  struct Local {
    std::string file_name;  // may be empty
    std::uint64_t address = 0;
    std::uint64_t size = 0;
    bool operator==(const Local&) const = default;
  };
  // The document is a file of the host computer.
  struct File {
    std::string path;
    bool operator==(const File&) const = default;
  };
  // The document is on a web server; `url` is the whole trimmed location text.
  struct Web {
    std::string url;
    bool operator==(const Web&) const = default;
  };

  std::variant<Local, File, Web> location;

  bool operator==(const GenicamUrl&) const = default;
};

// Parses a location text. Surrounding Unicode white space and then NULs are
// ignored. On failure the message names the fault: "missing address",
// "bad size: invalid digit found in string", "unrecognized GenICam URL '...'".
[[nodiscard]] std::expected<GenicamUrl, std::string> parse_genicam_url(std::string_view text);

// Whether a location text holds nothing but what parse_genicam_url trims:
// a location register the device leaves unused.
[[nodiscard]] bool is_blank_location(std::string_view text);

// The bytes of the first entry of a zip archive, or a message such as
// "truncated archive data" or "deflate: invalid block type".
[[nodiscard]] std::expected<std::vector<std::uint8_t>, std::string> unzip_first_entry(
    std::span<const std::uint8_t> archive);

// Whether `name` ends in ".zip", compared ASCII-case-insensitively.
[[nodiscard]] bool ends_with_zip(std::string_view name);

}  // namespace corvantic::genicam
