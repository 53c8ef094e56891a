// The chunk layout of a GVSP block payload sent in chunk mode. Pure
// functions over bytes; nothing here allocates.
//
// A chunk payload is a sequence of chunks that covers it exactly: each
// chunk's data followed by its 8-byte tag (chunk id, then data length in
// bytes, both big-endian). Only the last tag has a known place, so the
// layout is read from the end of the payload backwards:
//
//   0                                                                  size
//   +------------+------+------+--....--+------------+------+------+
//   | data 0     | id 0 | len 0|        | data n     | id n | len n|
//   +------------+------+------+--....--+------------+------+------+
//   first chunk (the image in an image block)          last chunk
//
// The walk ends when it reaches offset 0. It cannot loop: every step moves
// back by at least one tag, so a payload of s bytes ends after at most s / 8
// steps, and MAX_CHUNKS bounds that further.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

namespace corvantic::gige::proto {

inline constexpr std::size_t CHUNK_TAG_SIZE = 8;

// The most chunks a payload may hold. A device sends one chunk per enabled
// chunk feature, and the standard names about thirty (cameras add a few of
// their own), so 256 leaves room for any real layout while a payload of
// nothing but empty chunks (8 bytes each) costs at most 256 steps and a
// layout of fixed size, never one entry per 8 bytes of a frame.
inline constexpr std::size_t MAX_CHUNKS = 256;

// Where one chunk's data lie in the payload.
struct Chunk {
  std::uint32_t id = 0;
  std::uint32_t length = 0;
  std::size_t offset = 0;
  bool operator==(const Chunk&) const = default;
};

// The chunks of one payload, in payload order (the chunk at offset 0 first).
struct ChunkLayout {
  std::array<Chunk, MAX_CHUNKS> entries{};
  std::size_t count = 0;

  [[nodiscard]] std::span<const Chunk> chunks() const { return {entries.data(), count}; }
  // The first chunk with this id; nothing when none has it.
  [[nodiscard]] const Chunk* find(std::uint32_t id) const;
};

enum class ChunkLayoutError : std::uint8_t {
  TruncatedTag,       // 1 to 7 bytes are left before the first chunk: no room for its tag
  LengthPastPayload,  // a chunk's length reaches back past the start of the payload
  TooManyChunks,      // more than MAX_CHUNKS chunks
  LengthPastData,     // the chunk data length a trailer gives runs past the payload received
};

// "chunk layout: ..." for each error.
[[nodiscard]] std::string_view chunk_layout_error_text(ChunkLayoutError error);

// The bytes of `payload` whose layout is read: with a chunk data length
// from the frame's trailer the first that many, so that bytes after the
// chunks (padding up to a packet's end, say) are not taken for a tag;
// without one, all of them. A length past the end of `payload` is
// LengthPastData: the end of the chunks, where the walk starts, is missing.
[[nodiscard]] std::expected<std::span<const std::uint8_t>, ChunkLayoutError> chunk_data(
    std::span<const std::uint8_t> payload, std::optional<std::uint32_t> length);

// The chunk layout of `payload`; an empty payload has no chunks.
[[nodiscard]] std::expected<ChunkLayout, ChunkLayoutError> parse_chunk_layout(
    std::span<const std::uint8_t> payload);
// The same, written into `layout` (a frame buffer's own, reused frame after
// frame); on failure `layout` holds no chunks.
[[nodiscard]] std::expected<void, ChunkLayoutError> parse_chunk_layout(std::span<const std::uint8_t> payload,
                                                                       ChunkLayout& layout);

}  // namespace corvantic::gige::proto
