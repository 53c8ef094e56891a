#include "gige/stream/pixel_format.hpp"

#include <algorithm>

namespace corvantic::gige::stream {

namespace {

constexpr bool has_array_shape(PixelLayout layout) { return layout != PixelLayout::YUV422; }
constexpr std::uint32_t channels(PixelLayout layout) {
  return layout == PixelLayout::RGB || layout == PixelLayout::BGR ? 3 : 1;
}

// What find_pixel_format and pixel_array_shape rely on.
constexpr bool consistent(const PixelFormat& format) {
  const std::uint32_t bits = bits_per_pixel(format.code);
  const std::uint32_t value_bits = bits / channels(format.layout);
  const bool whole_bytes = !has_array_shape(format.layout) || (value_bits % 8 == 0 && value_bits * channels(format.layout) == bits);
  return whole_bytes && format.significant_bits <= value_bits;
}
static_assert(std::ranges::is_sorted(PIXEL_FORMATS, std::ranges::less{}, &PixelFormat::code));
static_assert(std::ranges::all_of(PIXEL_FORMATS, consistent));

}  // namespace

std::string_view pixel_layout_name(PixelLayout layout) {
  switch (layout) {
    case PixelLayout::Mono: return "Mono";
    case PixelLayout::BayerRG: return "BayerRG";
    case PixelLayout::BayerGR: return "BayerGR";
    case PixelLayout::BayerGB: return "BayerGB";
    case PixelLayout::BayerBG: return "BayerBG";
    case PixelLayout::RGB: return "RGB";
    case PixelLayout::BGR: return "BGR";
    case PixelLayout::YUV422: return "YUV422";
  }
  return "unknown";
}

const PixelFormat* find_pixel_format(std::uint32_t code) {
  const auto found = std::ranges::lower_bound(PIXEL_FORMATS, code, std::ranges::less{}, &PixelFormat::code);
  return found != PIXEL_FORMATS.end() && found->code == code ? &*found : nullptr;
}

std::string pixel_format_name(std::uint32_t pixel_format_code) {
  const PixelFormat* format = find_pixel_format(pixel_format_code);
  if (format != nullptr && format->frame_name) return std::string(format->name);
  static constexpr std::string_view DIGITS = "0123456789abcdef";
  std::string text = "0x00000000";
  for (std::size_t i = 0; i < 8; ++i) text[9 - i] = DIGITS[(pixel_format_code >> (4 * i)) & 0xF];
  return text;
}

std::optional<PixelArrayShape> pixel_array_shape(const PixelFormat& format) {
  if (!has_array_shape(format.layout)) return std::nullopt;
  const std::uint32_t n = channels(format.layout);
  return PixelArrayShape{n, bits_per_pixel(format.code) / n / 8};
}

std::expected<PixelArray, PixelArrayProblem> pixel_array(std::uint32_t code, std::uint32_t width,
                                                        std::uint32_t height) {
  const PixelFormat* format = find_pixel_format(code);
  const std::optional<PixelArrayShape> shape = format ? pixel_array_shape(*format) : std::nullopt;
  if (!shape) return std::unexpected(PixelArrayProblem::NoLayout);
  if (width == 0 || height == 0) return std::unexpected(PixelArrayProblem::NoGeometry);
  return PixelArray{height, width, *shape};
}

}  // namespace corvantic::gige::stream
