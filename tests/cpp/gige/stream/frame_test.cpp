#include "gige/stream/frame.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>

#include "gige/stream/buffer_pool.hpp"

namespace corvantic::gige::stream {
namespace {

constexpr std::uint64_t MAX64 = std::numeric_limits<std::uint64_t>::max();

TEST(FrameStatus, ValuesAndNames) {
  struct Case {
    FrameStatus status;
    int value;
    std::string_view name;
  };
  const Case cases[] = {
      {FrameStatus::Complete, 0, "Complete"},
      {FrameStatus::MissingPackets, 1, "MissingPackets"},
      {FrameStatus::Timeout, 2, "Timeout"},
      {FrameStatus::Aborted, 3, "Aborted"},
      {FrameStatus::WrongPacketId, 4, "WrongPacketId"},
      {FrameStatus::PayloadUnsupported, 5, "PayloadUnsupported"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(static_cast<int>(c.status), c.value);
    EXPECT_EQ(frame_status_name(c.status), c.name);
  }
}

TEST(Frame, NamesKnownPixelFormatsWithTheirBitsPerPixel) {
  struct Case {
    std::uint32_t code;
    std::string_view name;
    std::uint32_t bits;
  };
  const Case cases[] = {
      {0x01080001, "Mono8", 8},     {0x01100003, "Mono10", 16},  {0x01100005, "Mono12", 16},
      {0x01100007, "Mono16", 16},   {0x01080009, "BayerRG8", 8}, {0x0108000A, "BayerGB8", 8},
      {0x02180014, "RGB8", 24},     {0x02180015, "BGR8", 24},    {0x02100032, "YUV422_8", 16},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pixel_format_name(c.code), c.name) << std::hex << c.code;
    EXPECT_EQ(bits_per_pixel(c.code), c.bits) << c.name;
  }
}

TEST(Frame, NamesUnknownPixelFormatsByTenCharacterLowercaseHex) {
  // Bits 16-23 hold 12, yet the code is not in the table.
  EXPECT_EQ(pixel_format_name(0x010C0099), "0x010c0099");
  EXPECT_EQ(bits_per_pixel(0x010C0099), 12u);
  EXPECT_EQ(pixel_format_name(0), "0x00000000");
  EXPECT_EQ(pixel_format_name(0xABCDEF01), "0xabcdef01");
  // One bit away from Mono10.
  EXPECT_EQ(pixel_format_name(0x01100002), "0x01100002");
}

TEST(Frame, TimestampFromTicks) {
  EXPECT_EQ(timestamp_ns(250'000'000, 125'000'000, 7), 2'000'000'000u);
  EXPECT_EQ(timestamp_ns(1, 3, 0), 333'333'333u);  // truncated
  EXPECT_EQ(timestamp_ns(1'000'000'001, 1'000'000'000, 0), 1'000'000'001u);
  // Without a tick frequency the host time stands in.
  EXPECT_EQ(timestamp_ns(250'000'000, 0, 1'700'000'000'123'456'789), 1'700'000'000'123'456'789u);
}

TEST(Frame, TimestampFractionIsExactForHugeRemainders) {
  // (ticks mod f) x 10^9 needs more than 64 bits in each case.
  EXPECT_EQ(timestamp_ns(MAX64, std::uint64_t{1} << 40, 0), 16'777'215'999'999'999u);
  EXPECT_EQ(timestamp_ns(MAX64 - 1, MAX64, 0), 999'999'999u);
  EXPECT_EQ(timestamp_ns(MAX64, MAX64, 0), 1'000'000'000u);
  EXPECT_EQ(timestamp_ns(MAX64 / 2, MAX64, 0), 499'999'999u);
}

TEST(FrameBuffer, PacketStatesAreFreshAfterResetAndKeepTheirStorage) {
  auto pool = BufferPool::create(1, 64);
  FrameBuffer* first = nullptr;
  const PacketState* storage = nullptr;
  {
    auto taken = pool->take();
    ASSERT_TRUE(taken);
    first = taken->get();
    (*taken)->reset_packets(100);
    storage = (*taken)->packets().data();
    auto& p = (*taken)->packets()[42];
    p.received = true;
    p.resend_requested = true;
    p.eligible_at = PacketState::Clock::now();
    (*taken)->packets().resize(60);
  }
  auto again = pool->take();
  ASSERT_TRUE(again);
  ASSERT_EQ(again->get(), first);
  auto& packets = (*again)->packets();
  EXPECT_GE(packets.capacity(), 100u);
  (*again)->reset_packets(80);
  EXPECT_EQ(packets.data(), storage);
  const auto fresh = [](const PacketState& p) { return p == PacketState{}; };
  EXPECT_TRUE(std::all_of(packets.begin(), packets.end(), fresh)) << "entries left from the last frame";
  EXPECT_FALSE(packets[42].has_eligible_at());
  // Growing back within the capacity appends fresh entries in place.
  packets[79].received = true;
  packets.resize(100);
  EXPECT_EQ(packets.data(), storage);
  EXPECT_TRUE(packets[79].received);
  EXPECT_EQ(packets[99], PacketState{});
}

TEST(Frame, DataCoversHighWaterClampedToThePayload) {
  auto pool = BufferPool::create(1, 100);
  using Case = std::pair<std::uint64_t, std::size_t>;  // high water, bytes of data
  for (const auto& [high_water, expected] : {Case{0, 0}, {37, 37}, {100, 100}, {101, 100}, {MAX64, 100}}) {
    auto taken = pool->take();
    ASSERT_TRUE(taken);
    (*taken)->info.high_water = high_water;
    const Frame frame(std::move(*taken));
    EXPECT_EQ(frame.data().size(), expected) << high_water;
    EXPECT_EQ(frame.data().data(), frame.buffer().data().data());
  }
}

// A buffer that carried a frame with a leader, reused for a frame without one:
// the leader fields read 0, and the data holds the old bytes where nothing
// was written this time.
TEST(Frame, WithoutLeaderOnARecycledBuffer) {
  auto pool = BufferPool::create(1, 8);
  {
    auto taken = pool->take();
    ASSERT_TRUE(taken);
    auto& buffer = **taken;
    EXPECT_TRUE(std::all_of(buffer.data().begin(), buffer.data().end(), [](auto b) { return b == 0; }));
    std::fill(buffer.data().begin(), buffer.data().end(), 0xAA);
    buffer.info = FrameInfo{.frame_id = 1, .width = 4, .height = 2, .x_offset = 1, .y_offset = 1,
                            .pixel_format_code = 0x01080001, .timestamp_ticks = 5, .high_water = 8};
    const Frame frame(std::move(*taken));
  }
  auto taken = pool->take();
  ASSERT_TRUE(taken);
  auto& buffer = **taken;
  buffer.data()[0] = 0x11;
  buffer.data()[5] = 0x55;
  buffer.info.frame_id = 2;
  buffer.info.status = FrameStatus::Timeout;
  buffer.info.received_size = 2;
  buffer.info.high_water = 6;
  const Frame frame(std::move(*taken));
  EXPECT_EQ(frame.width(), 0u);
  EXPECT_EQ(frame.height(), 0u);
  EXPECT_EQ(frame.x_offset(), 0u);
  EXPECT_EQ(frame.y_offset(), 0u);
  EXPECT_EQ(frame.pixel_format_code(), 0u);
  EXPECT_EQ(frame.timestamp_ticks(), 0u);
  const std::vector<std::uint8_t> data(frame.data().begin(), frame.data().end());
  EXPECT_EQ(data, (std::vector<std::uint8_t>{0x11, 0xAA, 0xAA, 0xAA, 0xAA, 0x55}));
}

}  // namespace
}  // namespace corvantic::gige::stream
