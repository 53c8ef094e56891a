#include "sim/register_map.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <bit>
#include <cstring>

#include "sim/description.hpp"

namespace corvantic::sim {
namespace {

using namespace std::chrono_literals;

constexpr Peer HOST_A{0x7F000001, 40000};
constexpr Peer HOST_B{0x7F000001, 40001};  // same machine, another application
const Clock::time_point T0 = Clock::time_point{} + 1h;

RegisterMapConfig base_config() {
  RegisterMapConfig config;
  config.description = description_bytes(DescriptionForm::Plain);
  config.timestamp = [] { return std::uint64_t{0x0123456789ABCDEF}; };
  return config;
}

class RegisterMapTest : public ::testing::Test {
 protected:
  std::expected<std::uint32_t, std::uint16_t> read(std::uint32_t address, Peer who = HOST_A,
                                                   Clock::time_point now = T0) {
    return map.read_register({who, now}, address);
  }
  std::expected<void, std::uint16_t> write(std::uint32_t address, std::uint32_t value, Peer who = HOST_A,
                                           Clock::time_point now = T0) {
    return map.write_register({who, now}, address, value, effects);
  }
  RegisterMap map{base_config()};
  Effects effects;
};

TEST_F(RegisterMapTest, BootstrapIdentityMatchesTheDiscoveryBlock) {
  const auto block = map.discovery_block();
  ASSERT_EQ(block.size(), 248u);
  for (std::uint32_t address = 0; address < 248; address += 4) {
    SCOPED_TRACE(address);
    const auto value = read(address);
    ASSERT_TRUE(value);
    const std::uint32_t expected = (std::uint32_t{block[address]} << 24) |
                                   (std::uint32_t{block[address + 1]} << 16) |
                                   (std::uint32_t{block[address + 2]} << 8) | block[address + 3];
    EXPECT_EQ(*value, expected);
  }
  EXPECT_EQ(*read(reg::VERSION), 0x00020000u);
  EXPECT_EQ(*read(reg::CURRENT_IP), 0x7F000002u);
  EXPECT_EQ(*read(reg::MAC_HIGH), 0x00000200u);
  EXPECT_EQ(*read(reg::MAC_LOW), 0x7F000002u);
  EXPECT_EQ(std::memcmp(block.data() + 72, "Corvantic\0", 10), 0);
}

TEST_F(RegisterMapTest, DeviceWideRegisters) {
  EXPECT_EQ(*read(reg::GVCP_CAPABILITY), reg::cap::DEFAULT);
  EXPECT_EQ(*read(reg::HEARTBEAT_TIMEOUT), 3000u);
  EXPECT_EQ(*read(reg::TICK_FREQUENCY_HIGH), 0u);
  EXPECT_EQ(*read(reg::TICK_FREQUENCY_LOW), 1'000'000'000u);
  EXPECT_EQ(*read(reg::STREAM_CHANNELS), 2u);
  ASSERT_TRUE(write(reg::TIMESTAMP_CONTROL, 0x2));
  EXPECT_EQ(*read(reg::TIMESTAMP_VALUE_HIGH), 0x01234567u);
  EXPECT_EQ(*read(reg::TIMESTAMP_VALUE_LOW), 0x89ABCDEFu);
  // Below the device's minimum, the heartbeat timeout is raised to it.
  ASSERT_TRUE(write(reg::HEARTBEAT_TIMEOUT, 20));
  EXPECT_EQ(*read(reg::HEARTBEAT_TIMEOUT), MIN_HEARTBEAT_TIMEOUT_MS);
}

TEST_F(RegisterMapTest, LocationRegistersNameTheDescriptionMemory) {
  std::uint8_t url[reg::URL_SIZE];
  ASSERT_TRUE(map.read_memory({HOST_A, T0}, reg::FIRST_URL, url));
  const auto size = description_bytes(DescriptionForm::Plain).size();
  char expected[64];
  std::snprintf(expected, sizeof expected, "Local:corvantic_sim.xml;100000;%zx", size);
  EXPECT_STREQ(reinterpret_cast<const char*>(url), expected);
  ASSERT_TRUE(map.read_memory({HOST_A, T0}, reg::SECOND_URL, url));
  EXPECT_STREQ(reinterpret_cast<const char*>(url), expected);
  // The last word of the document is readable even when it is partly past
  // the end; the word after it is not.
  const std::uint32_t end = reg::DESCRIPTION_BASE + static_cast<std::uint32_t>((size + 3) / 4 * 4);
  EXPECT_TRUE(read(end - 4));
  EXPECT_EQ(read(end).error(), 0x8003);
}

TEST_F(RegisterMapTest, RefusesWritesWithTheStatusTheRegisterCalls) {
  EXPECT_EQ(write(0x0900, 5).error(), 0x8004);                      // read-only count
  EXPECT_EQ(write(reg::MODEL_NAME, 0).error(), 0x8004);             // identity text
  EXPECT_EQ(write(reg::FIRST_URL, 0).error(), 0x8004);              // location
  EXPECT_EQ(write(reg::DESCRIPTION_BASE, 0).error(), 0x8004);       // description memory
  EXPECT_EQ(write(reg::PAYLOAD_SIZE, 0).error(), 0x8004);           // computed feature
  EXPECT_EQ(write(0x0600, 0).error(), 0x8003);                      // nothing there
  EXPECT_EQ(read(0x0D1C).error(), 0x8003);                          // a hole in the channel block
  EXPECT_EQ(write(reg::WIDTH, 17).error(), 0x8002);                 // not a multiple of 4
  EXPECT_EQ(write(reg::PIXEL_FORMAT, 0x01080002).error(), 0x8002);  // unknown format
  EXPECT_EQ(write(reg::ACQUISITION_MODE, 3).error(), 0x8002);
  EXPECT_EQ(write(reg::TL_PARAMS_LOCKED, 2).error(), 0x8002);
  EXPECT_EQ(write(reg::GAIN, std::bit_cast<std::uint32_t>(-1.0f)).error(), 0x8002);
  EXPECT_TRUE(write(reg::USER_DEFINED_NAME, 0x43414D00));  // "CAM"
  EXPECT_EQ(*read(reg::USER_DEFINED_NAME), 0x43414D00u);
}

TEST_F(RegisterMapTest, ImageFormatIsLockedWhileTransportParametersAreLocked) {
  ASSERT_TRUE(write(reg::WIDTH, 128));
  ASSERT_TRUE(write(reg::TL_PARAMS_LOCKED, 1));
  EXPECT_EQ(write(reg::WIDTH, 64).error(), 0x8004);
  EXPECT_EQ(write(reg::PIXEL_FORMAT, PIXEL_MONO16).error(), 0x8004);
  EXPECT_TRUE(write(reg::ACQUISITION_MODE, 1));  // not an image format register
  ASSERT_TRUE(write(reg::TL_PARAMS_LOCKED, 0));
  map.set_acquisition_active(true);
  EXPECT_EQ(write(reg::HEIGHT, 16).error(), 0x8004);
  map.set_acquisition_active(false);
  EXPECT_TRUE(write(reg::HEIGHT, 16));
  EXPECT_EQ(*read(reg::WIDTH), 128u);
}

TEST_F(RegisterMapTest, RegionOfInterestStaysOnTheSensor) {
  ASSERT_TRUE(write(reg::WIDTH, SENSOR_WIDTH));
  EXPECT_EQ(write(reg::OFFSET_X, 4).error(), 0x8002);
  ASSERT_TRUE(write(reg::WIDTH, SENSOR_WIDTH - 8));
  EXPECT_TRUE(write(reg::OFFSET_X, 8));
  EXPECT_EQ(write(reg::WIDTH, SENSOR_WIDTH - 4).error(), 0x8002);
  EXPECT_EQ(write(reg::HEIGHT, 4).error(), 0x8002);
}

TEST_F(RegisterMapTest, PayloadSizeFollowsTheImageFormat) {
  EXPECT_EQ(*read(reg::PAYLOAD_SIZE), 64u * 48u);
  ASSERT_TRUE(write(reg::PIXEL_FORMAT, PIXEL_RGB8));
  ASSERT_TRUE(write(reg::WIDTH, 100));
  EXPECT_EQ(*read(reg::PAYLOAD_SIZE), 100u * 48u * 3u);
  ASSERT_TRUE(write(reg::PIXEL_FORMAT, PIXEL_MONO16));
  EXPECT_EQ(*read(reg::PAYLOAD_SIZE), 100u * 48u * 2u);
  EXPECT_TRUE(effects.stream_changed[0]);
  EXPECT_TRUE(effects.stream_changed[1]);
}

// Chunk mode is off at first with every chunk enabled; ChunkEnable reads and
// writes the chunk ChunkSelector names; PayloadSize and the stream follow.
TEST_F(RegisterMapTest, ChunkRegistersSizeThePayloadAndReachTheStream) {
  const std::uint32_t image = 64 * 48;
  EXPECT_EQ(*read(reg::CHUNK_MODE_ACTIVE), 0u);
  EXPECT_EQ(*read(reg::CHUNK_PAYLOAD_SIZE), 0u);
  ASSERT_TRUE(write(reg::CHUNK_MODE_ACTIVE, 1));
  EXPECT_EQ(*read(reg::CHUNK_PAYLOAD_SIZE), chunk_data_size(ALL_CHUNKS));
  EXPECT_EQ(*read(reg::PAYLOAD_SIZE), image + chunk_data_size(ALL_CHUNKS));
  const auto gain = static_cast<std::uint32_t>(ChunkKind::Gain);
  ASSERT_TRUE(write(reg::CHUNK_SELECTOR, gain));
  EXPECT_EQ(*read(reg::CHUNK_ENABLE), 1u);
  ASSERT_TRUE(write(reg::CHUNK_ENABLE, 0));
  EXPECT_EQ(*read(reg::CHUNK_ENABLE), 0u);
  ASSERT_TRUE(write(reg::CHUNK_SELECTOR, gain + 1));
  EXPECT_EQ(*read(reg::CHUNK_ENABLE), 1u);
  const std::uint32_t without_gain = ALL_CHUNKS & ~(1u << gain);
  EXPECT_EQ(*read(reg::PAYLOAD_SIZE), image + chunk_data_size(without_gain));
  // What a frame's chunks report comes with the stream's configuration.
  effects = {};
  const auto exposure = std::bit_cast<std::uint64_t>(250.5);
  ASSERT_TRUE(write(reg::EXPOSURE_TIME, static_cast<std::uint32_t>(exposure >> 32)));
  ASSERT_TRUE(write(reg::EXPOSURE_TIME + 4, static_cast<std::uint32_t>(exposure)));
  EXPECT_TRUE(effects.stream_changed[0]);
  ASSERT_TRUE(write(reg::GAIN, std::bit_cast<std::uint32_t>(3.0f)));
  ASSERT_TRUE(write(reg::IMAGE_FLAGS, 0x21));
  const StreamConfig config = map.stream_config(0);
  EXPECT_TRUE(config.chunk_mode);
  EXPECT_EQ(config.chunks, without_gain);
  EXPECT_EQ(config.exposure_bits, exposure);
  EXPECT_EQ(config.gain_bits, std::bit_cast<std::uint32_t>(3.0f));
  EXPECT_EQ(config.image_flags, 0x21u);
  // Values the registers do not take; the payload is fixed while TLParamsLocked is set.
  EXPECT_EQ(write(reg::CHUNK_SELECTOR, CHUNK_KIND_COUNT).error(), 0x8002);
  EXPECT_EQ(write(reg::CHUNK_MODE_ACTIVE, 2).error(), 0x8002);
  EXPECT_EQ(write(reg::CHUNK_PAYLOAD_SIZE, 0).error(), 0x8004);
  ASSERT_TRUE(write(reg::TL_PARAMS_LOCKED, 1));
  EXPECT_EQ(write(reg::CHUNK_MODE_ACTIVE, 0).error(), 0x8004);
  EXPECT_EQ(write(reg::CHUNK_ENABLE, 0).error(), 0x8004);
  EXPECT_TRUE(write(reg::CHUNK_SELECTOR, 0));
}

// The registers' bytes are what the description's byte order says they are.
TEST_F(RegisterMapTest, FeatureRegistersHoldTheirFactoryBytes) {
  std::uint8_t bytes[8];
  ASSERT_TRUE(map.read_memory({HOST_A, T0}, reg::EXPOSURE_TIME, bytes));
  double exposure;
  std::uint64_t bits = 0;
  for (auto b : bytes) bits = (bits << 8) | b;
  std::memcpy(&exposure, &bits, 8);
  EXPECT_EQ(exposure, 10000.0);
  EXPECT_EQ(*read(reg::GAIN), std::bit_cast<std::uint32_t>(1.5f));
  // Frame rate: little-endian float, so the big-endian word is byte-swapped.
  EXPECT_EQ(*read(reg::FRAME_RATE), std::byteswap(std::bit_cast<std::uint32_t>(30.0f)));
  EXPECT_EQ(*read(reg::BLACK_LEVEL_RAW), 0xECFFFFFFu);     // -20 little-endian
  EXPECT_EQ(*read(reg::DEVICE_TEMPERATURE), 0xF3C00000u);  // -3136 big-endian in the first two bytes
  EXPECT_EQ(*read(reg::BINNING_RAW), 0u);
  EXPECT_EQ(*read(reg::USER_DATA), 0x00010203u);
  EXPECT_EQ(*read(reg::USER_DATA + 60), 0x3C3D3E3Fu);
}

TEST_F(RegisterMapTest, LittleEndianRegistersAreCheckedInTheirByteOrder) {
  EXPECT_TRUE(write(reg::BINNING_RAW, 0x03000000));                // 3 little-endian
  EXPECT_EQ(write(reg::BINNING_RAW, 0x00000003).error(), 0x8002);  // 0x03000000 little-endian
  EXPECT_TRUE(write(reg::FRAME_RATE, std::byteswap(std::bit_cast<std::uint32_t>(12.5f))));
  EXPECT_EQ(map.stream_config(0).frame_rate, 12.5);
  // Bytes 3F 80 00 80 read little-endian are 0x8000803F: a negative rate.
  EXPECT_EQ(write(reg::FRAME_RATE, 0x3F800080).error(), 0x8002);
  EXPECT_EQ(map.stream_config(0).frame_rate, 12.5);
}

TEST_F(RegisterMapTest, ExposureIsWrittenAsTwoWords) {
  const auto bits = std::bit_cast<std::uint64_t>(250.5);
  ASSERT_TRUE(write(reg::EXPOSURE_TIME, static_cast<std::uint32_t>(bits >> 32)));
  ASSERT_TRUE(write(reg::EXPOSURE_TIME + 4, static_cast<std::uint32_t>(bits)));
  EXPECT_EQ(*read(reg::EXPOSURE_TIME), static_cast<std::uint32_t>(bits >> 32));
  EXPECT_EQ(*read(reg::EXPOSURE_TIME + 4), static_cast<std::uint32_t>(bits));
  const auto negative = std::bit_cast<std::uint64_t>(-1.0);
  EXPECT_EQ(write(reg::EXPOSURE_TIME, static_cast<std::uint32_t>(negative >> 32)).error(), 0x8002);
}

TEST_F(RegisterMapTest, StreamChannelRegistersDriveTheStreamConfig) {
  ASSERT_TRUE(write(reg::stream_register(1, reg::SCDA), 0x7F000001));
  ASSERT_TRUE(write(reg::stream_register(1, reg::SCP), 0xFFFF1234));  // only the port bits stick
  ASSERT_TRUE(write(reg::stream_register(1, reg::SCPD), 1000));
  ASSERT_TRUE(write(reg::stream_register(1, reg::SCPS), reg::SCPS_DO_NOT_FRAGMENT | 1400));
  EXPECT_TRUE(effects.stream_changed[1]);
  EXPECT_FALSE(effects.stream_changed[0]);
  EXPECT_EQ(*read(reg::stream_register(1, reg::SCP)), 0x1234u);
  EXPECT_EQ(*read(0x0D44), reg::SCPS_DO_NOT_FRAGMENT | 1400);
  const StreamConfig config = map.stream_config(1);
  EXPECT_EQ(ntohl(config.destination.sin_addr.s_addr), 0x7F000001u);
  EXPECT_EQ(ntohs(config.destination.sin_port), 0x1234);
  EXPECT_EQ(config.packet_size, 1400);
  EXPECT_TRUE(config.do_not_fragment);
  EXPECT_EQ(config.packet_delay, 1000u);
  EXPECT_EQ(map.stream_config(0).packet_size, 1500);
}

TEST_F(RegisterMapTest, FireTestBitTriggersOnceAndReadsBackClear) {
  ASSERT_TRUE(write(reg::stream_register(0, reg::SCPS), 0xC0000000 | 9152));
  ASSERT_TRUE(effects.fire_test[0]);
  EXPECT_EQ(*effects.fire_test[0], 9152u);
  EXPECT_FALSE(effects.fire_test[1]);
  EXPECT_EQ(*read(reg::stream_register(0, reg::SCPS)), 0x40000000u | 9152u);
}

TEST_F(RegisterMapTest, AcquisitionCommandsBecomeEffects) {
  ASSERT_TRUE(write(reg::ACQUISITION_START, 1));
  EXPECT_TRUE(effects.acquisition_start);
  EXPECT_FALSE(effects.acquisition_stop);
  ASSERT_TRUE(write(reg::ACQUISITION_STOP, 1));
  EXPECT_TRUE(effects.acquisition_stop);
  ASSERT_TRUE(write(reg::TEST_EVENT_GENERATE, 1));
  EXPECT_EQ(effects.test_events, 1);
  EXPECT_EQ(*read(reg::ACQUISITION_STATUS), 0u);
  map.set_acquisition_active(true);
  EXPECT_EQ(*read(reg::ACQUISITION_STATUS), 1u);
}

TEST_F(RegisterMapTest, ControlIsExclusiveToItsHolderForWrites) {
  ASSERT_TRUE(write(reg::CCP, reg::CCP_CONTROL, HOST_A));
  EXPECT_EQ(map.control_holder(), HOST_A);
  EXPECT_EQ(*read(reg::PRIMARY_APPLICATION_PORT, HOST_B), 40000u);
  EXPECT_EQ(*read(reg::PRIMARY_APPLICATION_IP, HOST_B), 0x7F000001u);
  // The other application may monitor but not write, nor take control.
  EXPECT_EQ(*read(reg::CCP, HOST_B), reg::CCP_CONTROL);
  EXPECT_EQ(write(reg::CCP, reg::CCP_CONTROL, HOST_B).error(), 0x8006);
  EXPECT_EQ(write(reg::WIDTH, 128, HOST_B).error(), 0x8006);
  EXPECT_EQ(write(reg::CCP, 0, HOST_B).error(), 0x8006);
  EXPECT_TRUE(write(reg::WIDTH, 128, HOST_A));
  // Release, after which the other takes it.
  ASSERT_TRUE(write(reg::CCP, 0, HOST_A));
  EXPECT_TRUE(effects.control_released);
  EXPECT_FALSE(map.control_held());
  EXPECT_TRUE(write(reg::CCP, reg::CCP_CONTROL, HOST_B));
  EXPECT_EQ(map.control_holder(), HOST_B);
}

TEST_F(RegisterMapTest, ExclusiveControlRefusesOthersEvenReads) {
  ASSERT_TRUE(write(reg::CCP, reg::CCP_CONTROL | reg::CCP_EXCLUSIVE, HOST_A));
  EXPECT_EQ(read(reg::VERSION, HOST_B).error(), 0x8006);
  EXPECT_TRUE(map.excluded(HOST_B));
  EXPECT_FALSE(map.excluded(HOST_A));
  EXPECT_EQ(*read(reg::CCP, HOST_A), 3u);
  // The holder downgrades to shared control: others may read again.
  ASSERT_TRUE(write(reg::CCP, reg::CCP_CONTROL, HOST_A));
  EXPECT_TRUE(read(reg::VERSION, HOST_B));
}

TEST_F(RegisterMapTest, ReleasingControlClosesTheChannels) {
  ASSERT_TRUE(write(reg::CCP, reg::CCP_CONTROL));
  ASSERT_TRUE(write(reg::stream_register(0, reg::SCP), 5000));
  ASSERT_TRUE(write(reg::MCP, 6000));
  ASSERT_TRUE(write(reg::TL_PARAMS_LOCKED, 1));
  effects = {};
  ASSERT_TRUE(write(reg::CCP, 0));
  EXPECT_TRUE(effects.acquisition_stop);
  EXPECT_EQ(*read(reg::stream_register(0, reg::SCP)), 0u);
  EXPECT_EQ(*read(reg::MCP), 0u);
  EXPECT_EQ(*read(reg::TL_PARAMS_LOCKED), 0u);
}

TEST_F(RegisterMapTest, HeartbeatExpiryReleasesControl) {
  ASSERT_TRUE(write(reg::HEARTBEAT_TIMEOUT, 500));
  ASSERT_TRUE(write(reg::CCP, reg::CCP_CONTROL, HOST_A, T0));
  ASSERT_EQ(map.control_deadline(), T0 + 500ms);
  // A command from the holder restarts the heartbeat; others' do not.
  map.note_command({HOST_A, T0 + 400ms});
  map.note_command({HOST_B, T0 + 800ms});
  EXPECT_FALSE(map.expire_control(T0 + 899ms, effects));
  EXPECT_TRUE(map.control_held());
  EXPECT_TRUE(map.expire_control(T0 + 900ms, effects));
  EXPECT_FALSE(map.control_held());
  EXPECT_EQ(*read(reg::CCP, HOST_B), 0u);
  EXPECT_TRUE(effects.control_released);
}

TEST_F(RegisterMapTest, DisabledHeartbeatNeverExpires) {
  ASSERT_TRUE(write(reg::CCP, reg::CCP_CONTROL));
  ASSERT_TRUE(write(reg::GVCP_CONFIGURATION, 0x1));
  EXPECT_FALSE(map.control_deadline());
  EXPECT_FALSE(map.expire_control(T0 + 1h, effects));
  EXPECT_TRUE(map.control_held());
}

TEST(RegisterMap, HeartbeatDisableNeedsItsCapability) {
  auto config = base_config();
  config.capabilities &= ~reg::cap::HEARTBEAT_DISABLE;
  RegisterMap map(config);
  Effects effects;
  EXPECT_EQ(map.write_register({HOST_A, T0}, reg::GVCP_CONFIGURATION, 0x1, effects).error(), 0x8002);
}

TEST(RegisterMap, WritesMayRequireControl) {
  auto config = base_config();
  config.writes_need_control = true;
  RegisterMap map(config);
  Effects effects;
  EXPECT_EQ(map.write_register({HOST_A, T0}, reg::WIDTH, 128, effects).error(), 0x8006);
  EXPECT_TRUE(map.read_register({HOST_A, T0}, reg::WIDTH));
  ASSERT_TRUE(map.write_register({HOST_A, T0}, reg::CCP, reg::CCP_CONTROL, effects));
  EXPECT_TRUE(map.write_register({HOST_A, T0}, reg::WIDTH, 128, effects));
}

TEST_F(RegisterMapTest, InjectedStatusesApplyToTheChosenAccess) {
  map.inject_status(reg::WIDTH + 2, {0x8007, true, false});  // rounded down to WIDTH; reads only
  EXPECT_EQ(read(reg::WIDTH).error(), 0x8007);
  EXPECT_TRUE(write(reg::WIDTH, 128));
  map.inject_status(reg::HEIGHT, {0x8FFF, false, true});
  EXPECT_TRUE(read(reg::HEIGHT));
  EXPECT_EQ(write(reg::HEIGHT, 16).error(), 0x8FFF);
  // A memory read over an injected register fails as a whole.
  std::uint8_t bytes[16];
  EXPECT_EQ(map.read_memory({HOST_A, T0}, reg::WIDTH, bytes).error(), 0x8007);
  map.clear_injected_status(reg::WIDTH);
  EXPECT_TRUE(map.read_memory({HOST_A, T0}, reg::WIDTH, bytes));
  // Injection also answers for unmapped addresses.
  map.inject_status(0x0600, {0x8004, true, true});
  EXPECT_EQ(read(0x0600).error(), 0x8004);
  map.clear_all_injected_statuses();
  EXPECT_EQ(read(0x0600).error(), 0x8003);
}

TEST_F(RegisterMapTest, MemoryWritesStopAtTheFirstRefusedWord) {
  const std::uint8_t data[12] = {'n', 'a', 'm', 'e', 0, 0, 0, 0, 1, 2, 3, 4};
  // The user-defined name ends at 0x00F7: the third word is refused.
  const auto protected_end = map.write_memory({HOST_A, T0}, reg::USER_DEFINED_NAME + 8, data, effects);
  EXPECT_EQ(protected_end.status, 0x8004);
  EXPECT_EQ(protected_end.written, 8u);
  EXPECT_EQ(*read(reg::USER_DEFINED_NAME + 8), 0x6E616D65u);
  // The user data end at 0x1013F: the third word is unmapped.
  const auto unmapped_end = map.write_memory({HOST_A, T0}, reg::USER_DATA + 56, data, effects);
  EXPECT_EQ(unmapped_end.status, 0x8003);
  EXPECT_EQ(unmapped_end.written, 8u);
  EXPECT_EQ(*read(reg::USER_DATA + 56), 0x6E616D65u);
}

}  // namespace
}  // namespace corvantic::sim
