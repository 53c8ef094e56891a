#include "sim/gvsp_packet.hpp"

#include <algorithm>
#include <array>
#include <bit>
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

// ---- the moving picture

constexpr std::uint32_t GRADIENT_PERIOD = 512;  // pixels
constexpr std::size_t MAX_PIXEL_BYTES = 3;

// Intensity of gradient phase k: up 0..255, then down again.
constexpr std::uint8_t triangle(std::uint32_t k) {
  k %= GRADIENT_PERIOD;
  return static_cast<std::uint8_t>(k < 256 ? k : GRADIENT_PERIOD - 1 - k);
}

// The bytes of the gradient's pixels 0 .. 2 * period - 1 for one pixel
// layout, so that a run of up to one period of any row is one memcpy. The
// gradient advances `speed` phases per pixel: small frames get a faster one,
// so that they still show most of its range.
struct GradientTable {
  std::size_t pixel_bytes = 1;
  std::uint32_t period = GRADIENT_PERIOD;  // in pixels
  std::array<std::uint8_t, 2 * GRADIENT_PERIOD * MAX_PIXEL_BYTES> bytes{};
};
constexpr std::uint32_t MAX_GRADIENT_SPEED = 8;

constexpr GradientTable make_gradient(std::size_t pixel_bytes, std::uint32_t speed) {
  GradientTable table;
  table.pixel_bytes = pixel_bytes;
  table.period = GRADIENT_PERIOD / speed;
  for (std::uint32_t k = 0; k < 2 * table.period; ++k) {
    std::uint8_t* p = table.bytes.data() + k * pixel_bytes;
    const std::uint32_t phase = k * speed;
    if (pixel_bytes == 3) {  // RGB8: three waves a third of a period apart
      p[0] = triangle(phase);
      p[1] = triangle(phase + GRADIENT_PERIOD / 3);
      p[2] = triangle(phase + 2 * GRADIENT_PERIOD / 3);
    } else {  // Mono8, Mono16 (little-endian v * 257): grey
      for (std::size_t b = 0; b < pixel_bytes; ++b) p[b] = triangle(phase);
    }
  }
  return table;
}

// GRADIENTS[pixel bytes - 1][log2 speed].
constexpr auto make_gradients() {
  std::array<std::array<GradientTable, 4>, MAX_PIXEL_BYTES> tables{};
  for (std::size_t pb = 1; pb <= MAX_PIXEL_BYTES; ++pb) {
    for (std::uint32_t shift = 0; shift < 4; ++shift) tables[pb - 1][shift] = make_gradient(pb, 1u << shift);
  }
  return tables;
}
constexpr auto GRADIENTS = make_gradients();

const GradientTable& gradient_for(std::size_t pixel_bytes, std::uint32_t width, std::uint32_t height) {
  // The fastest power of two at which x + y spans at most one period.
  const std::uint64_t span = std::max<std::uint64_t>(1, std::uint64_t{width} + height);
  const std::uint32_t speed = static_cast<std::uint32_t>(
      std::bit_floor(std::clamp<std::uint64_t>(GRADIENT_PERIOD / span, 1, MAX_GRADIENT_SPEED)));
  return GRADIENTS[pixel_bytes - 1][static_cast<std::size_t>(std::countr_zero(speed))];
}

// 3 x 5 digits, one row of three bits per entry, the leftmost bit first.
constexpr std::array<std::array<std::uint8_t, 5>, 10> FONT = {{
    {7, 5, 5, 5, 7},  // 0
    {2, 6, 2, 2, 7},  // 1
    {7, 1, 7, 4, 7},  // 2
    {7, 1, 7, 1, 7},  // 3
    {5, 5, 7, 1, 1},  // 4
    {7, 4, 7, 1, 7},  // 5
    {7, 4, 7, 5, 7},  // 6
    {7, 1, 1, 1, 1},  // 7
    {7, 5, 7, 5, 7},  // 8
    {7, 5, 7, 1, 7},  // 9
}};
constexpr std::uint32_t CELL_UNITS = 4;  // a digit's 3 columns and a gap
constexpr std::uint32_t BOX_ROW_UNITS = 7;  // a blank row above and below the 5 of the digits

// Writes one row's bytes [begin, end) (byte columns within the row) of a
// moving-picture frame. Each part is painted over the ones before, clipped
// to the window, with memcpy and memset only.
class RowPainter {
 public:
  RowPainter(const GradientTable& gradient, std::uint64_t row, std::uint64_t begin, std::uint64_t end,
             std::uint8_t* out)
      : gradient_(gradient), row_(row), begin_(begin), end_(end), out_(out) {}

  // The gradient over pixels [x0, x1).
  void gradient(std::uint64_t x0, std::uint64_t x1) {
    const std::size_t pb = gradient_.pixel_bytes;
    std::uint64_t from = std::max(x0 * pb, begin_);
    const std::uint64_t to = std::min(x1 * pb, end_);
    while (from < to) {
      const std::uint64_t pixel = from / pb;
      const std::size_t phase = static_cast<std::size_t>((pixel + row_) % gradient_.period);
      const std::size_t at = phase * pb + static_cast<std::size_t>(from % pb);
      const std::size_t take =
          static_cast<std::size_t>(std::min<std::uint64_t>(to - from, std::uint64_t{gradient_.period} * pb));
      std::memcpy(out_ + (from - begin_), gradient_.bytes.data() + at, take);
      from += take;
    }
  }

  // Every byte of pixels [x0, x1) set to `value` (0x00 black, 0xFF white in
  // every offered format).
  void solid(std::uint64_t x0, std::uint64_t x1, std::uint8_t value) {
    const std::size_t pb = gradient_.pixel_bytes;
    const std::uint64_t from = std::max(x0 * pb, begin_);
    const std::uint64_t to = std::min(x1 * pb, end_);
    if (from < to) std::memset(out_ + (from - begin_), value, static_cast<std::size_t>(to - from));
  }

 private:
  const GradientTable& gradient_;
  std::uint64_t row_, begin_, end_;
  std::uint8_t* out_;
};

std::uint32_t decimal_digits(std::uint64_t value) {
  std::uint32_t n = 1;
  while (value >= 10) {
    value /= 10;
    ++n;
  }
  return n;
}

void fill_moving(const FrameLayout& frame, const GradientTable& gradient, std::uint64_t first_index,
                 std::span<std::uint8_t> out) {
  const std::uint64_t width = frame.width;
  const std::uint64_t stride = width * gradient.pixel_bytes;
  const MovingPatternGeometry g = moving_pattern_geometry(frame.width, frame.height, frame.block_id);
  char text[24];
  std::uint64_t id = frame.block_id;
  for (std::uint32_t i = g.digits; i-- > 0; id /= 10) text[i] = static_cast<char>('0' + id % 10);
  const std::uint64_t box_width = std::min<std::uint64_t>(width, (CELL_UNITS * g.digits + 1) * std::uint64_t{g.scale});
  const std::uint64_t box_rows = std::uint64_t{BOX_ROW_UNITS} * g.scale;

  std::uint64_t index = first_index;
  std::size_t done = 0;
  while (done < out.size()) {
    const std::uint64_t row = index / stride;
    const std::uint64_t column = index % stride;
    const std::uint64_t end = std::min<std::uint64_t>(stride, column + (out.size() - done));
    RowPainter paint(gradient, row, column, end, out.data() + done);
    paint.gradient(0, width);
    // The bar: black, then its white core; a run past the right edge
    // continues at the left.
    const auto wrapped = [&](std::uint64_t x0, std::uint64_t length, std::uint8_t value) {
      const std::uint64_t first = std::min(length, width - x0);
      paint.solid(x0, x0 + first, value);
      paint.solid(0, length - first, value);
    };
    wrapped(g.bar_x, g.bar_width, 0x00);
    if (g.bar_width > 2 * g.bar_edge) wrapped((g.bar_x + g.bar_edge) % width, g.bar_width - 2 * g.bar_edge, 0xFF);
    // The block id, white on black, one run of `scale` pixels per font unit.
    if (row < box_rows && row < frame.height) {
      paint.solid(0, box_width, 0x00);
      const std::uint64_t unit_row = row / g.scale;
      if (unit_row >= 1 && unit_row <= 5) {
        for (std::uint32_t d = 0; d < g.digits; ++d) {
          const std::uint8_t bits = FONT[static_cast<std::size_t>(text[d] - '0')][unit_row - 1];
          for (std::uint32_t c = 0; c < 3; ++c) {
            if (((bits >> (2 - c)) & 1) == 0) continue;
            const std::uint64_t x0 = (std::uint64_t{CELL_UNITS} * d + 1 + c) * g.scale;
            paint.solid(x0, std::min(x0 + g.scale, box_width), 0xFF);
          }
        }
      }
    }
    done += static_cast<std::size_t>(end - column);
    index += end - column;
  }
}

// ---- chunk data

struct ChunkSpec {
  std::uint32_t id;
  std::uint32_t length;
};
// By ChunkKind.
constexpr std::array<ChunkSpec, CHUNK_KIND_COUNT> CHUNK_SPECS = {{
    {0x5C0A0001, 8},  // FrameId
    {0x5C0A0002, 8},  // Timestamp
    {0x5C0A0003, 8},  // ExposureTime
    {0x5C0A0004, 8},  // Gain
    {0x5C0A0005, 4},  // Width
    {0x5C0A0006, 4},  // Height
    {0x5C0A0007, 4},  // PixelFormat
    {0x5C0A0008, 4},  // OffsetX
    {0x5C0A0009, 4},  // OffsetY
    {0x5C0A000A, 4},  // LineStatusAll
    {0x5C0AF001, 8},  // ImageSettings
}};

constexpr std::uint32_t data_size_of(std::uint32_t chunks) {
  std::uint32_t size = CHUNK_TAG_BYTES;  // the image's tag
  for (std::uint32_t k = 0; k < CHUNK_KIND_COUNT; ++k) {
    if ((chunks >> k) & 1) size += CHUNK_SPECS[k].length + CHUNK_TAG_BYTES;
  }
  return size;
}
static_assert(data_size_of(ALL_CHUNKS) <= MAX_CHUNK_DATA);

// The digital gain of the DigitalShift field (bits 4..7) of the image flags
// register, in dB as an IEEE single: each step doubles the pixel values.
std::uint32_t digital_gain_bits(std::uint32_t image_flags) {
  const auto shift = static_cast<float>((image_flags >> 4) & 0xF);
  return std::bit_cast<std::uint32_t>(shift * 6.0206F);
}

// Writes the value of chunk `kind` for `frame` at `out`.
void write_chunk_value(const FrameLayout& frame, ChunkKind kind, std::uint8_t* out) {
  switch (kind) {
    case ChunkKind::FrameId: util::store_be64(out, frame.block_id); return;
    case ChunkKind::Timestamp: util::store_be64(out, frame.timestamp); return;
    case ChunkKind::ExposureTime: util::store_be64(out, frame.exposure_bits); return;
    case ChunkKind::Gain:
      util::store_be32(out, frame.gain_bits);
      util::store_be32(out + 4, digital_gain_bits(frame.image_flags));
      return;
    case ChunkKind::Width: util::store_be32(out, frame.width); return;
    case ChunkKind::Height: util::store_be32(out, frame.height); return;
    case ChunkKind::PixelFormat: util::store_be32(out, frame.pixel_format); return;
    case ChunkKind::OffsetX: util::store_be32(out, frame.offset_x); return;
    case ChunkKind::OffsetY: util::store_be32(out, frame.offset_y); return;
    case ChunkKind::LineStatusAll:
      util::store_be32(out, static_cast<std::uint32_t>(frame.block_id & 1));
      return;
    case ChunkKind::ImageSettings:
      util::store_be32(out, frame.image_flags);
      util::store_be32(out + 4, frame.test_pattern);
      return;
  }
}

// Bytes first_index .. first_index + out.size() - 1 of the block payload:
// the image, then in chunk mode the chunk data.
void fill_block(const FrameLayout& frame, std::uint64_t first_index, std::span<std::uint8_t> out) {
  const std::uint64_t image_end = std::min<std::uint64_t>(first_index + out.size(), frame.image_size);
  const std::size_t image_part =
      first_index < image_end ? static_cast<std::size_t>(image_end - first_index) : 0;
  fill_payload(frame, first_index, out.first(image_part));
  if (image_part == out.size()) return;
  std::array<std::uint8_t, MAX_CHUNK_DATA> chunk_data;
  const std::size_t length = write_chunk_data(frame, chunk_data);
  const std::uint64_t from = first_index + image_part - frame.image_size;
  const std::size_t take = std::min<std::size_t>(out.size() - image_part, length - from);
  std::memcpy(out.data() + image_part, chunk_data.data() + from, take);
}

// Changes whenever the layout of a chunk payload does: with the enabled
// chunks and with the image size.
std::uint32_t chunk_layout_id(const FrameLayout& frame) {
  return static_cast<std::uint32_t>(mix64(frame.image_size ^ (std::uint64_t{frame.chunks} << 40)));
}

}  // namespace

std::uint32_t chunk_id(ChunkKind kind) {
  return CHUNK_SPECS[static_cast<std::size_t>(kind)].id;
}
std::uint32_t chunk_length(ChunkKind kind) {
  return CHUNK_SPECS[static_cast<std::size_t>(kind)].length;
}
std::uint32_t chunk_data_size(std::uint32_t chunks) {
  return data_size_of(chunks);
}

std::size_t write_chunk_data(const FrameLayout& frame, std::span<std::uint8_t, MAX_CHUNK_DATA> out) {
  std::uint8_t* p = out.data();
  util::store_be32(p, CHUNK_ID_IMAGE);
  util::store_be32(p + 4, static_cast<std::uint32_t>(frame.image_size));
  p += CHUNK_TAG_BYTES;
  for (std::uint32_t k = 0; k < CHUNK_KIND_COUNT; ++k) {
    if (((frame.chunks >> k) & 1) == 0) continue;
    write_chunk_value(frame, static_cast<ChunkKind>(k), p);
    p += CHUNK_SPECS[k].length;
    util::store_be32(p, CHUNK_SPECS[k].id);
    util::store_be32(p + 4, CHUNK_SPECS[k].length);
    p += CHUNK_TAG_BYTES;
  }
  // The last tag (the image's when no chunk is enabled) reaches back past
  // the start of any payload.
  if (frame.lying_chunk_length) util::store_be32(p - 4, 0xFFFF'FF00);
  return static_cast<std::size_t>(p - out.data());
}

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
  layout.image_size = gvsp_payload_size(layout.pixel_format, layout.width, layout.height);
  if (layout.image_size > GVSP_MAX_FRAME_PAYLOAD) return std::nullopt;
  layout.payload_size = layout.image_size + (layout.chunk_mode ? chunk_data_size(layout.chunks) : 0);
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
  const std::uint16_t payload_type =
      frame.chunk_mode ? GVSP_PAYLOAD_TYPE_IMAGE | GVSP_EXTENDED_CHUNK_FLAG : GVSP_PAYLOAD_TYPE_IMAGE;
  if (packet_id == 0) {
    std::uint8_t* p = out + write_gvsp_header(out, frame.extended, GVSP_STATUS_SUCCESS, frame.block_id,
                                              GVSP_FORMAT_LEADER, 0);
    util::store_be16(p, 0);
    util::store_be16(p + 2, payload_type);
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
    util::store_be16(p + 2, payload_type);
    util::store_be32(p + 4, frame.height);
    if (!frame.chunk_mode) return static_cast<std::size_t>(p - out) + GVSP_TRAILER_PAYLOAD_SIZE;
    // plan_frame keeps the payload within 32 bits.
    util::store_be32(p + 8, static_cast<std::uint32_t>(frame.payload_size));
    util::store_be32(p + 12, chunk_layout_id(frame));
    return static_cast<std::size_t>(p - out) + GVSP_CHUNK_TRAILER_PAYLOAD_SIZE;
  }
  const std::size_t header =
      write_gvsp_header(out, frame.extended, GVSP_STATUS_SUCCESS, frame.block_id, GVSP_FORMAT_PAYLOAD,
                        packet_id);
  const std::uint64_t offset = std::uint64_t{packet_id - 1} * frame.bytes_per_packet;
  const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(
      frame.bytes_per_packet, frame.payload_size > offset ? frame.payload_size - offset : 0));
  fill_block(frame, offset, std::span(out + header, length));
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

MovingPatternGeometry moving_pattern_geometry(std::uint32_t width, std::uint32_t height, std::uint64_t block_id) {
  MovingPatternGeometry g;
  g.step = std::max<std::uint32_t>(1, width / 64);
  g.bar_width = std::min<std::uint32_t>(width, std::max<std::uint32_t>(3, width / 16));
  g.bar_edge = g.bar_width / 8 + 1;
  g.bar_x = width == 0 ? 0 : static_cast<std::uint32_t>((block_id % width) * g.step % width);
  g.scale = std::max<std::uint32_t>(1, height / 64);
  g.digits = decimal_digits(block_id);
  return g;
}

void fill_payload(const FrameLayout& frame, std::uint64_t first_index, std::span<std::uint8_t> out) {
  const std::uint32_t bits = (frame.pixel_format >> 16) & 0xFF;
  if (frame.test_pattern == TEST_PATTERN_MOVING && frame.width > 0 && bits % 8 == 0 && bits >= 8 &&
      bits <= 8 * MAX_PIXEL_BYTES) {
    fill_moving(frame, gradient_for(bits / 8, frame.width, frame.height), first_index, out);
    return;
  }
  fill_pattern(frame.test_pattern, frame.block_id, first_index, out);
}

}  // namespace corvantic::sim
