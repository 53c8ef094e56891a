// Device command framing, event extraction and the event acknowledge built
// from it, on arbitrary bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "gige/proto/gvcp.hpp"
#include "util/bytes.hpp"

using namespace corvantic;
using namespace corvantic::util;
using namespace corvantic::gige::proto;

namespace {

// Each field is read only when all its bytes are present, else it is 0.
void check_event_fields(const DeviceEvent& event, std::span<const std::uint8_t> payload) {
  const std::uint8_t* p = payload.data();
  const std::size_t n = payload.size();
  if (event.event_id != (n >= 4 ? load_be16(p + 2) : 0)) __builtin_trap();
  if (event.stream_channel != (n >= 6 ? load_be16(p + 4) : 0)) __builtin_trap();
  if (event.block_id != (n >= 8 ? load_be16(p + 6) : 0)) __builtin_trap();
  if (event.timestamp != (n >= 16 ? load_be64(p + 8) : 0)) __builtin_trap();
}

void check_event(const GvcpCommand& cmd) {
  const auto event = parse_device_event(cmd);
  const bool is_event = cmd.header.command == GVCP_EVENT || cmd.header.command == GVCP_EVENTDATA;
  if (event.has_value() != is_event) __builtin_trap();
  if (!event) return;
  if (event->command != cmd.header.command) __builtin_trap();
  if (!std::ranges::equal(event->raw, cmd.payload)) __builtin_trap();
  const auto extra = event->data();
  if (extra.size() != (cmd.payload.size() > 16 ? cmd.payload.size() - 16 : 0)) __builtin_trap();
  if (!std::ranges::equal(extra, cmd.payload.subspan(cmd.payload.size() - extra.size()))) __builtin_trap();
  check_event_fields(*event, cmd.payload);
}

// The acknowledge we would send back parses as a success acknowledge of the
// next code, echoing the request id, with no payload.
void check_event_ack(const GvcpCommand& cmd) {
  const auto bytes = encode_event_ack(cmd.header.command, cmd.header.request_id);
  const auto ack = parse_ack(bytes);
  if (!ack) __builtin_trap();
  if (ack->header.status.code != GvcpStatus::SUCCESS) __builtin_trap();
  if (ack->header.acknowledge != static_cast<std::uint16_t>(cmd.header.command + 1)) __builtin_trap();
  if (ack->header.ack_id != cmd.header.request_id || !ack->payload.empty()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> datagram(data, size);
  const auto cmd = parse_device_command(datagram);
  if (!cmd) return 0;
  if (classify_datagram(datagram) != GvcpDatagramKind::DeviceCommand) __builtin_trap();
  if (parse_ack(datagram)) __builtin_trap();
  if (cmd->payload.size() != cmd->header.length) __builtin_trap();
  if (GVCP_HEADER_SIZE + cmd->payload.size() > size) __builtin_trap();
  if (cmd->payload.data() != data + GVCP_HEADER_SIZE) __builtin_trap();

  check_event(*cmd);
  check_event_ack(*cmd);
  return 0;
}
