#include "sim/gvsp_packet.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "util/bytes.hpp"

namespace corvantic::sim {

namespace {

// splitmix64's finaliser: a cheap, well-mixed 64-bit hash.
constexpr std::uint64_t mix64(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 31;
  return x;
}

constexpr std::uint64_t frame_key(std::uint32_t test_pattern, std::uint64_t block_id) {
  return mix64(block_id ^ (std::uint64_t{test_pattern} * 0x9E3779B97F4A7C15ull) ^ 0x5A17C0DEull);
}

// Start value of the ramp in the 256-byte chunk `chunk`.
constexpr std::uint8_t chunk_base(std::uint64_t key, std::uint64_t chunk) {
  return static_cast<std::uint8_t>(mix64(key + chunk) >> 56);
}

// The noise pattern takes 8 bytes from each hash word.
constexpr std::uint64_t noise_word(std::uint64_t key, std::uint64_t word_index) {
  return mix64(key ^ (word_index * 0xD6E8FEB86659FD93ull));
}

enum class PatternKind { Ascending, Descending, Noise };

constexpr PatternKind kind_of(std::uint32_t test_pattern) {
  switch (test_pattern % 3) {
    case 0: return PatternKind::Ascending;
    case 1: return PatternKind::Descending;
    default: return PatternKind::Noise;
  }
}

// ASCENDING[k] = k mod 256 and DESCENDING[k] = -k mod 256, twice over, so
// that any run of up to 256 ramp bytes is one memcpy from the table.
constexpr std::array<std::uint8_t, 512> make_ramp(bool descending) {
  std::array<std::uint8_t, 512> table{};
  for (std::size_t k = 0; k < table.size(); ++k) {
    table[k] = static_cast<std::uint8_t>(descending ? (0u - k) : k);
  }
  return table;
}
constexpr auto ASCENDING = make_ramp(false);
constexpr auto DESCENDING = make_ramp(true);

}  // namespace

std::uint64_t gvsp_payload_size(std::uint32_t pixel_format, std::uint32_t width, std::uint32_t height) {
  const std::uint64_t bits = (pixel_format >> 16) & 0xFF;
  const std::uint64_t pixels = std::uint64_t{width} * height;  // cannot overflow: both below 2^32
  // Beyond this no frame is sendable anyway; saturate instead of overflowing.
  if (pixels > GVSP_MAX_FRAME_PAYLOAD * 8) return UINT64_MAX;
  return (pixels * bits + 7) / 8;
}

std::optional<FrameLayout> plan_frame(FrameLayout layout) {
  const std::size_t header = gvsp_header_size(layout.extended);
  if (layout.packet_size <= IP_UDP_OVERHEAD + header) return std::nullopt;
  layout.payload_size = gvsp_payload_size(layout.pixel_format, layout.width, layout.height);
  if (layout.payload_size > GVSP_MAX_FRAME_PAYLOAD) return std::nullopt;
  layout.bytes_per_packet = static_cast<std::uint32_t>(layout.packet_size - IP_UDP_OVERHEAD - header);
  const std::uint64_t n = (layout.payload_size + layout.bytes_per_packet - 1) / layout.bytes_per_packet;
  // The trailer's id, n + 1, must fit the packet id field.
  const std::uint64_t max_trailer_id = layout.extended ? 0xFFFFFFFFull : 0xFFFFFFull;
  if (n + 1 > max_trailer_id) return std::nullopt;
  layout.data_packets = static_cast<std::uint32_t>(n);
  return layout;
}

std::size_t write_gvsp_header(std::uint8_t* out, bool extended, std::uint16_t status, std::uint64_t block_id,
                              std::uint8_t format, std::uint32_t packet_id) {
  util::store_be16(out, status);
  if (!extended) {
    util::store_be16(out + 2, static_cast<std::uint16_t>(block_id));
    util::store_be32(out + 4, (std::uint32_t{format} << 24) | (packet_id & 0xFFFFFF));
    return GVSP_STANDARD_HEADER_SIZE;
  }
  util::store_be16(out + 2, 0);
  util::store_be32(out + 4, std::uint32_t{static_cast<std::uint8_t>(GVSP_EI_FLAG | format)} << 24);
  util::store_be64(out + 8, block_id);
  util::store_be32(out + 16, packet_id);
  return GVSP_EXTENDED_HEADER_SIZE;
}

std::size_t max_packet_bytes(const FrameLayout& frame) {
  const std::size_t data = frame.data_packets > 0 ? frame.bytes_per_packet : 0;
  return gvsp_header_size(frame.extended) + std::max(GVSP_LEADER_PAYLOAD_SIZE, data);
}

std::size_t build_packet(const FrameLayout& frame, std::uint32_t packet_id, std::uint8_t* out) {
  if (packet_id == 0) {
    std::uint8_t* p = out + write_gvsp_header(out, frame.extended, GVSP_STATUS_SUCCESS, frame.block_id,
                                              GVSP_FORMAT_LEADER, 0);
    util::store_be16(p, 0);
    util::store_be16(p + 2, GVSP_PAYLOAD_TYPE_IMAGE);
    util::store_be64(p + 4, frame.timestamp);
    util::store_be32(p + 12, frame.pixel_format);
    util::store_be32(p + 16, frame.width);
    util::store_be32(p + 20, frame.height);
    util::store_be32(p + 24, frame.offset_x);
    util::store_be32(p + 28, frame.offset_y);
    util::store_be16(p + 32, 0);  // padding_x
    util::store_be16(p + 34, 0);  // padding_y
    return static_cast<std::size_t>(p - out) + GVSP_LEADER_PAYLOAD_SIZE;
  }
  if (packet_id >= frame.trailer_id()) {
    std::uint8_t* p = out + write_gvsp_header(out, frame.extended, GVSP_STATUS_SUCCESS, frame.block_id,
                                              GVSP_FORMAT_TRAILER, frame.trailer_id());
    util::store_be16(p, 0);
    util::store_be16(p + 2, GVSP_PAYLOAD_TYPE_IMAGE);
    util::store_be32(p + 4, frame.height);
    return static_cast<std::size_t>(p - out) + GVSP_TRAILER_PAYLOAD_SIZE;
  }
  const std::size_t header =
      write_gvsp_header(out, frame.extended, GVSP_STATUS_SUCCESS, frame.block_id, GVSP_FORMAT_PAYLOAD,
                        packet_id);
  const std::uint64_t offset = std::uint64_t{packet_id - 1} * frame.bytes_per_packet;
  const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(
      frame.bytes_per_packet, frame.payload_size > offset ? frame.payload_size - offset : 0));
  fill_pattern(frame.test_pattern, frame.block_id, offset, std::span(out + header, length));
  return header + length;
}

std::size_t build_error_packet(std::uint8_t* out, bool extended, std::uint16_t status, std::uint64_t block_id,
                               std::uint32_t packet_id) {
  return write_gvsp_header(out, extended, status, block_id, GVSP_FORMAT_PAYLOAD, packet_id);
}

std::uint8_t gvsp_pattern_byte(std::uint32_t test_pattern, std::uint64_t block_id, std::uint64_t index) {
  const std::uint64_t key = frame_key(test_pattern, block_id);
  switch (kind_of(test_pattern)) {
    case PatternKind::Ascending:
      return static_cast<std::uint8_t>(chunk_base(key, index >> 8) + (index & 0xFF));
    case PatternKind::Descending:
      return static_cast<std::uint8_t>(chunk_base(key, index >> 8) - (index & 0xFF));
    case PatternKind::Noise:
      break;
  }
  return static_cast<std::uint8_t>(noise_word(key, index >> 3) >> (8 * (index & 7)));
}

void fill_pattern(std::uint32_t test_pattern, std::uint64_t block_id, std::uint64_t first_index,
                  std::span<std::uint8_t> out) {
  const std::uint64_t key = frame_key(test_pattern, block_id);
  const PatternKind kind = kind_of(test_pattern);
  std::uint8_t* dst = out.data();
  std::size_t remaining = out.size();
  std::uint64_t index = first_index;
  if (kind == PatternKind::Noise) {
    while (remaining > 0) {
      const std::uint64_t word = noise_word(key, index >> 3);
      const unsigned sub = static_cast<unsigned>(index & 7);
      const std::size_t take = std::min<std::size_t>(8 - sub, remaining);
      for (std::size_t t = 0; t < take; ++t) dst[t] = static_cast<std::uint8_t>(word >> (8 * (sub + t)));
      dst += take;
      remaining -= take;
      index += take;
    }
    return;
  }
  while (remaining > 0) {
    const unsigned lo = static_cast<unsigned>(index & 0xFF);
    const std::size_t take = std::min<std::size_t>(256 - lo, remaining);
    const unsigned base = chunk_base(key, index >> 8);
    // Ascending: value(lo + t) = base + lo + t = ASCENDING[(base + lo) % 256 + t].
    // Descending: value(lo + t) = base - lo - t = DESCENDING[(lo - base) % 256 + t].
    const std::uint8_t* src = kind == PatternKind::Ascending ? ASCENDING.data() + ((base + lo) & 0xFF)
                                                             : DESCENDING.data() + ((lo - base) & 0xFF);
    std::memcpy(dst, src, take);
    dst += take;
    remaining -= take;
    index += take;
  }
}

}  // namespace corvantic::sim
