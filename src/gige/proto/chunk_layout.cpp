#include "gige/proto/chunk_layout.hpp"

#include <algorithm>

#include "util/bytes.hpp"
#include "util/try.hpp"

namespace corvantic::gige::proto {

const Chunk* ChunkLayout::find(std::uint32_t id) const {
  const auto all = chunks();
  const auto it = std::ranges::find(all, id, &Chunk::id);
  return it == all.end() ? nullptr : &*it;
}

std::string_view chunk_layout_error_text(ChunkLayoutError error) {
  switch (error) {
    case ChunkLayoutError::TruncatedTag:
      return "chunk layout: bytes before the first chunk are too few for a tag";
    case ChunkLayoutError::LengthPastPayload: return "chunk layout: a chunk length runs past the payload";
    case ChunkLayoutError::TooManyChunks: return "chunk layout: more than 256 chunks";
    case ChunkLayoutError::LengthPastData:
      return "chunk layout: the trailer's chunk data length runs past the payload received";
  }
  return "chunk layout: unknown error";
}

std::expected<std::span<const std::uint8_t>, ChunkLayoutError> chunk_data(
    std::span<const std::uint8_t> payload, std::optional<std::uint32_t> length) {
  if (!length) return payload;
  if (*length > payload.size()) return std::unexpected(ChunkLayoutError::LengthPastData);
  return payload.first(*length);
}

std::expected<ChunkLayout, ChunkLayoutError> parse_chunk_layout(std::span<const std::uint8_t> payload) {
  ChunkLayout layout;
  CORVANTIC_TRY_VOID(parse_chunk_layout(payload, layout));
  return layout;
}

std::expected<void, ChunkLayoutError> parse_chunk_layout(std::span<const std::uint8_t> payload,
                                                         ChunkLayout& layout) {
  static_assert(MAX_CHUNKS == 256, "the TooManyChunks text names the bound");
  layout.count = 0;
  const auto fail = [&](ChunkLayoutError error) {
    layout.count = 0;
    return std::unexpected(error);
  };
  // `end`: where the chunk read next ends; it moves back by a tag at least
  // each step.
  std::size_t end = payload.size();
  while (end > 0) {
    if (end < CHUNK_TAG_SIZE) return fail(ChunkLayoutError::TruncatedTag);
    if (layout.count == MAX_CHUNKS) return fail(ChunkLayoutError::TooManyChunks);
    const std::size_t tag = end - CHUNK_TAG_SIZE;
    const std::uint32_t id = util::load_be32(payload.data() + tag);
    const std::uint32_t length = util::load_be32(payload.data() + tag + 4);
    if (length > tag) return fail(ChunkLayoutError::LengthPastPayload);
    layout.entries[layout.count++] = Chunk{.id = id, .length = length, .offset = tag - length};
    end = tag - length;
  }
  // Found last chunk first.
  std::reverse(layout.entries.begin(), layout.entries.begin() + static_cast<std::ptrdiff_t>(layout.count));
  return {};
}

}  // namespace corvantic::gige::proto
