// The description location parser on arbitrary bytes taken as text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "genicam/url.hpp"
#include "util/text.hpp"

using namespace corvantic;
using namespace corvantic::util;
using namespace corvantic::genicam;

namespace {

bool starts_with_ci(std::string_view s, std::string_view lower_prefix) {
  if (s.size() < lower_prefix.size()) return false;
  for (std::size_t i = 0; i < lower_prefix.size(); ++i) {
    const char c = s[i];
    const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != lower_prefix[i]) return false;
  }
  return true;
}

// Hexadecimal digits without the 0x prefix.
std::string bare_hex(std::uint64_t v) { return hex(v).substr(2); }

bool is_graphic_ascii(char c) { return c > ' ' && c < 0x7F; }

void check_failure(std::string_view text, const std::string& message) {
  if (message == "missing address" || message == "missing size") return;
  for (const std::string_view field : {"bad address: ", "bad size: "}) {
    if (!message.starts_with(field)) continue;
    const std::string_view reason = std::string_view(message).substr(field.size());
    if (reason != "cannot parse integer from empty string" && reason != "invalid digit found in string" &&
        reason != "number too large to fit in target type") {
      __builtin_trap();
    }
    return;
  }
  constexpr std::string_view UNRECOGNIZED = "unrecognized GenICam URL '";
  if (!message.starts_with(UNRECOGNIZED) || !message.ends_with("'")) __builtin_trap();
  // The quoted text is the input's own, and none of the schemes.
  const std::string_view quoted =
      std::string_view(message).substr(UNRECOGNIZED.size(), message.size() - UNRECOGNIZED.size() - 1);
  if (text.find(quoted) == std::string_view::npos) __builtin_trap();
  for (const std::string_view scheme : {"file:", "http://", "https://"}) {
    if (starts_with_ci(quoted, scheme)) __builtin_trap();
  }
  if (quoted.size() > 5 && starts_with_ci(quoted, "local:")) __builtin_trap();
}

struct CheckLocation {
  std::string_view text;

  void operator()(const GenicamUrl::Local& local) const {
    if (local.file_name.find(';') != std::string::npos) __builtin_trap();
    // The canonical form of the location parses back to it.
    const std::string canonical =
        "Local:" + local.file_name + ";" + bare_hex(local.address) + ";" + bare_hex(local.size);
    const auto again = parse_genicam_url(canonical);
    if (!again || !std::holds_alternative<GenicamUrl::Local>(again->location)) __builtin_trap();
    if (std::get<GenicamUrl::Local>(again->location) != local) __builtin_trap();
  }

  void operator()(const GenicamUrl::File& file) const {
    if (file.path.starts_with("//")) __builtin_trap();
    if (text.find(file.path) == std::string_view::npos) __builtin_trap();
    // With nothing at its end that trimming could take, it parses back.
    if (!file.path.empty() && !is_graphic_ascii(file.path.back())) return;
    const auto again = parse_genicam_url("file:" + file.path);
    if (!again || std::get_if<GenicamUrl::File>(&again->location) == nullptr) __builtin_trap();
    if (std::get<GenicamUrl::File>(again->location) != file) __builtin_trap();
  }

  void operator()(const GenicamUrl::Web& web) const {
    if (!starts_with_ci(web.url, "http://") && !starts_with_ci(web.url, "https://")) __builtin_trap();
    if (text.find(web.url) == std::string_view::npos) __builtin_trap();
    // Parsing the kept text again only trims what the NULs had shielded.
    const auto again = parse_genicam_url(web.url);
    if (!again || std::get_if<GenicamUrl::Web>(&again->location) == nullptr) __builtin_trap();
    if (!web.url.starts_with(std::get<GenicamUrl::Web>(again->location).url)) __builtin_trap();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto url = parse_genicam_url(text);
  if (!url) {
    check_failure(text, url.error());
    return 0;
  }
  std::visit(CheckLocation{text}, url->location);
  return 0;
}
