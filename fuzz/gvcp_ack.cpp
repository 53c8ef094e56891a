// Acknowledge framing and every acknowledge payload decoder, on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <span>

#include "gige/proto/gvcp.hpp"
#include "util/bytes.hpp"

using namespace corvantic;
using namespace corvantic::util;
using namespace corvantic::gige::proto;

namespace {

void check_readreg_values(std::span<const std::uint8_t> payload) {
  const auto values = readreg_ack_values(payload);
  if (values.size() != payload.size() / 4) __builtin_trap();
  if (values.empty()) return;
  if (values.back() != load_be32(payload.data() + 4 * (values.size() - 1))) __builtin_trap();
}

void check_readmem_data(std::span<const std::uint8_t> payload) {
  const auto data = readmem_ack_data(payload);
  if (payload.size() < 4) {
    if (data) __builtin_trap();
    return;
  }
  if (!data || data->data() != payload.data() + 4 || data->size() != payload.size() - 4) __builtin_trap();
}

void check_pending(const GvcpAck& ack) {
  const bool pending = ack.header.acknowledge == GVCP_PENDING_ACK && ack.payload.size() >= 4;
  const auto timeout = pending_ack_timeout(ack);
  if (timeout.has_value() != pending) __builtin_trap();
  if (timeout && timeout->count() != load_be32(ack.payload.data())) __builtin_trap();
}

void check_discovery(std::span<const std::uint8_t> datagram, const GvcpAck& ack) {
  const bool accepted = ack.header.acknowledge == GVCP_DISCOVERY_ACK && !ack.header.status.is_error();
  const auto payload = discovery_ack_payload(datagram);
  if (payload.has_value() != accepted) __builtin_trap();
  if (!payload) return;
  if (payload->data() != ack.payload.data() || payload->size() != ack.payload.size()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> datagram(data, size);
  const auto ack = parse_ack(datagram);
  if (!ack) {
    if (discovery_ack_payload(datagram)) __builtin_trap();
    return 0;
  }
  // An acknowledge is never keyed like a command, and its payload is exactly
  // the claimed length, inside the datagram, right after the header.
  if (classify_datagram(datagram) != GvcpDatagramKind::Acknowledge) __builtin_trap();
  if (ack->payload.size() != ack->header.length) __builtin_trap();
  if (GVCP_HEADER_SIZE + ack->payload.size() > size) __builtin_trap();
  if (ack->payload.data() != data + GVCP_HEADER_SIZE) __builtin_trap();

  check_readreg_values(ack->payload);
  check_readmem_data(ack->payload);
  check_pending(*ack);
  check_discovery(datagram, *ack);
  return 0;
}
