// The bootstrap registers this client reads and writes, and DeviceInfo, the
// identity and addressing of a device, built from a discovery answer or from
// the identity registers read at connect.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "util/text.hpp"  // ipv4_string for the address fields

namespace corvantic::gige::proto {

// ---- Register map (byte addresses, big-endian values)

inline constexpr std::uint32_t REG_VERSION = 0x0000;  // major << 16 | minor
inline constexpr std::uint32_t REG_DEVICE_MODE = 0x0004;
inline constexpr std::uint32_t REG_MAC_HIGH = 0x0008;  // MAC bytes 0-1 in the low 16 bits
inline constexpr std::uint32_t REG_MAC_LOW = 0x000C;   // MAC bytes 2-5
inline constexpr std::uint32_t REG_SUPPORTED_IP_CONFIG = 0x0010;
inline constexpr std::uint32_t REG_CURRENT_IP_CONFIG = 0x0014;
inline constexpr std::uint32_t REG_CURRENT_IP = 0x0024;
inline constexpr std::uint32_t REG_SUBNET_MASK = 0x0034;
inline constexpr std::uint32_t REG_DEFAULT_GATEWAY = 0x0044;

// A text register: bytes up to the first zero byte, lossy UTF-8.
struct TextRegister {
  std::uint32_t address = 0;
  std::size_t size = 0;
};
inline constexpr TextRegister REG_MANUFACTURER_NAME{0x0048, 32};
inline constexpr TextRegister REG_MODEL_NAME{0x0068, 32};
inline constexpr TextRegister REG_DEVICE_VERSION{0x0088, 32};
inline constexpr TextRegister REG_MANUFACTURER_INFO{0x00A8, 48};
inline constexpr TextRegister REG_SERIAL_NUMBER{0x00D8, 16};
inline constexpr TextRegister REG_USER_DEFINED_NAME{0x00E8, 16};
inline constexpr TextRegister REG_FIRST_URL{0x0200, 512};
inline constexpr TextRegister REG_SECOND_URL{0x0400, 512};

inline constexpr std::uint32_t REG_GVCP_CAPABILITY = 0x0934;
inline constexpr std::uint32_t CAPABILITY_CONCATENATION = 0x00000001;
inline constexpr std::uint32_t CAPABILITY_WRITEMEM = 0x00000002;
inline constexpr std::uint32_t CAPABILITY_PACKETRESEND = 0x00000004;

inline constexpr std::uint32_t REG_HEARTBEAT_TIMEOUT = 0x0938;  // milliseconds

// Timestamp ticks per second, 64 bits split over two registers.
inline constexpr std::uint32_t REG_TIMESTAMP_TICK_FREQUENCY_HIGH = 0x093C;
inline constexpr std::uint32_t REG_TIMESTAMP_TICK_FREQUENCY_LOW = 0x0940;

// Control channel privilege.
inline constexpr std::uint32_t REG_CCP = 0x0A00;

// The message channel, where the device sends events: host port in the low
// 16 bits (0 turns the channel off) and host IPv4 address.
inline constexpr std::uint32_t REG_MCP = 0x0B00;
inline constexpr std::uint32_t REG_MCDA = 0x0B10;
inline constexpr std::uint32_t CCP_EXCLUSIVE = 0x1;
inline constexpr std::uint32_t CCP_CONTROL = 0x2;

// Stream channel registers; each channel's block lies 0x40 bytes after the previous one.
[[nodiscard]] constexpr std::uint32_t reg_scp(std::uint32_t channel) { return 0x0D00 + 0x40 * channel; }
[[nodiscard]] constexpr std::uint32_t reg_scps(std::uint32_t channel) { return 0x0D04 + 0x40 * channel; }
[[nodiscard]] constexpr std::uint32_t reg_scpd(std::uint32_t channel) { return 0x0D08 + 0x40 * channel; }
[[nodiscard]] constexpr std::uint32_t reg_scda(std::uint32_t channel) { return 0x0D18 + 0x40 * channel; }

// ---- Identity

// Size of the identity block of a discovery answer; its layout is that of
// registers 0x0000-0x00F7.
inline constexpr std::size_t DISCOVERY_DATA_SIZE = 248;

// The identity registers read at connect in one READREG, in this order.
inline constexpr std::array<std::uint32_t, 9> IDENTITY_REGISTERS = {
    REG_VERSION,           REG_DEVICE_MODE, REG_MAC_HIGH,    REG_MAC_LOW,         REG_SUPPORTED_IP_CONFIG,
    REG_CURRENT_IP_CONFIG, REG_CURRENT_IP,  REG_SUBNET_MASK, REG_DEFAULT_GATEWAY,
};

// The identity text registers read at connect, in this order.
inline constexpr std::array<TextRegister, 6> IDENTITY_TEXT_REGISTERS = {
    REG_MANUFACTURER_NAME, REG_MODEL_NAME,    REG_DEVICE_VERSION,
    REG_MANUFACTURER_INFO, REG_SERIAL_NUMBER, REG_USER_DEFINED_NAME,
};

struct DeviceInfo {
  std::string manufacturer;
  std::string model;
  std::string device_version;
  std::string manufacturer_info;
  std::string serial;
  std::string user_defined_name;
  std::uint16_t spec_major = 0;
  std::uint16_t spec_minor = 0;
  std::uint32_t device_mode = 0;
  std::array<std::uint8_t, 6> mac{};
  std::uint32_t supported_ip_config = 0;
  std::uint32_t current_ip_config = 0;
  // IPv4 addresses as numbers, first octet most significant.
  std::uint32_t ip = 0;
  std::uint32_t subnet_mask = 0;
  std::uint32_t gateway = 0;

  // "00:11:22:33:aa:bb"
  [[nodiscard]] std::string mac_string() const;
  // "DeviceInfo(<manufacturer> <model> serial=<serial> ip=<dotted ip>)"
  [[nodiscard]] std::string display() const;
  bool operator==(const DeviceInfo&) const = default;
};

// Dotted decimal, first octet most significant: 0xC0A80514 -> "192.168.5.20".


// The identity block of a discovery answer; each field's offset is its
// register's address:
//
//   offset size  field
//      0     2   spec major
//      2     2   spec minor
//      4     4   device mode
//     10     6   MAC address
//     16     4   supported IP configuration
//     20     4   current IP configuration
//     36     4   current IP address
//     52     4   subnet mask
//     68     4   default gateway
//     72    32   manufacturer name        (text)
//    104    32   model name               (text)
//    136    32   device version           (text)
//    168    48   manufacturer info        (text)
//    216    16   serial number            (text)
//    232    16   user-defined name        (text)
//   (the bytes between these fields are not read)
//
// Nothing for a block shorter than DISCOVERY_DATA_SIZE; a longer one is read
// over its first DISCOVERY_DATA_SIZE bytes.
[[nodiscard]] std::optional<DeviceInfo> parse_discovery_block(std::span<const std::uint8_t> block);

// The device identity carried by a discovery answer datagram: nothing unless
// it is an accepted DISCOVERY_ACK whose payload holds a whole identity block.
[[nodiscard]] std::optional<DeviceInfo> device_info_from_discovery_ack(
    std::span<const std::uint8_t> datagram);

// What connect reads to build a DeviceInfo.
struct IdentityRegisterValues {
  // The values of IDENTITY_REGISTERS, in that order.
  std::array<std::uint32_t, IDENTITY_REGISTERS.size()> registers{};
  // The raw bytes of IDENTITY_TEXT_REGISTERS, in that order; empty for one
  // that could not be read.
  std::array<std::span<const std::uint8_t>, IDENTITY_TEXT_REGISTERS.size()> texts{};
};

[[nodiscard]] DeviceInfo device_info_from_registers(const IdentityRegisterValues& values);

}  // namespace corvantic::gige::proto
