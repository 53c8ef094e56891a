// The GigE Vision pixel formats this client knows: one table with each
// format's code, name and layout in memory. Frame names its format from it,
// and the Python image module reads it to turn frames into arrays and
// pictures.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace corvantic::gige::stream {

// How a format's pixels lie in memory, row after row without padding.
enum class PixelLayout : std::uint8_t {
  Mono,     // one value per pixel
  BayerRG,  // one value per pixel of a colour mosaic whose 2x2 tile has
  BayerGR,  // these two colours in its first row (the other row holds the
  BayerGB,  // remaining two)
  BayerBG,
  RGB,     // three 8-bit values per pixel, in this order
  BGR,
  YUV422,  // pixel pairs sharing their colour values: no array of pixels
};

// The layout's name as Python sees it: "Mono", "BayerRG", ..., "YUV422".
[[nodiscard]] std::string_view pixel_layout_name(PixelLayout layout);

struct PixelFormat {
  std::uint32_t code;
  std::string_view name;
  PixelLayout layout;
  // Bits of each value that carry the pixel: 10 for Mono10, whose values
  // take two bytes each.
  std::uint8_t significant_bits;
  // Frames report this name as their pixel format; the formats without it
  // report their code in hexadecimal, although they have a name here.
  bool frame_name;
};

// Bits 16-23 of a GigE Vision pixel format code.
[[nodiscard]] constexpr std::uint32_t bits_per_pixel(std::uint32_t pixel_format_code) {
  return (pixel_format_code >> 16) & 0xFF;
}

// Every known format, ordered by code.
inline constexpr std::array<PixelFormat, 23> PIXEL_FORMATS = {{
    {0x01080001, "Mono8", PixelLayout::Mono, 8, true},
    {0x01080008, "BayerGR8", PixelLayout::BayerGR, 8, false},
    {0x01080009, "BayerRG8", PixelLayout::BayerRG, 8, true},
    {0x0108000A, "BayerGB8", PixelLayout::BayerGB, 8, true},
    {0x0108000B, "BayerBG8", PixelLayout::BayerBG, 8, false},
    {0x01100003, "Mono10", PixelLayout::Mono, 10, true},
    {0x01100005, "Mono12", PixelLayout::Mono, 12, true},
    {0x01100007, "Mono16", PixelLayout::Mono, 16, true},
    {0x0110000C, "BayerGR10", PixelLayout::BayerGR, 10, false},
    {0x0110000D, "BayerRG10", PixelLayout::BayerRG, 10, false},
    {0x0110000E, "BayerGB10", PixelLayout::BayerGB, 10, false},
    {0x0110000F, "BayerBG10", PixelLayout::BayerBG, 10, false},
    {0x01100010, "BayerGR12", PixelLayout::BayerGR, 12, false},
    {0x01100011, "BayerRG12", PixelLayout::BayerRG, 12, false},
    {0x01100012, "BayerGB12", PixelLayout::BayerGB, 12, false},
    {0x01100013, "BayerBG12", PixelLayout::BayerBG, 12, false},
    {0x0110002E, "BayerGR16", PixelLayout::BayerGR, 16, false},
    {0x0110002F, "BayerRG16", PixelLayout::BayerRG, 16, false},
    {0x01100030, "BayerGB16", PixelLayout::BayerGB, 16, false},
    {0x01100031, "BayerBG16", PixelLayout::BayerBG, 16, false},
    {0x02100032, "YUV422_8", PixelLayout::YUV422, 8, true},
    {0x02180014, "RGB8", PixelLayout::RGB, 8, true},
    {0x02180015, "BGR8", PixelLayout::BGR, 8, true},
}};

// The table's entry for `code`, or nothing.
[[nodiscard]] const PixelFormat* find_pixel_format(std::uint32_t code);

// The name frames report for a format ("Mono8") where it has one of those,
// else "0x" and the code in eight lowercase hexadecimal digits. Either form
// fits std::string's inline buffer, so this does not allocate.
[[nodiscard]] std::string pixel_format_name(std::uint32_t pixel_format_code);

// A format's pixels as an array: rows of width x channels values, each
// value_bytes wide and little-endian.
struct PixelArrayShape {
  std::uint32_t channels;
  std::uint32_t value_bytes;
};

// The array shape of a format's pixels; nothing for a layout that is no
// array of pixels.
[[nodiscard]] std::optional<PixelArrayShape> pixel_array_shape(const PixelFormat& format);

// Widths times heights of frames from the wire need more than 64 bits.
__extension__ using Uint128 = unsigned __int128;

// An image as an array over the start of a frame's bytes: `rows` rows of
// `columns` pixels of shape.channels values.
struct PixelArray {
  std::uint32_t rows;
  std::uint32_t columns;
  PixelArrayShape shape;

  // The bytes it covers, which for the widest geometry a leader can give
  // take more than 64 bits.
  [[nodiscard]] constexpr Uint128 bytes() const {
    return Uint128{rows} * columns * shape.channels * shape.value_bytes;
  }
  // Whether `available` bytes hold all of it (a frame that ended early may not).
  [[nodiscard]] constexpr bool covered_by(std::uint64_t available) const { return bytes() <= available; }
};

// Why an image is no array, in the order checked.
enum class PixelArrayProblem : std::uint8_t {
  NoLayout,    // its format is unknown or has no array shape
  NoGeometry,  // its width or height is 0
};

// The image of `width` x `height` pixels in format `code` as an array.
[[nodiscard]] std::expected<PixelArray, PixelArrayProblem> pixel_array(std::uint32_t code, std::uint32_t width,
                                                                      std::uint32_t height);

}  // namespace corvantic::gige::stream
