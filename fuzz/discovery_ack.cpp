// Discovery answer acceptance and the identity block it carries, on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <span>

#include "gige/proto/bootstrap.hpp"
#include "gige/proto/gvcp.hpp"

using namespace corvantic;
using namespace corvantic::util;
using namespace corvantic::gige::proto;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> datagram(data, size);
  const auto payload = discovery_ack_payload(datagram);
  const auto info = device_info_from_discovery_ack(datagram);
  if (!payload) {
    if (info) __builtin_trap();
    return 0;
  }
  // The accepted payload lies inside the datagram, after the header.
  if (payload->data() != data + GVCP_HEADER_SIZE) __builtin_trap();
  if (GVCP_HEADER_SIZE + payload->size() > size) __builtin_trap();
  // A device is found exactly when the payload holds a whole identity block,
  // and it is the block's own parse.
  if (info.has_value() != (payload->size() >= DISCOVERY_DATA_SIZE)) __builtin_trap();
  if (info && *info != *parse_discovery_block(*payload)) __builtin_trap();
  return 0;
}
