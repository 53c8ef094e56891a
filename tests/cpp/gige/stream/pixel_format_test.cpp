#include "gige/stream/pixel_format.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <utility>

namespace corvantic::gige::stream {
namespace {

TEST(PixelFormat, LayoutsAndArrayShapesByCode) {
  struct Case {
    std::uint32_t code;
    std::string_view name;
    std::string_view layout;
    std::uint32_t significant_bits;
    std::uint32_t channels;  // 0: no array shape
    std::uint32_t value_bytes;
  };
  const Case cases[] = {
      {0x01080001, "Mono8", "Mono", 8, 1, 1},          {0x01100003, "Mono10", "Mono", 10, 1, 2},
      {0x01100005, "Mono12", "Mono", 12, 1, 2},        {0x01100007, "Mono16", "Mono", 16, 1, 2},
      {0x01080008, "BayerGR8", "BayerGR", 8, 1, 1},    {0x0108000B, "BayerBG8", "BayerBG", 8, 1, 1},
      {0x0110000D, "BayerRG10", "BayerRG", 10, 1, 2},  {0x01100012, "BayerGB12", "BayerGB", 12, 1, 2},
      {0x01100031, "BayerBG16", "BayerBG", 16, 1, 2},  {0x02180014, "RGB8", "RGB", 8, 3, 1},
      {0x02180015, "BGR8", "BGR", 8, 3, 1},            {0x02100032, "YUV422_8", "YUV422", 8, 0, 0},
  };
  for (const Case& c : cases) {
    const PixelFormat* format = find_pixel_format(c.code);
    ASSERT_NE(format, nullptr) << std::hex << c.code;
    EXPECT_EQ(format->name, c.name);
    EXPECT_EQ(pixel_layout_name(format->layout), c.layout) << c.name;
    EXPECT_EQ(format->significant_bits, c.significant_bits) << c.name;
    const auto shape = pixel_array_shape(*format);
    EXPECT_EQ(shape.has_value(), c.channels != 0) << c.name;
    if (shape) {
      EXPECT_EQ(shape->channels, c.channels) << c.name;
      EXPECT_EQ(shape->value_bytes, c.value_bytes) << c.name;
    }
  }
}

TEST(PixelFormat, FramesNameOnlyTheirNineFormats) {
  const std::set<std::string_view> frame_names = {"Mono8",    "Mono10", "Mono12", "Mono16",  "BayerRG8",
                                                  "BayerGB8", "RGB8",   "BGR8",   "YUV422_8"};
  std::set<std::string_view> named;
  for (const PixelFormat& format : PIXEL_FORMATS) {
    const std::string shown = pixel_format_name(format.code);
    if (frame_names.contains(format.name)) {
      EXPECT_EQ(shown, format.name);
      named.insert(format.name);
    } else {
      EXPECT_EQ(shown.substr(0, 2), "0x") << format.name;
      EXPECT_EQ(shown.size(), 10u) << format.name;
    }
  }
  EXPECT_EQ(named, frame_names);
  EXPECT_EQ(pixel_format_name(0x01080008), "0x01080008");  // BayerGR8
}

TEST(PixelFormat, UnknownCodesAreNotFound) {
  for (const std::uint32_t code : {0u, 0x01080002u, 0x01080000u, 0x02180016u, 0xFFFFFFFFu}) {
    EXPECT_EQ(find_pixel_format(code), nullptr) << std::hex << code;
  }
}

TEST(PixelArray, ShapesAnImageAndTheBytesItCovers) {
  const auto mono = pixel_array(0x01100007, 4, 3);  // Mono16
  ASSERT_TRUE(mono.has_value());
  EXPECT_EQ((std::pair{mono->rows, mono->columns}), (std::pair{3u, 4u}));
  EXPECT_EQ((std::pair{mono->shape.channels, mono->shape.value_bytes}), (std::pair{1u, 2u}));
  EXPECT_EQ(mono->bytes(), 24u);
  EXPECT_TRUE(mono->covered_by(24));
  EXPECT_FALSE(mono->covered_by(23));
  const auto rgb = pixel_array(0x02180015, 5, 2);  // BGR8
  ASSERT_TRUE(rgb.has_value());
  EXPECT_EQ(rgb->bytes(), 30u);
  // 2^64 - 2^33 + 1 pixels of 3 bytes: more than any 64-bit count of bytes.
  const auto widest = pixel_array(0x02180014, 0xFFFFFFFF, 0xFFFFFFFF);
  ASSERT_TRUE(widest.has_value());
  EXPECT_EQ(widest->bytes(), Uint128{0xFFFFFFFF} * 0xFFFFFFFF * 3);
  EXPECT_FALSE(widest->covered_by(~std::uint64_t{0}));
}

TEST(PixelArray, RefusesInTheOrderChecked) {
  struct Case {
    std::uint32_t code, width, height;
    PixelArrayProblem problem;
  };
  const Case cases[] = {
      {0x02100032, 4, 4, PixelArrayProblem::NoLayout},  // YUV422_8
      {0x010C0099, 0, 0, PixelArrayProblem::NoLayout},  // unknown, and no geometry either
      {0x01080001, 0, 4, PixelArrayProblem::NoGeometry},
      {0x01080001, 4, 0, PixelArrayProblem::NoGeometry},
  };
  for (const Case& c : cases) {
    const auto array = pixel_array(c.code, c.width, c.height);
    ASSERT_FALSE(array.has_value()) << std::hex << c.code << std::dec << " " << c.width << "x" << c.height;
    EXPECT_EQ(array.error(), c.problem) << std::hex << c.code << std::dec << " " << c.width << "x" << c.height;
  }
}

}  // namespace
}  // namespace corvantic::gige::stream
