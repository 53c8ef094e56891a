// GVSP datagrams as the stream receiver reads them: the packet header in its
// standard and extended-id forms, the leader fields kept with a frame, and
// the packet count a new frame is planned with. Pure functions over bytes;
// the stream worker applies them.
//
// Every multi-byte field is big-endian. Parsers never read past their span,
// and a packet count taken from the wire is only accepted within
// max_packet_count, so nothing sized from it can grow without bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "gige/proto/gvcp_status.hpp"

namespace corvantic::gige::proto {

inline constexpr std::size_t GVSP_HEADER_SIZE = 8;
inline constexpr std::size_t GVSP_EXTENDED_HEADER_SIZE = 20;
// Byte 4 of the header: extended-id flag in bit 7, packet format in bits 0-6.
inline constexpr std::uint8_t GVSP_EI_FLAG = 0x80;
inline constexpr std::uint8_t GVSP_FORMAT_MASK = 0x7F;

// Packet formats.
inline constexpr std::uint8_t GVSP_FORMAT_LEADER = 1;
inline constexpr std::uint8_t GVSP_FORMAT_TRAILER = 2;
inline constexpr std::uint8_t GVSP_FORMAT_DATA = 3;
inline constexpr std::uint8_t GVSP_FORMAT_ALL_IN = 4;

// Leader payload types a frame may be opened with, after clearing the
// extended-chunk bit.
inline constexpr std::uint16_t GVSP_PAYLOAD_IMAGE = 0x0001;
inline constexpr std::uint16_t GVSP_PAYLOAD_CHUNK_DATA = 0x0004;
inline constexpr std::uint16_t GVSP_PAYLOAD_EXTENDED_CHUNK = 0x0005;
inline constexpr std::uint16_t GVSP_PAYLOAD_EXTENDED_CHUNK_FLAG = 0x4000;

// IPv4 (20) and UDP (8) headers: the part of a packet size that is not UDP payload.
inline constexpr std::size_t IP_UDP_OVERHEAD = 28;

// The fewest data bytes per data packet a stream may use, from which
// max_packet_count is derived. GigE Vision devices stream packets of at
// least 576 bytes (the IPv4 minimum datagram: 528 or 540 data bytes), and
// this client never negotiates below 560; 64 leaves room for devices and
// explicitly configured packet sizes far smaller than that, while a hostile
// count can still cost no more than one packet-state entry per 64 bytes of
// the frame. A packet size whose planned data length is below 64 (under 100
// bytes standard, 112 extended) cannot carry a frame.
inline constexpr std::uint64_t MIN_DATA_BYTES_PER_PACKET = 64;

// The header in front of every GVSP datagram.
//
// Standard form (EI clear), 8 bytes:
//
//   0        2        4    5                 8
//   +--------+--------+----+-----------------+----....
//   | status |block id|EI+f|    packet id    | payload
//   +--------+--------+----+-----------------+----....
//                      bit 7 EI = 0, bits 0-6 format; packet id 24 bits
//
// Extended-id form (EI set), 20 bytes:
//
//   0        2        4    5        8                 16       20
//   +--------+--------+----+--------+-----------------+--------+----....
//   | status |(unread)|EI+f|(unread)|    block id     |packet id| payload
//   +--------+--------+----+--------+-----------------+--------+----....
//                      bit 7 EI = 1; block id 64 bits, packet id 32 bits
struct GvspHeader {
  std::uint16_t status = 0;
  std::uint64_t block_id = 0;
  std::uint8_t format = 0;
  std::uint32_t packet_id = 0;
  bool extended = false;
  std::span<const std::uint8_t> payload;  // the bytes after the header

  // Statuses with the top bit set carry no data for assembly.
  [[nodiscard]] bool is_error() const { return (status & 0x8000) != 0; }
};

// The header of `datagram`; nothing when it is shorter than its form's
// header (8 bytes, or 20 with the EI flag set).
[[nodiscard]] std::optional<GvspHeader> parse_header(std::span<const std::uint8_t> datagram);

// The statuses after which resending a packet cannot help: packet
// unavailable, packet and previous removed from memory, packet removed.
[[nodiscard]] constexpr bool resend_impossible(std::uint16_t status) {
  return status == GvcpStatus::PACKET_UNAVAILABLE || status == GvcpStatus::PACKET_AND_PREVIOUS_REMOVED ||
         status == GvcpStatus::PACKET_REMOVED;
}

// The leader fields, offsets relative to the payload start:
//
//   0        2        4                 12       16       20       24       28       32   34   36
//   +--------+--------+-----------------+--------+--------+--------+--------+--------+----+----+
//   |(unread)|pay type|    timestamp    | pixfmt | size_x | size_y |offset_x|offset_y|padx|pady|
//   +--------+--------+-----------------+--------+--------+--------+--------+--------+----+----+
//
// A field is read only when the payload holds it whole, otherwise it is 0.
struct LeaderInfo {
  std::uint16_t payload_type = 0;  // with the extended-chunk bit (0x4000) cleared
  std::uint64_t timestamp = 0;     // device ticks
  std::uint32_t pixel_format = 0;
  std::uint32_t size_x = 0;
  std::uint32_t size_y = 0;
  std::uint32_t offset_x = 0;
  std::uint32_t offset_y = 0;
  std::uint16_t padding_x = 0;
  std::uint16_t padding_y = 0;
  // The payload is a chunk layout (chunk_layout.hpp): the extended-chunk bit
  // was set, or the type is chunk data or extended chunk data.
  bool chunk_data = false;
  bool operator==(const LeaderInfo&) const = default;
};

// The leader information of a leader packet's payload; nothing when the
// payload is shorter than 12 bytes (it ends before the timestamp).
[[nodiscard]] std::optional<LeaderInfo> parse_leader(std::span<const std::uint8_t> payload);

// The length of the chunk data a trailer announces: the bytes at the start
// of the block payload that hold its chunks (in an image block the whole
// payload, the image being its first chunk). Offsets relative to the
// payload start; every trailer opens with the payload type, and where the
// length stands depends on it:
//
//   image (1) in chunk mode (extended-chunk bit set), 16 bytes:
//   0        2        4        8                 12                16
//   +--------+--------+--------+-----------------+-----------------+
//   |(unread)|pay type| size_y |chunk data length| chunk layout id |
//   +--------+--------+--------+-----------------+-----------------+
//
//   chunk data (4), extended chunk data (5):
//   0        2        4                 8
//   +--------+--------+-----------------+----....
//   |(unread)|pay type|chunk data length| (unread)
//   +--------+--------+-----------------+----....
//
// Some devices in chunk mode end an image trailer after 12 bytes, the layout
// id right after size_y and no length: an image trailer's length is read
// only from one of 16 bytes or more. Nothing for any other trailer, or for
// one too short to hold the length.
[[nodiscard]] std::optional<std::uint32_t> trailer_chunk_data_length(std::span<const std::uint8_t> payload);

// Data bytes per data packet as planned from the packet size: packet_size
// less the IPv4, UDP and GVSP headers (36 bytes standard, 48 extended).
// Nothing when the packet size does not exceed that overhead.
[[nodiscard]] std::optional<std::uint32_t> planned_bytes_per_packet(std::uint16_t packet_size, bool extended);

// Data packets needed for payload_size bytes at bytes_per_packet each (> 0),
// the last one possibly short.
[[nodiscard]] constexpr std::uint64_t planned_data_packets(std::uint64_t payload_size,
                                                           std::uint64_t bytes_per_packet) {
  return payload_size / bytes_per_packet + (payload_size % bytes_per_packet != 0 ? 1 : 0);
}

// The most packets, leader and trailer included, a frame of payload_size
// bytes can legitimately need: its data in packets of
// MIN_DATA_BYTES_PER_PACKET, plus leader and trailer. Counts a device
// claims beyond this are not believed.
[[nodiscard]] constexpr std::uint64_t max_packet_count(std::uint64_t payload_size) {
  return planned_data_packets(payload_size, MIN_DATA_BYTES_PER_PACKET) + 2;
}

// The packet count of a frame whose data packets carry bytes_per_packet
// bytes (> 0): data packets plus leader and trailer. Nothing when that
// exceeds max_packet_count(payload_size).
[[nodiscard]] std::optional<std::uint64_t> packet_count_for(std::uint64_t payload_size,
                                                            std::uint64_t bytes_per_packet);

// The packet count of a new frame opened by the packet `header` with
// `payload` (the bytes after the header), leader and trailer included, or
// nothing when the frame is unsupported:
//
//   leader, payload >= 12 bytes, masked type 1, 4 or 5   planned data packets + 2
//   trailer                                              packet_id + 1
//   data payload                                         planned data packets + 2 (none planned: unsupported)
//   all-in                                               1
//   any other leader, any other format                   unsupported
//
// The planned data packets come from planned_bytes_per_packet(packet_size)
// (unsupported when it has none). A count above max_packet_count(payload_size)
// is unsupported as well.
[[nodiscard]] std::optional<std::uint64_t> expected_packet_count(const GvspHeader& header,
                                                                 std::span<const std::uint8_t> payload,
                                                                 std::uint16_t packet_size,
                                                                 std::uint64_t payload_size);

}  // namespace corvantic::gige::proto
