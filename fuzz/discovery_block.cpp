// The identity block parser and the printable form of its result, on arbitrary bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "gige/proto/bootstrap.hpp"

using namespace corvantic;
using namespace corvantic::util;
using namespace corvantic::gige::proto;

namespace {

// Lossy UTF-8 decoding turns each input byte into at most 3 output bytes.
void check_text(const std::string& text, TextRegister field) {
  if (text.size() > 3 * field.size) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> block(data, size);
  const auto info = parse_discovery_block(block);
  if (info.has_value() != (size >= DISCOVERY_DATA_SIZE)) __builtin_trap();
  if (!info) return 0;
  // Bytes past the block do not matter.
  if (*info != *parse_discovery_block(block.first(DISCOVERY_DATA_SIZE))) __builtin_trap();

  check_text(info->manufacturer, REG_MANUFACTURER_NAME);
  check_text(info->model, REG_MODEL_NAME);
  check_text(info->device_version, REG_DEVICE_VERSION);
  check_text(info->manufacturer_info, REG_MANUFACTURER_INFO);
  check_text(info->serial, REG_SERIAL_NUMBER);
  check_text(info->user_defined_name, REG_USER_DEFINED_NAME);
  if (info->mac_string().size() != 17) __builtin_trap();

  const std::string ip = ipv4_string(info->ip);
  if (ip.size() < 7 || ip.size() > 15 || std::ranges::count(ip, '.') != 3) __builtin_trap();
  const std::string shown = info->display();
  if (!shown.starts_with("DeviceInfo(") || !shown.ends_with(" ip=" + ip + ")")) __builtin_trap();
  return 0;
}
