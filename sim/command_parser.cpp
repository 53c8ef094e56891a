#include "sim/command_parser.hpp"

#include <algorithm>

#include "gige/proto/gvcp_status.hpp"

namespace corvantic::sim {
namespace {

std::unexpected<CommandRejection> reject(const CommandHeader& header, std::uint16_t status) {
  return std::unexpected(CommandRejection{header, status});
}

}  // namespace

std::expected<ParsedCommand, CommandRejection> parse_command(std::span<const std::uint8_t> datagram) {
  util::ByteReader reader(datagram);
  const auto key = reader.u8();
  if (!key || *key != GVCP_KEY || datagram.size() < GVCP_HEADER_SIZE) {
    return std::unexpected(CommandRejection{std::nullopt, gige::proto::GvcpStatus::INVALID_HEADER});
  }
  CommandHeader header;
  header.flags = *reader.u8();
  header.command = *reader.be16();
  header.length = *reader.be16();
  header.request_id = *reader.be16();
  // Bytes beyond `length` are ignored; fewer than it claims is a bad header.
  const auto payload_bytes = reader.bytes(header.length);
  if (!payload_bytes) return reject(header, gige::proto::GvcpStatus::INVALID_HEADER);
  const std::span<const std::uint8_t> payload = *payload_bytes;
  util::ByteReader body(payload);

  switch (header.command) {
    case gvcp_code::DISCOVERY:
      // The payload of a discovery command carries nothing the device uses.
      return ParsedCommand{header, DiscoveryRequest{}};

    case gvcp_code::READREG:
      if (payload.empty() || payload.size() % 4 != 0) return reject(header, gige::proto::GvcpStatus::INVALID_PARAMETER);
      if (payload.size() / 4 > MAX_READREG_ADDRESSES) return reject(header, gige::proto::GvcpStatus::INVALID_PARAMETER);
      return ParsedCommand{header, ReadRegRequest{payload}};

    case gvcp_code::WRITEREG:
      if (payload.empty() || payload.size() % 8 != 0) return reject(header, gige::proto::GvcpStatus::INVALID_PARAMETER);
      if (payload.size() / 8 > MAX_WRITEREG_PAIRS) return reject(header, gige::proto::GvcpStatus::INVALID_PARAMETER);
      return ParsedCommand{header, WriteRegRequest{payload}};

    case gvcp_code::READMEM: {
      if (payload.size() != 8) return reject(header, gige::proto::GvcpStatus::INVALID_PARAMETER);
      ReadMemRequest request;
      request.address = *body.be32();
      const std::uint16_t reserved = *body.be16();
      request.count = *body.be16();
      // A count that needs the reserved bits is larger than any answer.
      if (reserved != 0 || request.count > MAX_MEMORY_BYTES) {
        return reject(header, gige::proto::GvcpStatus::INVALID_PARAMETER);
      }
      return ParsedCommand{header, request};
    }

    case gvcp_code::WRITEMEM: {
      if (payload.size() < 4) return reject(header, gige::proto::GvcpStatus::INVALID_PARAMETER);
      WriteMemRequest request;
      request.address = *body.be32();
      request.data = payload.subspan(4);
      if (request.data.size() > MAX_MEMORY_BYTES) return reject(header, gige::proto::GvcpStatus::INVALID_PARAMETER);
      return ParsedCommand{header, request};
    }

    case gvcp_code::PACKETRESEND: {
      PacketResendRequest request;
      request.extended = (header.flags & FLAG_EXTENDED_ID) != 0;
      if (payload.size() != (request.extended ? 20u : 12u)) {
        return reject(header, gige::proto::GvcpStatus::INVALID_PARAMETER);
      }
      request.channel = *body.be16();
      const std::uint16_t block16 = *body.be16();
      const std::uint32_t first = *body.be32();
      const std::uint32_t last = *body.be32();
      if (request.extended) {
        request.block_id = *body.be64();
        request.first_packet = first;
        request.last_packet = last;
      } else {
        request.block_id = block16;
        request.first_packet = first & 0x00FFFFFF;
        request.last_packet = last & 0x00FFFFFF;
      }
      return ParsedCommand{header, request};
    }

    default:
      // Unknown commands, and the device-to-host commands (EVENT,
      // EVENTDATA, PENDING_ACK) that no host sends to a device.
      return reject(header, gige::proto::GvcpStatus::NOT_IMPLEMENTED);
  }
}

std::optional<HostAck> parse_host_ack(std::span<const std::uint8_t> datagram) {
  if (datagram.size() < GVCP_HEADER_SIZE || datagram[0] == GVCP_KEY) return std::nullopt;
  util::ByteReader reader(datagram);
  HostAck ack;
  ack.status = *reader.be16();
  ack.ack_code = *reader.be16();
  const std::uint16_t length = *reader.be16();
  ack.ack_id = *reader.be16();
  if (reader.remaining() < length) return std::nullopt;
  return ack;
}

void build_ack(std::vector<std::uint8_t>& out, std::uint16_t status, std::uint16_t ack_code,
               std::uint16_t ack_id, std::span<const std::uint8_t> payload) {
  out.clear();
  util::ByteWriter writer(out);
  writer.be16(status);
  writer.be16(ack_code);
  writer.be16(static_cast<std::uint16_t>(payload.size()));
  writer.be16(ack_id);
  writer.bytes(payload);
}

void build_pending_ack(std::vector<std::uint8_t>& out, std::uint16_t ack_id, std::uint32_t ms) {
  out.clear();
  util::ByteWriter writer(out);
  writer.be16(gige::proto::GvcpStatus::SUCCESS);
  writer.be16(gvcp_code::PENDING_ACK);
  writer.be16(4);
  writer.be16(ack_id);
  writer.be16(0);
  writer.be16(static_cast<std::uint16_t>(std::min<std::uint32_t>(ms, 0xFFFF)));
}

namespace {

void write_event_record(util::ByteWriter& writer, const EventRecordFields& record, bool extended,
                        std::size_t size) {
  writer.be16(extended ? static_cast<std::uint16_t>(size) : 0);
  writer.be16(record.event_id);
  writer.be16(record.stream_channel);
  if (extended) {
    writer.be16(0);
    writer.be64(record.block_id);
  } else {
    writer.be16(static_cast<std::uint16_t>(record.block_id));
  }
  writer.be64(record.timestamp);
}

}  // namespace

void build_event(std::vector<std::uint8_t>& out, const EventMessage& event, std::uint16_t request_id) {
  const std::size_t record_size = event.extended ? EXTENDED_EVENT_RECORD_SIZE : EVENT_RECORD_SIZE;
  const std::size_t data_size =
      event.with_data ? std::min(event.data.size(), MAX_GVCP_PAYLOAD - record_size) : 0;
  const std::size_t further =
      event.with_data ? 0 : std::min(event.further.size(), MAX_GVCP_PAYLOAD / record_size - 1);
  const std::size_t length = record_size * (1 + further) + data_size;
  out.clear();
  util::ByteWriter writer(out);
  writer.u8(GVCP_KEY);
  writer.u8(static_cast<std::uint8_t>((event.ack_required ? FLAG_ACK_REQUIRED : 0) |
                                      (event.extended ? FLAG_EXTENDED_ID : 0)));
  writer.be16(event.with_data ? gvcp_code::EVENTDATA : gvcp_code::EVENT);
  writer.be16(static_cast<std::uint16_t>(length));
  writer.be16(request_id);
  const EventRecordFields first{event.event_id, event.stream_channel, event.block_id, event.timestamp};
  write_event_record(writer, first, event.extended, record_size + data_size);
  writer.bytes(std::span(event.data).first(data_size));
  for (std::size_t i = 0; i < further; ++i) write_event_record(writer, event.further[i], event.extended, record_size);
}

}  // namespace corvantic::sim
