// Addresses of the virtual camera's register space. All registers are 32
// bits wide and big-endian on the wire unless noted; the GenICam description
// (description.xml) names the same addresses.
//
//   0x0000..0x00FF  bootstrap identity block (the discovery block is its first 248 bytes)
//   0x0200..0x03FF  first description location (text)
//   0x0400..0x05FF  second description location (text)
//   0x0900..0x0958  device-wide bootstrap registers (counts, capability, heartbeat, timestamp)
//   0x0A00..0x0A14  control channel privilege and the primary application
//   0x0B00..0x0B1C  message channel (events)
//   0x0D00..0x0D7F  stream channels 0 and 1 (0x40 apart)
//   0x10000..       camera features (FEATURE_* below)
//   0x100000..      the description document, read-only memory
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvantic::sim::reg {

// Bootstrap identity.
inline constexpr std::uint32_t VERSION = 0x0000;
inline constexpr std::uint32_t DEVICE_MODE = 0x0004;
inline constexpr std::uint32_t MAC_HIGH = 0x0008;
inline constexpr std::uint32_t MAC_LOW = 0x000C;
inline constexpr std::uint32_t SUPPORTED_IP_CONFIG = 0x0010;
inline constexpr std::uint32_t CURRENT_IP_CONFIG = 0x0014;
inline constexpr std::uint32_t CURRENT_IP = 0x0024;
inline constexpr std::uint32_t SUBNET_MASK = 0x0034;
inline constexpr std::uint32_t GATEWAY = 0x0044;
inline constexpr std::uint32_t MANUFACTURER_NAME = 0x0048;  // 32 bytes
inline constexpr std::uint32_t MODEL_NAME = 0x0068;         // 32 bytes
inline constexpr std::uint32_t DEVICE_VERSION = 0x0088;     // 32 bytes
inline constexpr std::uint32_t MANUFACTURER_INFO = 0x00A8;  // 48 bytes
inline constexpr std::uint32_t SERIAL_NUMBER = 0x00D8;      // 16 bytes
inline constexpr std::uint32_t USER_DEFINED_NAME = 0x00E8;  // 16 bytes, writable
inline constexpr std::uint32_t BOOTSTRAP_BLOCK_END = 0x0100;

inline constexpr std::uint32_t FIRST_URL = 0x0200;
inline constexpr std::uint32_t SECOND_URL = 0x0400;
inline constexpr std::uint32_t URL_SIZE = 512;

inline constexpr std::uint32_t NETWORK_INTERFACES = 0x0900;
inline constexpr std::uint32_t MESSAGE_CHANNELS = 0x0904;
inline constexpr std::uint32_t STREAM_CHANNELS = 0x0908;
inline constexpr std::uint32_t GVCP_CAPABILITY = 0x0934;
inline constexpr std::uint32_t HEARTBEAT_TIMEOUT = 0x0938;
inline constexpr std::uint32_t TICK_FREQUENCY_HIGH = 0x093C;
inline constexpr std::uint32_t TICK_FREQUENCY_LOW = 0x0940;
inline constexpr std::uint32_t TIMESTAMP_CONTROL = 0x0944;     // write-only: 0x2 latches the timestamp
inline constexpr std::uint32_t TIMESTAMP_VALUE_HIGH = 0x0948;  // the latched timestamp
inline constexpr std::uint32_t TIMESTAMP_VALUE_LOW = 0x094C;
inline constexpr std::uint32_t GVCP_CONFIGURATION = 0x0954;  // 0x1 disables the heartbeat
inline constexpr std::uint32_t PENDING_TIMEOUT = 0x0958;     // longest answer time without PENDING_ACK

inline constexpr std::uint32_t CCP = 0x0A00;
inline constexpr std::uint32_t PRIMARY_APPLICATION_PORT = 0x0A04;
inline constexpr std::uint32_t PRIMARY_APPLICATION_IP = 0x0A14;

inline constexpr std::uint32_t MCP = 0x0B00;   // message channel host port
inline constexpr std::uint32_t MCDA = 0x0B10;  // message channel host address
inline constexpr std::uint32_t MCTT = 0x0B14;  // event acknowledge time-out, ms
inline constexpr std::uint32_t MCRC = 0x0B18;  // event retransmissions
inline constexpr std::uint32_t MCSP = 0x0B1C;  // message channel source port

inline constexpr std::uint32_t STREAM_CHANNEL_BASE = 0x0D00;
inline constexpr std::uint32_t STREAM_CHANNEL_STRIDE = 0x40;
inline constexpr int STREAM_CHANNEL_COUNT = 2;
// Offsets within a stream channel's block.
inline constexpr std::uint32_t SCP = 0x00;   // host port in bits 0..15
inline constexpr std::uint32_t SCPS = 0x04;  // packet size; bit 31 fire test, bit 30 do not fragment
inline constexpr std::uint32_t SCPD = 0x08;  // packet delay in timestamp ticks
inline constexpr std::uint32_t SCDA = 0x18;  // host address; 0 = the requester of the last command
[[nodiscard]] constexpr std::uint32_t stream_register(int channel, std::uint32_t offset) {
  return STREAM_CHANNEL_BASE + STREAM_CHANNEL_STRIDE * static_cast<std::uint32_t>(channel) + offset;
}
inline constexpr std::uint32_t SCPS_FIRE_TEST = 0x80000000;
inline constexpr std::uint32_t SCPS_DO_NOT_FRAGMENT = 0x40000000;

// GVCP capability bits (register 0x0934).
namespace cap {
inline constexpr std::uint32_t USER_DEFINED_NAME = 0x80000000;
inline constexpr std::uint32_t SERIAL_NUMBER = 0x40000000;
inline constexpr std::uint32_t HEARTBEAT_DISABLE = 0x20000000;
inline constexpr std::uint32_t PENDING_ACK = 0x00000020;
inline constexpr std::uint32_t EVENTDATA = 0x00000010;
inline constexpr std::uint32_t EVENT = 0x00000008;
inline constexpr std::uint32_t PACKETRESEND = 0x00000004;
inline constexpr std::uint32_t WRITEMEM = 0x00000002;
inline constexpr std::uint32_t CONCATENATION = 0x00000001;
inline constexpr std::uint32_t DEFAULT = USER_DEFINED_NAME | SERIAL_NUMBER | HEARTBEAT_DISABLE | PENDING_ACK |
                                         EVENTDATA | EVENT | PACKETRESEND | WRITEMEM | CONCATENATION;
}  // namespace cap

// Control channel privilege bits (register 0x0A00).
inline constexpr std::uint32_t CCP_EXCLUSIVE = 0x1;
inline constexpr std::uint32_t CCP_CONTROL = 0x2;
inline constexpr std::uint32_t CCP_SWITCHOVER_ENABLE = 0x4;

// Camera features.
inline constexpr std::uint32_t FEATURE_BASE = 0x10000;
inline constexpr std::uint32_t WIDTH = 0x10000;
inline constexpr std::uint32_t HEIGHT = 0x10004;
inline constexpr std::uint32_t OFFSET_X = 0x10008;
inline constexpr std::uint32_t OFFSET_Y = 0x1000C;
inline constexpr std::uint32_t PIXEL_FORMAT = 0x10010;
inline constexpr std::uint32_t PAYLOAD_SIZE = 0x10014;      // read-only, computed
inline constexpr std::uint32_t SENSOR_WIDTH = 0x10018;      // read-only
inline constexpr std::uint32_t SENSOR_HEIGHT = 0x1001C;     // read-only
inline constexpr std::uint32_t ACQUISITION_MODE = 0x10020;  // 0 Continuous, 1 SingleFrame, 2 MultiFrame
inline constexpr std::uint32_t ACQUISITION_FRAME_COUNT = 0x10024;
inline constexpr std::uint32_t ACQUISITION_START = 0x10028;  // write-only
inline constexpr std::uint32_t ACQUISITION_STOP = 0x1002C;   // write-only
inline constexpr std::uint32_t TL_PARAMS_LOCKED = 0x10030;
inline constexpr std::uint32_t ACQUISITION_STATUS = 0x10034;  // read-only: 1 while acquiring
inline constexpr std::uint32_t TEST_PATTERN = 0x10038;
inline constexpr std::uint32_t IMAGE_FLAGS = 0x1003C;    // 0x1 ReverseX, 0x2 ReverseY, bits 4..7 DigitalShift
inline constexpr std::uint32_t EXPOSURE_TIME = 0x10040;  // IEEE double, big-endian, 8 bytes (us)
inline constexpr std::uint32_t GAIN = 0x10048;           // IEEE single, big-endian (dB)
inline constexpr std::uint32_t FRAME_RATE = 0x1004C;     // IEEE single, little-endian (Hz)
inline constexpr std::uint32_t BLACK_LEVEL_RAW = 0x10050;  // signed, little-endian
inline constexpr std::uint32_t DEVICE_TEMPERATURE =
    0x10054;  // signed 16 bits big-endian in bytes 0..1, 1/256 degC; read-only
inline constexpr std::uint32_t BINNING_RAW = 0x10058;          // unsigned, little-endian: binning - 1
inline constexpr std::uint32_t TEST_EVENT_GENERATE = 0x1005C;  // write-only: sends event TEST_EVENT_ID
inline constexpr std::uint32_t CHUNK_MODE_ACTIVE = 0x10060;    // 1: blocks carry chunk data
inline constexpr std::uint32_t CHUNK_SELECTOR = 0x10064;       // a ChunkKind: the chunk CHUNK_ENABLE is about
inline constexpr std::uint32_t CHUNK_ENABLE = 0x10068;         // 1: the selected chunk is sent (all are at first)
inline constexpr std::uint32_t CHUNK_PAYLOAD_SIZE = 0x1006C;   // read-only: bytes chunk mode adds to a block
inline constexpr std::uint32_t EVENT_SELECTOR = 0x10070;       // an event id: the event EVENT_NOTIFICATION is about
inline constexpr std::uint32_t EVENT_NOTIFICATION = 0x10074;   // 1: the selected event is sent
inline constexpr std::uint32_t TRIGGER_SOFTWARE = 0x10078;     // write-only: a trigger the free-running camera misses
inline constexpr std::uint32_t USER_DATA = 0x10100;            // 64 bytes of raw storage
inline constexpr std::uint32_t USER_DATA_SIZE = 64;
inline constexpr std::uint32_t FEATURE_END = 0x10140;

inline constexpr std::uint32_t DESCRIPTION_BASE = 0x100000;

// Events, by the id they carry. Each is sent as an EVENTDATA with the
// acknowledge-required flag while its notification is on: TestEventGenerate's test event (on
// at first), ExposureEnd after the exposure of each frame of stream channel
// 0 and FrameTriggerMissed for each software trigger (the camera runs free,
// so it takes none).
inline constexpr std::uint16_t TEST_EVENT_ID = 0x9000;
inline constexpr std::uint16_t EXPOSURE_END_EVENT_ID = 0x9001;
inline constexpr std::uint16_t FRAME_TRIGGER_MISSED_EVENT_ID = 0x9002;
// What an ExposureEnd's EVENTDATA carries after its 16-byte event record
// header: the frame id, 64 bits (at 0x10 of the record, where the
// description's event port addresses it). The other events carry no data:
// their description features read the header's timestamp.
inline constexpr std::size_t EXPOSURE_END_DATA_SIZE = 8;

}  // namespace corvantic::sim::reg
