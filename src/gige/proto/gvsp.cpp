#include "gige/proto/gvsp.hpp"

#include "util/bytes.hpp"

namespace corvantic::gige::proto {
namespace {

constexpr std::size_t LEADER_MIN_SIZE = 12;  // up to the end of the timestamp

// A big-endian leader field, 0 when its bytes are not all present.
template <typename T>
T leader_field(std::span<const std::uint8_t> payload, std::size_t offset) {
  if (payload.size() < offset + sizeof(T)) return 0;
  if constexpr (sizeof(T) == 2) return util::load_be16(payload.data() + offset);
  else if constexpr (sizeof(T) == 4) return util::load_be32(payload.data() + offset);
  else return util::load_be64(payload.data() + offset);
}

bool opens_frame(std::uint16_t payload_type) {
  return payload_type == GVSP_PAYLOAD_IMAGE || payload_type == GVSP_PAYLOAD_CHUNK_DATA ||
         payload_type == GVSP_PAYLOAD_EXTENDED_CHUNK;
}

// Planned data packets + 2 for this packet size; nothing when the packet size
// leaves no data bytes, when require_data is set and no data packet is
// planned, or beyond the bound.
std::optional<std::uint64_t> planned_count(const GvspHeader& header, std::uint16_t packet_size,
                                           std::uint64_t payload_size, bool require_data) {
  const auto bytes_per_packet = planned_bytes_per_packet(packet_size, header.extended);
  if (!bytes_per_packet) return std::nullopt;
  if (require_data && payload_size == 0) return std::nullopt;
  return packet_count_for(payload_size, *bytes_per_packet);
}

}  // namespace

std::optional<GvspHeader> parse_header(std::span<const std::uint8_t> datagram) {
  if (datagram.size() < GVSP_HEADER_SIZE) return std::nullopt;
  const std::uint8_t* p = datagram.data();
  GvspHeader header;
  header.status = util::load_be16(p);
  header.format = p[4] & GVSP_FORMAT_MASK;
  header.extended = (p[4] & GVSP_EI_FLAG) != 0;
  if (header.extended) {
    if (datagram.size() < GVSP_EXTENDED_HEADER_SIZE) return std::nullopt;
    header.block_id = util::load_be64(p + 8);
    header.packet_id = util::load_be32(p + 16);
    header.payload = datagram.subspan(GVSP_EXTENDED_HEADER_SIZE);
  } else {
    header.block_id = util::load_be16(p + 2);
    header.packet_id = util::load_be32(p + 4) & 0x00FFFFFF;
    header.payload = datagram.subspan(GVSP_HEADER_SIZE);
  }
  return header;
}

std::optional<LeaderInfo> parse_leader(std::span<const std::uint8_t> payload) {
  if (payload.size() < LEADER_MIN_SIZE) return std::nullopt;
  const auto raw_type = leader_field<std::uint16_t>(payload, 2);
  const auto payload_type = static_cast<std::uint16_t>(raw_type & ~GVSP_PAYLOAD_EXTENDED_CHUNK_FLAG);
  return LeaderInfo{
      .payload_type = payload_type,
      .timestamp = leader_field<std::uint64_t>(payload, 4),
      .pixel_format = leader_field<std::uint32_t>(payload, 12),
      .size_x = leader_field<std::uint32_t>(payload, 16),
      .size_y = leader_field<std::uint32_t>(payload, 20),
      .offset_x = leader_field<std::uint32_t>(payload, 24),
      .offset_y = leader_field<std::uint32_t>(payload, 28),
      .padding_x = leader_field<std::uint16_t>(payload, 32),
      .padding_y = leader_field<std::uint16_t>(payload, 34),
      .chunk_data = (raw_type & GVSP_PAYLOAD_EXTENDED_CHUNK_FLAG) != 0 || payload_type == GVSP_PAYLOAD_CHUNK_DATA ||
                    payload_type == GVSP_PAYLOAD_EXTENDED_CHUNK,
  };
}

std::optional<std::uint32_t> trailer_chunk_data_length(std::span<const std::uint8_t> payload) {
  constexpr std::size_t TYPE_END = 4;
  constexpr std::size_t IMAGE_LENGTH_AT = 8;
  constexpr std::size_t IMAGE_WITH_LENGTH_SIZE = 16;  // the length, then the layout id
  if (payload.size() < TYPE_END) return std::nullopt;
  const std::uint16_t raw_type = util::load_be16(payload.data() + 2);
  const auto payload_type = static_cast<std::uint16_t>(raw_type & ~GVSP_PAYLOAD_EXTENDED_CHUNK_FLAG);
  if (payload_type == GVSP_PAYLOAD_CHUNK_DATA || payload_type == GVSP_PAYLOAD_EXTENDED_CHUNK) {
    if (payload.size() < TYPE_END + 4) return std::nullopt;
    return util::load_be32(payload.data() + TYPE_END);
  }
  const bool image_in_chunk_mode =
      payload_type == GVSP_PAYLOAD_IMAGE && (raw_type & GVSP_PAYLOAD_EXTENDED_CHUNK_FLAG) != 0;
  if (!image_in_chunk_mode || payload.size() < IMAGE_WITH_LENGTH_SIZE) return std::nullopt;
  return util::load_be32(payload.data() + IMAGE_LENGTH_AT);
}

std::optional<std::uint32_t> planned_bytes_per_packet(std::uint16_t packet_size, bool extended) {
  const std::size_t overhead = IP_UDP_OVERHEAD + (extended ? GVSP_EXTENDED_HEADER_SIZE : GVSP_HEADER_SIZE);
  if (packet_size <= overhead) return std::nullopt;
  return static_cast<std::uint32_t>(packet_size - overhead);
}

std::optional<std::uint64_t> packet_count_for(std::uint64_t payload_size, std::uint64_t bytes_per_packet) {
  if (bytes_per_packet == 0) return std::nullopt;
  const std::uint64_t count = planned_data_packets(payload_size, bytes_per_packet) + 2;
  if (count > max_packet_count(payload_size)) return std::nullopt;
  return count;
}

std::optional<std::uint64_t> expected_packet_count(const GvspHeader& header, std::span<const std::uint8_t> payload,
                                                   std::uint16_t packet_size, std::uint64_t payload_size) {
  switch (header.format) {
    case GVSP_FORMAT_LEADER: {
      const auto leader = parse_leader(payload);
      if (!leader || !opens_frame(leader->payload_type)) return std::nullopt;
      return planned_count(header, packet_size, payload_size, false);
    }
    case GVSP_FORMAT_TRAILER: {
      const std::uint64_t count = std::uint64_t{header.packet_id} + 1;
      if (count > max_packet_count(payload_size)) return std::nullopt;
      return count;
    }
    case GVSP_FORMAT_DATA:
      return planned_count(header, packet_size, payload_size, true);
    case GVSP_FORMAT_ALL_IN:
      return 1;
    default:
      return std::nullopt;
  }
}

}  // namespace corvantic::gige::proto
