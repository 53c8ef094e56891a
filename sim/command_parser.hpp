// The device's view of GVCP datagrams: parsing what a host sends to port
// 3956, and building what the device sends back (acknowledges, pending
// acknowledges, events). Pure functions over bytes; no sockets, no state.
//
// Command header, 8 bytes, then `length` payload bytes:
//
//    0        1        2        3        4        5        6        7
//   +--------+--------+--------+--------+--------+--------+--------+--------+
//   |  0x42  | flags  |     command     |     length      |   request id    |
//   +--------+--------+--------+--------+--------+--------+--------+--------+
//
// Acknowledge header, 8 bytes, then `length` payload bytes:
//
//   +--------+--------+--------+--------+--------+--------+--------+--------+
//   |     status      |   acknowledge   |     length      |     ack id      |
//   +--------+--------+--------+--------+--------+--------+--------+--------+
//
// A datagram that does not start with the key 0x42 is never a command. The
// device takes it as an acknowledge from a host (the answer to one of its
// events) and never answers it: answering stray acknowledges could start an
// endless exchange with another device on the same link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "util/bytes.hpp"

namespace corvantic::sim {

inline constexpr std::uint8_t GVCP_KEY = 0x42;
inline constexpr std::uint8_t FLAG_ACK_REQUIRED = 0x01;
// On PACKETRESEND: the request uses the extended-id layout.
inline constexpr std::uint8_t FLAG_EXTENDED_ID = 0x10;
inline constexpr std::size_t GVCP_HEADER_SIZE = 8;

// Command and acknowledge codes.
namespace gvcp_code {
inline constexpr std::uint16_t DISCOVERY = 0x0002;
inline constexpr std::uint16_t DISCOVERY_ACK = 0x0003;
inline constexpr std::uint16_t PACKETRESEND = 0x0040;
inline constexpr std::uint16_t READREG = 0x0080;
inline constexpr std::uint16_t READREG_ACK = 0x0081;
inline constexpr std::uint16_t WRITEREG = 0x0082;
inline constexpr std::uint16_t WRITEREG_ACK = 0x0083;
inline constexpr std::uint16_t READMEM = 0x0084;
inline constexpr std::uint16_t READMEM_ACK = 0x0085;
inline constexpr std::uint16_t WRITEMEM = 0x0086;
inline constexpr std::uint16_t WRITEMEM_ACK = 0x0087;
inline constexpr std::uint16_t PENDING_ACK = 0x0089;
inline constexpr std::uint16_t EVENT = 0x00C0;
inline constexpr std::uint16_t EVENT_ACK = 0x00C1;
inline constexpr std::uint16_t EVENTDATA = 0x00C2;
inline constexpr std::uint16_t EVENTDATA_ACK = 0x00C3;
}  // namespace gvcp_code

// Largest payload of one GVCP datagram the device accepts or sends: a
// 576-byte IP datagram less the IP, UDP and GVCP headers.
inline constexpr std::size_t MAX_GVCP_PAYLOAD = 540;
// Largest READMEM count and WRITEMEM data size (payload less the address).
inline constexpr std::size_t MAX_MEMORY_BYTES = 536;
// Most addresses one READREG may name, most pairs one WRITEREG may carry.
inline constexpr std::size_t MAX_READREG_ADDRESSES = MAX_GVCP_PAYLOAD / 4;
inline constexpr std::size_t MAX_WRITEREG_PAIRS = MAX_GVCP_PAYLOAD / 8;
// The discovery acknowledge payload: bootstrap bytes 0x0000..0x00F7.
inline constexpr std::size_t DISCOVERY_DATA_SIZE = 248;

struct CommandHeader {
  std::uint8_t flags = 0;
  std::uint16_t command = 0;
  std::uint16_t length = 0;
  std::uint16_t request_id = 0;

  [[nodiscard]] bool ack_required() const { return (flags & FLAG_ACK_REQUIRED) != 0; }
  // The acknowledge code answering this command.
  [[nodiscard]] std::uint16_t ack_code() const { return static_cast<std::uint16_t>(command + 1); }
};

struct DiscoveryRequest {};

// READREG payload: n addresses of 32 bits.
struct ReadRegRequest {
  std::span<const std::uint8_t> raw;
  [[nodiscard]] std::size_t count() const { return raw.size() / 4; }
  [[nodiscard]] std::uint32_t address(std::size_t i) const { return util::load_be32(raw.data() + 4 * i); }
};

// WRITEREG payload: n pairs of address and value, 32 bits each.
struct WriteRegRequest {
  std::span<const std::uint8_t> raw;
  [[nodiscard]] std::size_t count() const { return raw.size() / 8; }
  [[nodiscard]] std::uint32_t address(std::size_t i) const { return util::load_be32(raw.data() + 8 * i); }
  [[nodiscard]] std::uint32_t value(std::size_t i) const { return util::load_be32(raw.data() + 8 * i + 4); }
};

// READMEM payload: address (32), reserved (16, zero), count (16).
struct ReadMemRequest {
  std::uint32_t address = 0;
  std::uint32_t count = 0;
};

// WRITEMEM payload: address (32), then the data.
struct WriteMemRequest {
  std::uint32_t address = 0;
  std::span<const std::uint8_t> data;
};

// PACKETRESEND payload, standard (flags without 0x10, 12 bytes):
//   channel (16), block id (16), first packet id (8 reserved + 24), last packet id (8 reserved + 24)
// extended (flag 0x10, 20 bytes):
//   channel (16), reserved (16), first packet id (32), last packet id (32), block id (64)
struct PacketResendRequest {
  std::uint16_t channel = 0;
  std::uint64_t block_id = 0;
  std::uint32_t first_packet = 0;
  std::uint32_t last_packet = 0;
  bool extended = false;
};

using Request = std::variant<DiscoveryRequest, ReadRegRequest, WriteRegRequest, ReadMemRequest,
                             WriteMemRequest, PacketResendRequest>;

struct ParsedCommand {
  CommandHeader header;
  Request request;
};

// Why a datagram was not accepted. With a header the device may answer with
// `status` (when the host asked for an acknowledge); without one the datagram
// is dropped.
struct CommandRejection {
  std::optional<CommandHeader> header;
  std::uint16_t status = 0;
};

// Parses one datagram received on the control port. Payloads are spans into
// `datagram`, valid while it is.
[[nodiscard]] std::expected<ParsedCommand, CommandRejection> parse_command(
    std::span<const std::uint8_t> datagram);

// An acknowledge received from a host (for an event the device sent).
struct HostAck {
  std::uint16_t status = 0;
  std::uint16_t ack_code = 0;
  std::uint16_t ack_id = 0;
};
// Nothing for datagrams that start with the command key, are shorter than 8
// bytes or whose length field claims more than they carry.
[[nodiscard]] std::optional<HostAck> parse_host_ack(std::span<const std::uint8_t> datagram);

// Builders. Each appends one complete datagram to `out` after clearing it, so
// a caller can reuse one buffer.
void build_ack(std::vector<std::uint8_t>& out, std::uint16_t status, std::uint16_t ack_code,
               std::uint16_t ack_id, std::span<const std::uint8_t> payload);
// PENDING_ACK: reserved (16), time to completion in ms (16); `ms` above
// 65535 is announced as 65535.
void build_pending_ack(std::vector<std::uint8_t>& out, std::uint16_t ack_id, std::uint32_t ms);

// EVENT (no data) or EVENTDATA (with data). An event record, standard form
// (16 bytes):
//   0 (16), event id (16), stream channel (16), block id (16), timestamp (64)
// extended form (24 bytes, flag 0x10 in the header, 64-bit block ids):
//   size (16, the record's bytes), event id (16), stream channel (16), 0 (16), block id (64), timestamp (64)
// An EVENTDATA's data follows its one record (and counts in its size).
struct EventRecordFields {
  std::uint16_t event_id = 0;
  std::uint16_t stream_channel = 0xFFFF;  // no channel
  std::uint64_t block_id = 0;             // its low 16 bits in the standard form
  std::uint64_t timestamp = 0;
};
struct EventMessage {
  std::uint16_t event_id = 0;
  std::uint16_t stream_channel = 0xFFFF;  // no channel
  std::uint64_t block_id = 0;             // its low 16 bits in the standard form
  std::uint64_t timestamp = 0;
  std::vector<std::uint8_t> data;
  std::vector<EventRecordFields> further;  // an EVENT's records after the first
  bool with_data = false;                  // EVENTDATA rather than EVENT
  bool ack_required = false;
  bool extended = false;  // records in the extended form
};
inline constexpr std::size_t EVENT_RECORD_SIZE = 16;
inline constexpr std::size_t EXTENDED_EVENT_RECORD_SIZE = 24;
// Largest data part of an EVENTDATA (in the standard form; the extended
// form's longer header leaves 8 bytes less).
inline constexpr std::size_t MAX_EVENT_DATA = MAX_GVCP_PAYLOAD - EVENT_RECORD_SIZE;
// Most records one EVENT carries.
inline constexpr std::size_t MAX_EVENT_RECORDS = MAX_GVCP_PAYLOAD / EVENT_RECORD_SIZE;
void build_event(std::vector<std::uint8_t>& out, const EventMessage& event, std::uint16_t request_id);

}  // namespace corvantic::sim
