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

// Each field of a record is read only when all its bytes are present, else it is 0.
void check_event_fields(const DeviceEvent& event, std::span<const std::uint8_t> record, bool extended) {
  const std::uint8_t* p = record.data();
  const std::size_t n = record.size();
  const std::size_t timestamp_at = extended ? 16 : 8;
  if (event.event_id != (n >= 4 ? load_be16(p + 2) : 0)) __builtin_trap();
  if (event.stream_channel != (n >= 6 ? load_be16(p + 4) : 0)) __builtin_trap();
  const std::uint64_t block = extended ? (n >= 16 ? load_be64(p + 8) : 0) : (n >= 8 ? load_be16(p + 6) : 0);
  if (event.block_id != block) __builtin_trap();
  if (event.timestamp != (n >= timestamp_at + 8 ? load_be64(p + timestamp_at) : 0)) __builtin_trap();
}

// The records tile the payload from its start: an EVENTDATA is one record
// with its data, an EVENT whole records (or one short one), and the bytes
// left out are fewer than a record.
void check_event(const GvcpCommand& cmd) {
  std::size_t trailing = 0;
  const auto events = parse_device_events(cmd, &trailing);
  const bool is_event = cmd.header.command == GVCP_EVENT || cmd.header.command == GVCP_EVENTDATA;
  if (events.empty() == is_event) __builtin_trap();
  if (!is_event) return;
  const bool extended = (cmd.header.flags & GVCP_FLAG_EXTENDED_ID) != 0;
  const std::size_t header = extended ? EXTENDED_EVENT_RECORD_SIZE : EVENT_RECORD_SIZE;
  std::size_t offset = 0;
  for (const DeviceEvent& event : events) {
    if (event.command != cmd.header.command || event.extended_id != extended) __builtin_trap();
    if (offset + event.raw.size() > cmd.payload.size()) __builtin_trap();
    const auto record = cmd.payload.subspan(offset, event.raw.size());
    if (!std::ranges::equal(event.raw, record)) __builtin_trap();
    const auto extra = event.data();
    if (extra.size() != (record.size() > header ? record.size() - header : 0)) __builtin_trap();
    if (cmd.header.command == GVCP_EVENT && !extra.empty()) __builtin_trap();
    check_event_fields(event, record, extended);
    offset += event.raw.size();
  }
  if (offset + trailing != cmd.payload.size() || trailing >= header) __builtin_trap();
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
