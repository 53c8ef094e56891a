// The GVSP header, leader and trailer parsers and the packet-count rules, on arbitrary
// bytes. The first three input bytes choose the packet size (two bytes) and a
// payload size (one byte, as a power of two), the rest is the datagram.
#include <cstddef>
#include <cstdint>
#include <span>

#include "gige/proto/gvsp.hpp"
#include "util/bytes.hpp"

using namespace corvantic;
using namespace corvantic::util;
using namespace corvantic::gige::proto;

namespace {

void check_header(std::span<const std::uint8_t> datagram, const GvspHeader& h) {
  const std::size_t header_size = h.extended ? GVSP_EXTENDED_HEADER_SIZE : GVSP_HEADER_SIZE;
  if (datagram.size() < header_size) __builtin_trap();
  if (h.payload.data() != datagram.data() + header_size) __builtin_trap();
  if (h.payload.size() != datagram.size() - header_size) __builtin_trap();
  if (h.extended != ((datagram[4] & 0x80) != 0) || h.format != (datagram[4] & 0x7F)) __builtin_trap();
  if (!h.extended && (h.block_id > 0xFFFF || h.packet_id > 0xFFFFFF)) __builtin_trap();
}

void check_leader(std::span<const std::uint8_t> payload) {
  const auto leader = parse_leader(payload);
  if (leader.has_value() != (payload.size() >= 12)) __builtin_trap();
  if (!leader) return;
  if ((leader->payload_type & GVSP_PAYLOAD_EXTENDED_CHUNK_FLAG) != 0) __builtin_trap();
  if (leader->timestamp != load_be64(payload.data() + 4)) __builtin_trap();
  // A field the payload does not hold whole reads as 0.
  if (payload.size() < 36 && leader->padding_y != 0) __builtin_trap();
  if (payload.size() < 16 && leader->pixel_format != 0) __builtin_trap();
}

// A length is read only from a trailer of chunk data long enough to hold
// it: 8 bytes for the chunk data types, 16 for an image in chunk mode.
void check_trailer(std::span<const std::uint8_t> payload) {
  const auto length = trailer_chunk_data_length(payload);
  if (!length) return;
  const std::uint16_t type = load_be16(payload.data() + 2) & ~GVSP_PAYLOAD_EXTENDED_CHUNK_FLAG;
  const std::size_t at = type == GVSP_PAYLOAD_IMAGE ? 8 : 4;
  if (type != GVSP_PAYLOAD_IMAGE && type != GVSP_PAYLOAD_CHUNK_DATA && type != GVSP_PAYLOAD_EXTENDED_CHUNK) {
    __builtin_trap();
  }
  if (payload.size() < (type == GVSP_PAYLOAD_IMAGE ? 16u : 8u) || *length != load_be32(payload.data() + at)) {
    __builtin_trap();
  }
}

void check_count(const GvspHeader& h, std::uint16_t packet_size, std::uint64_t payload_size) {
  const auto count = expected_packet_count(h, h.payload, packet_size, payload_size);
  if (!count) return;
  if (*count == 0 || *count > max_packet_count(payload_size)) __builtin_trap();
  switch (h.format) {
    case GVSP_FORMAT_LEADER:
    case GVSP_FORMAT_DATA: {
      const auto bytes_per_packet = planned_bytes_per_packet(packet_size, h.extended);
      if (!bytes_per_packet || *count != planned_data_packets(payload_size, *bytes_per_packet) + 2) __builtin_trap();
      break;
    }
    case GVSP_FORMAT_TRAILER:
      if (*count != std::uint64_t{h.packet_id} + 1) __builtin_trap();
      break;
    case GVSP_FORMAT_ALL_IN:
      if (*count != 1) __builtin_trap();
      break;
    default:
      __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteReader input({data, size});
  const auto packet_size = input.be16();
  const auto payload_shift = input.u8();
  if (!packet_size || !payload_shift) return 0;
  const std::uint64_t payload_size = std::uint64_t{1} << (*payload_shift % 64);
  const auto datagram = std::span<const std::uint8_t>(data, size).subspan(3);

  const auto header = parse_header(datagram);
  if (!header) {
    const bool extended = datagram.size() > 4 && (datagram[4] & 0x80) != 0;
    if (datagram.size() >= (extended ? GVSP_EXTENDED_HEADER_SIZE : GVSP_HEADER_SIZE)) __builtin_trap();
    return 0;
  }
  check_header(datagram, *header);
  check_leader(header->payload);
  check_trailer(header->payload);
  check_count(*header, *packet_size, payload_size);
  return 0;
}
