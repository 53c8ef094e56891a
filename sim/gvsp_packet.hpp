// Device-side GVSP packet layout for the virtual camera: frame planning,
// header/leader/trailer encoding and the deterministic test pattern. Pure
// functions over caller-supplied buffers; no sockets, no state.
//
// Standard header (EI clear), 8 bytes:      Extended-id header (EI set), 20 bytes:
//   0  status      (16)                       0  status      (16)
//   2  block id    (16)                       2  reserved    (16)
//   4  EI | format (1 + 7 bits)               4  EI | format (1 + 7 bits)
//   5  packet id   (24)                       5  reserved    (24)
//                                             8  block id    (64)
//                                            16  packet id   (32)
//
// Leader payload (36 bytes): reserved(2) payload_type(2) timestamp(8)
// pixel_format(4) size_x(4) size_y(4) offset_x(4) offset_y(4) padding_x(2)
// padding_y(2). Trailer payload (8 bytes): reserved(2) payload_type(2)
// size_y(4), and in chunk mode (16 bytes) chunk_data_payload_length(4), the
// whole block payload, then chunk_layout_id(4). Packet ids in a block:
// 0 leader, 1..n data, n + 1 trailer.
//
// Chunk mode: the payload type is image with the extended-chunk flag
// (0x4001), and the block payload is a sequence of chunks, each one's data
// followed by its tag, chunk id(4) and data length(4), so that a receiver
// reads the layout from the end backwards:
//
//   | image | IMAGE id | len | chunk a | a id | len | ... | chunk z | z id | len |
//
// The image comes first; the enabled chunks follow in ChunkKind order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace corvantic::sim {

inline constexpr std::uint8_t GVSP_FORMAT_LEADER = 1;
inline constexpr std::uint8_t GVSP_FORMAT_TRAILER = 2;
inline constexpr std::uint8_t GVSP_FORMAT_PAYLOAD = 3;
inline constexpr std::uint8_t GVSP_EI_FLAG = 0x80;

inline constexpr std::uint16_t GVSP_PAYLOAD_TYPE_IMAGE = 0x0001;
inline constexpr std::uint16_t GVSP_EXTENDED_CHUNK_FLAG = 0x4000;
inline constexpr std::uint16_t GVSP_STATUS_SUCCESS = 0x0000;
inline constexpr std::uint16_t GVSP_STATUS_PACKET_UNAVAILABLE = 0x800C;

inline constexpr std::size_t GVSP_STANDARD_HEADER_SIZE = 8;
inline constexpr std::size_t GVSP_EXTENDED_HEADER_SIZE = 20;
inline constexpr std::size_t GVSP_LEADER_PAYLOAD_SIZE = 36;
inline constexpr std::size_t GVSP_TRAILER_PAYLOAD_SIZE = 8;
inline constexpr std::size_t GVSP_CHUNK_TRAILER_PAYLOAD_SIZE = 16;
// IPv4 (20) + UDP (8): the part of SCPS that is not UDP payload.
inline constexpr std::size_t IP_UDP_OVERHEAD = 28;
// Largest UDP payload of an IPv4 datagram.
inline constexpr std::size_t MAX_UDP_PAYLOAD = 65535 - IP_UDP_OVERHEAD;

// Frames kept for PACKETRESEND: a request for an older block is answered
// with GVSP_STATUS_PACKET_UNAVAILABLE.
inline constexpr std::size_t GVSP_HISTORY_FRAMES = 8;
// At most this many "packet unavailable" answers go out per resend request;
// the rest of a larger range is only counted.
inline constexpr std::uint32_t GVSP_MAX_UNAVAILABLE_ANSWERS = 256;

// Largest payload the virtual camera will send as one frame (the size of a
// 32-bit PayloadSize register).
inline constexpr std::uint64_t GVSP_MAX_FRAME_PAYLOAD = 0xFFFFFFFFull;

[[nodiscard]] constexpr std::size_t gvsp_header_size(bool extended) {
  return extended ? GVSP_EXTENDED_HEADER_SIZE : GVSP_STANDARD_HEADER_SIZE;
}

// The chunks chunk mode can add after the image, by ChunkSelector value;
// FrameLayout::chunks holds bit (1 << value) for each enabled one. Every
// value is big-endian:
//   FrameId        8  the block id
//   Timestamp      8  the block's timestamp, in ticks
//   ExposureTime   8  IEEE double, us
//   Gain           8  IEEE single, dB: the analog gain, then the digital
//                     gain of DigitalShift (6.02 dB a step)
//   Width, Height, PixelFormat, OffsetX, OffsetY   4 each
//   LineStatusAll  4  bit 0: Line0, a strobe output that toggles with each
//                     frame (the block id's low bit); the other lines are low
//   ImageSettings  8  the camera's own: register 0x1003C as stored
//                     (ReverseX, ReverseY, DigitalShift), then TestPattern
enum class ChunkKind : std::uint8_t {
  FrameId,
  Timestamp,
  ExposureTime,
  Gain,
  Width,
  Height,
  PixelFormat,
  OffsetX,
  OffsetY,
  LineStatusAll,
  ImageSettings,
};
inline constexpr std::uint32_t CHUNK_KIND_COUNT = 11;
inline constexpr std::uint32_t ALL_CHUNKS = (1u << CHUNK_KIND_COUNT) - 1;

// The tag ids: the image's, and those of the chunks by kind.
inline constexpr std::uint32_t CHUNK_ID_IMAGE = 0x5C0A0000;
[[nodiscard]] std::uint32_t chunk_id(ChunkKind kind);
// Data bytes of a chunk of `kind` (its tag not counted).
[[nodiscard]] std::uint32_t chunk_length(ChunkKind kind);
inline constexpr std::size_t CHUNK_TAG_BYTES = 8;

// Bytes chunk mode adds to a block after its image: the image's tag and
// every enabled chunk with its tag.
[[nodiscard]] std::uint32_t chunk_data_size(std::uint32_t chunks);
// The most chunk_data_size can be.
inline constexpr std::size_t MAX_CHUNK_DATA = 160;

// Everything that determines the bytes of one frame's packets.
struct FrameLayout {
  std::uint64_t block_id = 0;  // as carried on the wire (16-bit in the standard form)
  bool extended = false;
  std::uint16_t packet_size = 0;  // SCPS in force when the frame was sent
  std::uint32_t pixel_format = 0;
  std::uint32_t width = 0, height = 0, offset_x = 0, offset_y = 0;
  std::uint32_t test_pattern = 0;
  std::uint64_t timestamp = 0;
  // Chunk mode, and what the chunks report beyond the fields above, as the
  // camera used it for this frame.
  bool chunk_mode = false;
  std::uint32_t chunks = 0;         // enabled chunks, bit (1 << ChunkKind)
  std::uint64_t exposure_bits = 0;  // ExposureTime, IEEE double
  std::uint32_t gain_bits = 0;      // Gain, IEEE single
  std::uint32_t image_flags = 0;    // register 0x1003C
  bool lying_chunk_length = false;  // StreamFaults::lying_chunk_length
  std::uint64_t image_size = 0;     // image bytes
  std::uint64_t payload_size = 0;   // block payload: the image, and in chunk mode the chunk data
  std::uint32_t bytes_per_packet = 0;  // data bytes in every data packet but the last
  std::uint32_t data_packets = 0;      // n

  [[nodiscard]] std::uint32_t packet_count() const { return data_packets + 2; }
  [[nodiscard]] std::uint32_t trailer_id() const { return data_packets + 1; }
};

// Image bytes of a width x height frame: bits per pixel from bits 16-23 of
// the pixel format code, rounded up to whole bytes over the frame.
[[nodiscard]] std::uint64_t gvsp_payload_size(std::uint32_t pixel_format, std::uint32_t width,
                                              std::uint32_t height);

// Fills in image_size, payload_size, bytes_per_packet and data_packets from
// the other fields. Nothing when the frame cannot be sent: SCPS leaves no room for
// data, the payload is over GVSP_MAX_FRAME_PAYLOAD, or the packet ids do not
// fit the header form (24 bits standard, 32 bits extended).
[[nodiscard]] std::optional<FrameLayout> plan_frame(FrameLayout layout);

// Writes the header of one packet; returns its size (8 or 20). `out` must
// hold gvsp_header_size(extended) bytes.
std::size_t write_gvsp_header(std::uint8_t* out, bool extended, std::uint16_t status, std::uint64_t block_id,
                              std::uint8_t format, std::uint32_t packet_id);

// Largest UDP payload of any packet of `frame`.
[[nodiscard]] std::size_t max_packet_bytes(const FrameLayout& frame);

// Writes packet `packet_id` (leader, data or trailer) of `frame` into `out`,
// which must hold max_packet_bytes(frame); returns the UDP payload length.
// `packet_id` must be below frame.packet_count().
std::size_t build_packet(const FrameLayout& frame, std::uint32_t packet_id, std::uint8_t* out);

// Writes the chunk data of `frame` (everything after its image in chunk
// mode) to `out`; returns its length, chunk_data_size(frame.chunks).
std::size_t write_chunk_data(const FrameLayout& frame, std::span<std::uint8_t, MAX_CHUNK_DATA> out);

// Header-only answer with an error status for packet `packet_id` of a block
// that is not (or no longer) available. `out` holds at least 20 bytes.
std::size_t build_error_packet(std::uint8_t* out, bool extended, std::uint16_t status, std::uint64_t block_id,
                               std::uint32_t packet_id);

// The test pattern: byte `index` of block `block_id`'s payload. Patterns
// come in three kinds (test_pattern % 3): ascending ramps, descending ramps
// and noise; the ramps restart at a block- and position-dependent value
// every 256 bytes, so a packet placed at the wrong offset is visible.
[[nodiscard]] std::uint8_t gvsp_pattern_byte(std::uint32_t test_pattern, std::uint64_t block_id,
                                             std::uint64_t index);

// Writes pattern bytes first_index .. first_index + out.size() - 1; the
// same values as gvsp_pattern_byte, at memcpy speed for the ramps.
void fill_pattern(std::uint32_t test_pattern, std::uint64_t block_id, std::uint64_t first_index,
                  std::span<std::uint8_t> out);

// TestPattern value of the moving picture, the camera's default: what a
// person sees when the camera is not asked for a test pattern. Over a
// diagonal gradient (a triangle wave along x + y, of period 512 pixels, or
// down to 64 so that small frames show most of it; grey in Mono8 and
// Mono16, three phase-shifted waves in RGB8) lies a vertical
// bar, white with black edges, that moves right by one step per frame
// (block id * step, wrapping), and the block id in decimal digits, white on
// black, in the top left corner. Width, height and pixel format set the
// layout; rows past the height continue the gradient and the bar. Formats
// without whole bytes per pixel get the ramps of fill_pattern instead.
inline constexpr std::uint32_t TEST_PATTERN_MOVING = 4;

// Where the bar and the digits of a frame are, in pixels.
struct MovingPatternGeometry {
  std::uint32_t bar_x = 0;      // left edge; the bar wraps at the right edge
  std::uint32_t bar_width = 0;  // white core plus two black edges
  std::uint32_t bar_edge = 0;
  std::uint32_t step = 0;   // bar movement per frame
  std::uint32_t scale = 0;  // pixels per font unit; a digit is 3 x 5 units in a 4 x 7 cell
  std::uint32_t digits = 0;
};
[[nodiscard]] MovingPatternGeometry moving_pattern_geometry(std::uint32_t width, std::uint32_t height,
                                                            std::uint64_t block_id);

// Writes bytes first_index .. first_index + out.size() - 1 of the payload of
// `frame` as the camera sends it: the moving picture for
// TEST_PATTERN_MOVING (from block_id, pixel_format, width and height),
// otherwise fill_pattern(frame.test_pattern, frame.block_id, ...).
void fill_payload(const FrameLayout& frame, std::uint64_t first_index, std::span<std::uint8_t> out);

}  // namespace corvantic::sim
