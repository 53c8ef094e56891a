#include "gige/proto/gvcp.hpp"

#include "util/bytes.hpp"

namespace corvantic::gige::proto {
namespace {

// Header fields are written with the payload's length; callers keep payloads
// far below 64 KiB (GVCP datagrams stay within one unfragmented UDP packet).
void write_command_header(util::ByteWriter& w, std::uint8_t flags, std::uint16_t command, std::size_t length,
                          std::uint16_t request_id) {
  w.u8(GVCP_KEY);
  w.u8(flags);
  w.be16(command);
  w.be16(static_cast<std::uint16_t>(length));
  w.be16(request_id);
}

// The payload of a framed datagram: `length` bytes after the 8-byte header,
// or nothing when the datagram is shorter than the header or the claim.
std::optional<std::span<const std::uint8_t>> framed_payload(std::span<const std::uint8_t> datagram) {
  if (datagram.size() < GVCP_HEADER_SIZE) return std::nullopt;
  const std::size_t length = util::load_be16(datagram.data() + 4);
  if (datagram.size() - GVCP_HEADER_SIZE < length) return std::nullopt;
  return datagram.subspan(GVCP_HEADER_SIZE, length);
}

// A big-endian field of the event payload, 0 when its bytes are not all present.
template <typename T>
T event_field(std::span<const std::uint8_t> payload, std::size_t offset) {
  if (payload.size() < offset + sizeof(T)) return 0;
  if constexpr (sizeof(T) == 2) return util::load_be16(payload.data() + offset);
  else return util::load_be64(payload.data() + offset);
}

}  // namespace

// ---- Framing

GvcpDatagramKind classify_datagram(std::span<const std::uint8_t> datagram) {
  if (!datagram.empty() && datagram[0] == GVCP_KEY) return GvcpDatagramKind::DeviceCommand;
  return GvcpDatagramKind::Acknowledge;
}

std::optional<GvcpAck> parse_ack(std::span<const std::uint8_t> datagram) {
  if (classify_datagram(datagram) != GvcpDatagramKind::Acknowledge) return std::nullopt;
  const auto payload = framed_payload(datagram);
  if (!payload) return std::nullopt;
  const std::uint8_t* p = datagram.data();
  return GvcpAck{
      .header = {.status = GvcpStatus{util::load_be16(p)},
                 .acknowledge = util::load_be16(p + 2),
                 .length = util::load_be16(p + 4),
                 .ack_id = util::load_be16(p + 6)},
      .payload = *payload,
  };
}

std::optional<GvcpCommand> parse_device_command(std::span<const std::uint8_t> datagram) {
  if (classify_datagram(datagram) != GvcpDatagramKind::DeviceCommand) return std::nullopt;
  const auto payload = framed_payload(datagram);
  if (!payload) return std::nullopt;
  const std::uint8_t* p = datagram.data();
  return GvcpCommand{
      .header = {.flags = p[1],
                 .command = util::load_be16(p + 2),
                 .length = util::load_be16(p + 4),
                 .request_id = util::load_be16(p + 6)},
      .payload = *payload,
  };
}

// ---- DISCOVERY / DISCOVERY_ACK

std::vector<std::uint8_t> encode_discovery() {
  std::vector<std::uint8_t> out;
  util::ByteWriter w(out);
  write_command_header(w, GVCP_FLAG_ACK_REQUIRED | GVCP_FLAG_BROADCAST_ACK, GVCP_DISCOVERY, 0,
                       DISCOVERY_REQUEST_ID);
  return out;
}

std::optional<std::span<const std::uint8_t>> discovery_ack_payload(std::span<const std::uint8_t> datagram) {
  const auto ack = parse_ack(datagram);
  if (!ack || ack->header.acknowledge != GVCP_DISCOVERY_ACK || ack->header.status.is_error()) {
    return std::nullopt;
  }
  return ack->payload;
}

// ---- READREG / READREG_ACK

std::vector<std::uint8_t> encode_readreg(std::span<const std::uint32_t> addresses, std::uint16_t request_id) {
  std::vector<std::uint8_t> out;
  out.reserve(GVCP_HEADER_SIZE + 4 * addresses.size());
  util::ByteWriter w(out);
  write_command_header(w, GVCP_FLAG_ACK_REQUIRED, GVCP_READREG, 4 * addresses.size(), request_id);
  for (const std::uint32_t address : addresses) w.be32(address);
  return out;
}

std::vector<std::uint32_t> readreg_ack_values(std::span<const std::uint8_t> payload) {
  std::vector<std::uint32_t> values;
  values.reserve(payload.size() / 4);
  util::ByteReader r(payload);
  while (const auto v = r.be32()) values.push_back(*v);
  return values;
}

// ---- WRITEREG

std::vector<std::uint8_t> encode_writereg(std::span<const RegisterWrite> writes, std::uint16_t request_id) {
  std::vector<std::uint8_t> out;
  out.reserve(GVCP_HEADER_SIZE + 8 * writes.size());
  util::ByteWriter w(out);
  write_command_header(w, GVCP_FLAG_ACK_REQUIRED, GVCP_WRITEREG, 8 * writes.size(), request_id);
  for (const RegisterWrite& write : writes) {
    w.be32(write.address);
    w.be32(write.value);
  }
  return out;
}

// ---- READMEM / READMEM_ACK

std::vector<std::uint8_t> encode_readmem(std::uint32_t address, std::uint16_t count,
                                         std::uint16_t request_id) {
  std::vector<std::uint8_t> out;
  out.reserve(GVCP_HEADER_SIZE + 8);
  util::ByteWriter w(out);
  write_command_header(w, GVCP_FLAG_ACK_REQUIRED, GVCP_READMEM, 8, request_id);
  w.be32(address);
  w.be32(count);
  return out;
}

std::optional<std::span<const std::uint8_t>> readmem_ack_data(std::span<const std::uint8_t> payload) {
  if (payload.size() < 4) return std::nullopt;
  return payload.subspan(4);
}

// ---- WRITEMEM

std::vector<std::uint8_t> encode_writemem(std::uint32_t address, std::span<const std::uint8_t> data,
                                          std::uint16_t request_id) {
  std::vector<std::uint8_t> out;
  out.reserve(GVCP_HEADER_SIZE + 4 + data.size());
  util::ByteWriter w(out);
  write_command_header(w, GVCP_FLAG_ACK_REQUIRED, GVCP_WRITEMEM, 4 + data.size(), request_id);
  w.be32(address);
  w.bytes(data);
  return out;
}

// ---- PENDING_ACK

std::optional<std::chrono::milliseconds> pending_ack_timeout(const GvcpAck& ack) {
  if (ack.header.acknowledge != GVCP_PENDING_ACK || ack.payload.size() < 4) return std::nullopt;
  return std::chrono::milliseconds(util::load_be32(ack.payload.data()));
}

// ---- PACKETRESEND

std::size_t encode_packetresend(std::span<std::uint8_t, PACKETRESEND_MAX_SIZE> out, std::uint16_t channel,
                                std::uint64_t block_id, std::uint32_t first, std::uint32_t last, bool extended,
                                std::uint16_t request_id) {
  constexpr std::uint32_t PACKET_ID_24 = 0x00FFFFFF;
  const std::size_t length = extended ? 20 : 12;
  std::uint8_t* p = out.data();
  p[0] = GVCP_KEY;
  p[1] = extended ? GVCP_FLAG_EXTENDED_ID : 0;
  util::store_be16(p + 2, GVCP_PACKETRESEND);
  util::store_be16(p + 4, static_cast<std::uint16_t>(length));
  util::store_be16(p + 6, request_id);
  util::store_be16(p + 8, channel);
  if (extended) {
    util::store_be16(p + 10, 0);
    util::store_be32(p + 12, first);
    util::store_be32(p + 16, last);
    util::store_be64(p + 20, block_id);
  } else {
    util::store_be16(p + 10, static_cast<std::uint16_t>(block_id));
    util::store_be32(p + 12, first & PACKET_ID_24);
    util::store_be32(p + 16, last & PACKET_ID_24);
  }
  return GVCP_HEADER_SIZE + length;
}

// ---- EVENT, EVENTDATA

std::span<const std::uint8_t> DeviceEvent::data() const {
  if (raw.size() <= header_size()) return {};
  return std::span(raw).subspan(header_size());
}

namespace {

// One event from `record`, which holds its header (or what of it arrived)
// and, for an EVENTDATA, the data after it.
DeviceEvent event_from_record(std::uint16_t code, bool extended, std::span<const std::uint8_t> record) {
  return DeviceEvent{
      .command = code,
      .event_id = event_field<std::uint16_t>(record, 2),
      .stream_channel = event_field<std::uint16_t>(record, 4),
      .block_id = extended ? event_field<std::uint64_t>(record, 8) : event_field<std::uint16_t>(record, 6),
      .timestamp = event_field<std::uint64_t>(record, extended ? 16 : 8),
      .extended_id = extended,
      .raw = std::vector<std::uint8_t>(record.begin(), record.end()),
  };
}

}  // namespace

std::vector<DeviceEvent> parse_device_events(const GvcpCommand& command, std::size_t* trailing) {
  if (trailing) *trailing = 0;
  const std::uint16_t code = command.header.command;
  if (code != GVCP_EVENT && code != GVCP_EVENTDATA) return {};
  const bool extended = (command.header.flags & GVCP_FLAG_EXTENDED_ID) != 0;
  const auto payload = command.payload;
  if (code == GVCP_EVENTDATA) return {event_from_record(code, extended, payload)};
  const std::size_t record_size = extended ? EXTENDED_EVENT_RECORD_SIZE : EVENT_RECORD_SIZE;
  if (payload.size() < record_size) return {event_from_record(code, extended, payload)};
  std::vector<DeviceEvent> events;
  events.reserve(payload.size() / record_size);
  std::size_t offset = 0;
  for (; offset + record_size <= payload.size(); offset += record_size) {
    events.push_back(event_from_record(code, extended, payload.subspan(offset, record_size)));
  }
  if (trailing) *trailing = payload.size() - offset;
  return events;
}

std::array<std::uint8_t, GVCP_HEADER_SIZE> encode_event_ack(std::uint16_t inbound_command,
                                                            std::uint16_t request_id) {
  std::array<std::uint8_t, GVCP_HEADER_SIZE> out{};
  util::store_be16(out.data(), GvcpStatus::SUCCESS);
  util::store_be16(out.data() + 2, static_cast<std::uint16_t>(inbound_command + 1));
  util::store_be16(out.data() + 4, 0);
  util::store_be16(out.data() + 6, request_id);
  return out;
}

}  // namespace corvantic::gige::proto
