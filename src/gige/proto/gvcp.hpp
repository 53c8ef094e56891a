// GVCP datagrams: the commands this client sends, the acknowledges and device
// commands it accepts. Pure functions over bytes; the control worker, the
// session, discovery and the stream receiver's resend requests build on them.
//
// Every multi-byte field is big-endian. Decoders never read past their span
// and trust a length field only as far as the bytes actually present.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "gige/proto/gvcp_status.hpp"

namespace corvantic::gige::proto {

inline constexpr std::uint16_t GVCP_PORT = 3956;
inline constexpr std::size_t GVCP_HEADER_SIZE = 8;
inline constexpr std::uint8_t GVCP_KEY = 0x42;

// Command header flags.
inline constexpr std::uint8_t GVCP_FLAG_ACK_REQUIRED = 0x01;
// DISCOVERY: the device may answer by broadcast.
inline constexpr std::uint8_t GVCP_FLAG_BROADCAST_ACK = 0x10;
// PACKETRESEND: 64-bit block id and 32-bit packet ids.
inline constexpr std::uint8_t GVCP_FLAG_EXTENDED_ID = 0x10;

// Command codes; each acknowledge code is its command's code + 1.
inline constexpr std::uint16_t GVCP_DISCOVERY = 0x0002;
inline constexpr std::uint16_t GVCP_DISCOVERY_ACK = 0x0003;
inline constexpr std::uint16_t GVCP_PACKETRESEND = 0x0040;
inline constexpr std::uint16_t GVCP_READREG = 0x0080;
inline constexpr std::uint16_t GVCP_READREG_ACK = 0x0081;
inline constexpr std::uint16_t GVCP_WRITEREG = 0x0082;
inline constexpr std::uint16_t GVCP_WRITEREG_ACK = 0x0083;
inline constexpr std::uint16_t GVCP_READMEM = 0x0084;
inline constexpr std::uint16_t GVCP_READMEM_ACK = 0x0085;
inline constexpr std::uint16_t GVCP_WRITEMEM = 0x0086;
inline constexpr std::uint16_t GVCP_WRITEMEM_ACK = 0x0087;
inline constexpr std::uint16_t GVCP_PENDING_ACK = 0x0089;
inline constexpr std::uint16_t GVCP_EVENT = 0x00C0;
inline constexpr std::uint16_t GVCP_EVENT_ACK = 0x00C1;
inline constexpr std::uint16_t GVCP_EVENTDATA = 0x00C2;
inline constexpr std::uint16_t GVCP_EVENTDATA_ACK = 0x00C3;

// Discovery is broadcast with this id; the control channel never uses it.
inline constexpr std::uint16_t DISCOVERY_REQUEST_ID = 0xFFFF;

// Largest READMEM count and WRITEMEM data size; longer transfers are chunked.
inline constexpr std::size_t MAX_MEM_CHUNK = 512;

// Size of an extended PACKETRESEND, the longer of its two forms.
inline constexpr std::size_t PACKETRESEND_MAX_SIZE = 28;

// The 8-byte header in front of every command, sent or received:
//
//   0      1      2      4      6      8
//   +------+------+------+------+------+
//   | 0x42 |flags | cmd  |length|req id|
//   +------+------+------+------+------+
struct GvcpHeader {
  std::uint8_t flags = 0;
  std::uint16_t command = 0;
  std::uint16_t length = 0;  // payload bytes after the header
  std::uint16_t request_id = 0;

  [[nodiscard]] bool ack_required() const { return (flags & GVCP_FLAG_ACK_REQUIRED) != 0; }
};

// The 8-byte header in front of every acknowledge:
//
//   0        2        4        6        8
//   +--------+--------+--------+--------+
//   | status |ack code| length | ack id |
//   +--------+--------+--------+--------+
struct GvcpAckHeader {
  GvcpStatus status;
  std::uint16_t acknowledge = 0;
  std::uint16_t length = 0;  // payload bytes after the header
  std::uint16_t ack_id = 0;  // the request id of the command answered
};

// A received command and its payload, `header.length` bytes viewed in the datagram.
struct GvcpCommand {
  GvcpHeader header;
  std::span<const std::uint8_t> payload;
};

// A received acknowledge and its payload, `header.length` bytes viewed in the datagram.
struct GvcpAck {
  GvcpAckHeader header;
  std::span<const std::uint8_t> payload;
};

// One address/value pair of a WRITEREG.
struct RegisterWrite {
  std::uint32_t address = 0;
  std::uint32_t value = 0;
};

// Request ids of one control connection: 1, 2, ..., 0xFFFE, then 1 again.
// 0 and 0xFFFF (the discovery id) are never handed out.
class RequestIds {
 public:
  [[nodiscard]] std::uint16_t next() {
    last_ = last_ < 0xFFFE ? static_cast<std::uint16_t>(last_ + 1) : 1;
    return last_;
  }

 private:
  std::uint16_t last_ = 0;
};

// ---- Framing of received datagrams

enum class GvcpDatagramKind : std::uint8_t { DeviceCommand, Acknowledge };

// A datagram whose first byte is the command key comes from the device as a
// command; anything else, the empty datagram included, is an acknowledge.
[[nodiscard]] GvcpDatagramKind classify_datagram(std::span<const std::uint8_t> datagram);

// Header and payload of an acknowledge; nothing when the datagram is shorter
// than the header or than the length field claims, or when classify_datagram
// takes it for a command. Bytes beyond the payload are ignored.
[[nodiscard]] std::optional<GvcpAck> parse_ack(std::span<const std::uint8_t> datagram);

// Header and payload of a command from the device, by the same length rule;
// nothing as well when the first byte is not the command key.
[[nodiscard]] std::optional<GvcpCommand> parse_device_command(std::span<const std::uint8_t> datagram);

// ---- DISCOVERY / DISCOVERY_ACK

// 42 11 00 02 00 00 ff ff: no payload, broadcast answers allowed.
[[nodiscard]] std::vector<std::uint8_t> encode_discovery();

// The payload of a discovery answer: a valid acknowledge with code
// DISCOVERY_ACK and a status without the error bit. The ack id is not
// compared; the payload's size is checked by the identity block's parser.
[[nodiscard]] std::optional<std::span<const std::uint8_t>> discovery_ack_payload(
    std::span<const std::uint8_t> datagram);

// ---- READREG / READREG_ACK

// One READREG for all `addresses`, 4 payload bytes each.
[[nodiscard]] std::vector<std::uint8_t> encode_readreg(std::span<const std::uint32_t> addresses,
                                                       std::uint16_t request_id);

// The whole 32-bit values of a READREG_ACK payload; a trailing partial word is ignored.
[[nodiscard]] std::vector<std::uint32_t> readreg_ack_values(std::span<const std::uint8_t> payload);

// ---- WRITEREG (its acknowledge's payload is not read)

[[nodiscard]] std::vector<std::uint8_t> encode_writereg(std::span<const RegisterWrite> writes,
                                                        std::uint16_t request_id);

// ---- READMEM / READMEM_ACK

// The count of the next READMEM of a transfer with `remaining` bytes still
// wanted: rounded up to a multiple of 4, at most MAX_MEM_CHUNK.
[[nodiscard]] constexpr std::uint16_t mem_read_chunk_count(std::size_t remaining) {
  if (remaining >= MAX_MEM_CHUNK) return MAX_MEM_CHUNK;
  return static_cast<std::uint16_t>((remaining + 3) & ~std::size_t{3});
}

[[nodiscard]] std::vector<std::uint8_t> encode_readmem(std::uint32_t address, std::uint16_t count,
                                                       std::uint16_t request_id);

// READMEM_ACK payload:
//
//   0         4                length
//   +---------+-----------------+
//   | address |      data       |
//   +---------+-----------------+
//
// The data bytes; nothing when the payload is too short to hold the address.
// The echoed address is not compared with the request.
[[nodiscard]] std::optional<std::span<const std::uint8_t>> readmem_ack_data(
    std::span<const std::uint8_t> payload);

// ---- WRITEMEM (its acknowledge's payload is not read)

// Address then `data` as given (at most MAX_MEM_CHUNK bytes, not padded).
[[nodiscard]] std::vector<std::uint8_t> encode_writemem(std::uint32_t address,
                                                        std::span<const std::uint8_t> data,
                                                        std::uint16_t request_id);

// ---- PENDING_ACK

// The time a PENDING_ACK announces until the final acknowledge. Nothing for
// any other acknowledge code and for a payload shorter than 4 bytes.
[[nodiscard]] std::optional<std::chrono::milliseconds> pending_ack_timeout(const GvcpAck& ack);

// ---- PACKETRESEND (no acknowledge requested)

// Writes a resend request for packets `first`..`last` of block `block_id` of
// stream channel `channel` into `out`, returning the bytes written (20
// standard, 28 extended). A device routes the request by that channel index.
//
// Standard payload (packet ids masked to 24 bits, block id 16 bits):
//   0        2        4        8        12
//   +--------+--------+--------+--------+
//   |channel | block  | first  |  last  |
//   +--------+--------+--------+--------+
// Extended payload:
//   0        2        4        8        12                20
//   +--------+--------+--------+--------+-----------------+
//   |channel |   0    | first  |  last  |    block id     |
//   +--------+--------+--------+--------+-----------------+
[[nodiscard]] std::size_t encode_packetresend(std::span<std::uint8_t, PACKETRESEND_MAX_SIZE> out,
                                              std::uint16_t channel, std::uint64_t block_id, std::uint32_t first,
                                              std::uint32_t last, bool extended, std::uint16_t request_id);

// ---- EVENT, EVENTDATA from the device and their acknowledges

// The events of an EVENT or EVENTDATA command. An EVENT carries one or more
// event records back to back and no data; an EVENTDATA carries one record
// followed by the device's data. A record in the standard form (16 bytes):
//
//   0        2        4        6        8                 16
//   +--------+--------+--------+--------+-----------------+--------....
//   |   0    |event id|channel |block id|    timestamp    |  data
//   |        |        |        |  (16)  |                 |  (EVENTDATA)
//   +--------+--------+--------+--------+-----------------+--------....
//
// With the extended-id flag (0x10) in the command's header the record has
// 64-bit block ids and is 24 bytes long:
//
//   0        2        4        6        8                 16                24
//   +--------+--------+--------+--------+-----------------+-----------------+----....
//   |  size  |event id|channel |   0    |    block id     |    timestamp    |  data
//   +--------+--------+--------+--------+-----------------+-----------------+----....
//
// The first field is not read: records are split at the form's fixed size.
// A field whose bytes are missing from a short payload is 0.
inline constexpr std::size_t EVENT_RECORD_SIZE = 16;
inline constexpr std::size_t EXTENDED_EVENT_RECORD_SIZE = 24;

struct DeviceEvent {
  std::uint16_t command = 0;  // GVCP_EVENT or GVCP_EVENTDATA
  std::uint16_t event_id = 0;
  std::uint16_t stream_channel = 0;
  std::uint64_t block_id = 0;
  std::uint64_t timestamp = 0;
  bool extended_id = false;  // the record has the 24-byte extended form
  // The event's record as received: its header and, for an EVENTDATA, the
  // device's data after it. A description addresses an event's data
  // features from the first byte of this record.
  std::vector<std::uint8_t> raw;

  [[nodiscard]] std::size_t header_size() const {
    return extended_id ? EXTENDED_EVENT_RECORD_SIZE : EVENT_RECORD_SIZE;
  }
  // The record's bytes after its header; empty for an EVENT.
  [[nodiscard]] std::span<const std::uint8_t> data() const;
  bool operator==(const DeviceEvent&) const = default;
};

// Every event `command` carries, in order; nothing when it is neither EVENT
// nor EVENTDATA. An EVENT yields one event per whole record (an empty or
// shorter payload still yields one, with the missing fields 0); bytes after
// the last whole record are left out and counted in `trailing`, when given.
// An EVENTDATA yields exactly one event.
[[nodiscard]] std::vector<DeviceEvent> parse_device_events(const GvcpCommand& command,
                                                           std::size_t* trailing = nullptr);

// The 8-byte acknowledge of an inbound EVENT or EVENTDATA: status success,
// code `inbound_command` + 1, no payload, ack id = the command's request id.
[[nodiscard]] std::array<std::uint8_t, GVCP_HEADER_SIZE> encode_event_ack(std::uint16_t inbound_command,
                                                                          std::uint16_t request_id);

}  // namespace corvantic::gige::proto
