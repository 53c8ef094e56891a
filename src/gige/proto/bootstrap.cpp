#include "gige/proto/bootstrap.hpp"

#include <algorithm>
#include <cstdio>

#include "gige/proto/gvcp.hpp"
#include "util/bytes.hpp"
#include "util/text.hpp"

namespace corvantic::gige::proto {
namespace {

std::string text_at(std::span<const std::uint8_t> block, TextRegister field) {
  return util::decode_text_field(block.subspan(field.address, field.size));
}

}  // namespace

std::string DeviceInfo::mac_string() const {
  char buf[18];
  std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
                mac[5]);
  return buf;
}

std::string DeviceInfo::display() const {
  return "DeviceInfo(" + manufacturer + " " + model + " serial=" + serial + " ip=" + util::ipv4_string(ip) + ")";
}

std::optional<DeviceInfo> parse_discovery_block(std::span<const std::uint8_t> block) {
  if (block.size() < DISCOVERY_DATA_SIZE) return std::nullopt;
  const std::uint8_t* p = block.data();
  DeviceInfo info{
      .manufacturer = text_at(block, REG_MANUFACTURER_NAME),
      .model = text_at(block, REG_MODEL_NAME),
      .device_version = text_at(block, REG_DEVICE_VERSION),
      .manufacturer_info = text_at(block, REG_MANUFACTURER_INFO),
      .serial = text_at(block, REG_SERIAL_NUMBER),
      .user_defined_name = text_at(block, REG_USER_DEFINED_NAME),
      .spec_major = util::load_be16(p + REG_VERSION),
      .spec_minor = util::load_be16(p + REG_VERSION + 2),
      .device_mode = util::load_be32(p + REG_DEVICE_MODE),
      .supported_ip_config = util::load_be32(p + REG_SUPPORTED_IP_CONFIG),
      .current_ip_config = util::load_be32(p + REG_CURRENT_IP_CONFIG),
      .ip = util::load_be32(p + REG_CURRENT_IP),
      .subnet_mask = util::load_be32(p + REG_SUBNET_MASK),
      .gateway = util::load_be32(p + REG_DEFAULT_GATEWAY),
  };
  // The MAC's six bytes start in the low half of REG_MAC_HIGH.
  const auto mac = block.subspan(REG_MAC_HIGH + 2, info.mac.size());
  std::copy(mac.begin(), mac.end(), info.mac.begin());
  return info;
}

std::optional<DeviceInfo> device_info_from_discovery_ack(std::span<const std::uint8_t> datagram) {
  const auto payload = discovery_ack_payload(datagram);
  if (!payload) return std::nullopt;
  return parse_discovery_block(*payload);
}

DeviceInfo device_info_from_registers(const IdentityRegisterValues& values) {
  // In the order of IDENTITY_REGISTERS and IDENTITY_TEXT_REGISTERS.
  const auto& [version, device_mode, mac_high, mac_low, supported_ip_config, current_ip_config, ip,
               subnet_mask, gateway] = values.registers;
  const auto& [manufacturer, model, device_version, manufacturer_info, serial, user_defined_name] =
      values.texts;
  DeviceInfo info{
      .manufacturer = util::decode_text_field(manufacturer),
      .model = util::decode_text_field(model),
      .device_version = util::decode_text_field(device_version),
      .manufacturer_info = util::decode_text_field(manufacturer_info),
      .serial = util::decode_text_field(serial),
      .user_defined_name = util::decode_text_field(user_defined_name),
      .spec_major = static_cast<std::uint16_t>(version >> 16),
      .spec_minor = static_cast<std::uint16_t>(version & 0xFFFF),
      .device_mode = device_mode,
      .supported_ip_config = supported_ip_config,
      .current_ip_config = current_ip_config,
      .ip = ip,
      .subnet_mask = subnet_mask,
      .gateway = gateway,
  };
  util::store_be16(info.mac.data(), static_cast<std::uint16_t>(mac_high));
  util::store_be32(info.mac.data() + 2, mac_low);
  return info;
}

}  // namespace corvantic::gige::proto
