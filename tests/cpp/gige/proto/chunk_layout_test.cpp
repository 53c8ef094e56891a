#include "gige/proto/chunk_layout.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace corvantic::gige::proto {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Chunks = std::vector<Chunk>;

// An image block's payload: eight image bytes, a 4-byte chunk and an empty one.
const Bytes PAYLOAD = {
    0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7,  //  0: image data
    0x00, 0x00, 0x00, 0x01,                          //  8: id 1 (the image)
    0x00, 0x00, 0x00, 0x08,                          // 12: length 8
    0x00, 0x00, 0x30, 0x39,                          // 16: data 12345
    0x5C, 0x00, 0x00, 0x02,                          // 20: id 0x5C000002
    0x00, 0x00, 0x00, 0x04,                          // 24: length 4
    0x00, 0x00, 0x00, 0xAB,                          // 28: id 0xAB
    0x00, 0x00, 0x00, 0x00,                          // 32: length 0
};

std::optional<Chunks> chunks_of(const Bytes& payload) {
  const auto layout = parse_chunk_layout(payload);
  if (!layout) return std::nullopt;
  return Chunks(layout->chunks().begin(), layout->chunks().end());
}

ChunkLayoutError error_of(const Bytes& payload) {
  const auto layout = parse_chunk_layout(payload);
  EXPECT_FALSE(layout) << layout->count << " chunks";
  return layout ? ChunkLayoutError{} : layout.error();
}

Bytes with_be32(Bytes bytes, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
  return bytes;
}

// `count` empty chunks with ids 0, 1, ...
Bytes empty_chunks(std::size_t count) {
  Bytes bytes(count * CHUNK_TAG_SIZE);
  for (std::size_t i = 0; i < count; ++i) {
    bytes = with_be32(std::move(bytes), i * CHUNK_TAG_SIZE, static_cast<std::uint32_t>(i));
  }
  return bytes;
}

TEST(ParseChunkLayout, GoldenInPayloadOrder) {
  const auto layout = parse_chunk_layout(PAYLOAD);
  ASSERT_TRUE(layout);
  EXPECT_EQ(Chunks(layout->chunks().begin(), layout->chunks().end()),
            (Chunks{{.id = 1, .length = 8, .offset = 0},
                    {.id = 0x5C000002, .length = 4, .offset = 16},
                    {.id = 0xAB, .length = 0, .offset = 28}}));
  ASSERT_NE(layout->find(0x5C000002), nullptr);
  EXPECT_EQ(layout->find(0x5C000002)->offset, 16u);
  EXPECT_EQ(layout->find(0x5C000003), nullptr);
  EXPECT_EQ(chunks_of({}), Chunks{});
}

// The golden payload cut after `size` bytes: a cut on a chunk boundary
// leaves the chunks before it, any other cut reads a tag out of the wrong
// bytes.
TEST(ParseChunkLayout, TruncatedAtNamedOffsets) {
  struct Case {
    std::size_t size;
    std::optional<std::size_t> chunks;  // nothing: LengthPastPayload
  };
  for (const auto& c : {
           Case{35, std::nullopt},  // tag at 27: length 0xAB000000
           Case{32, std::nullopt},  // tag at 24: id 4, length 0xAB past the 24 bytes before it
           Case{28, 2},             // ends after the 4-byte chunk
           Case{20, std::nullopt},  // tag at 12: length 0x00003039
           Case{16, 1},             // the image alone
       }) {
    SCOPED_TRACE(c.size);
    const Bytes cut(PAYLOAD.begin(), PAYLOAD.begin() + static_cast<std::ptrdiff_t>(c.size));
    if (c.chunks) {
      ASSERT_TRUE(chunks_of(cut));
      EXPECT_EQ(chunks_of(cut)->size(), *c.chunks);
    } else {
      EXPECT_EQ(error_of(cut), ChunkLayoutError::LengthPastPayload);
    }
  }
}

TEST(ParseChunkLayout, RejectsLengthsPastTheStart) {
  // The last chunk may reach back to offset 0 (one chunk of 28 bytes), not beyond.
  EXPECT_EQ(chunks_of(with_be32(PAYLOAD, 32, 28)), (Chunks{{.id = 0xAB, .length = 28, .offset = 0}}));
  for (const std::uint32_t length : {29u, 0x7FFFFFFFu, 0xFFFFFFF8u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(length);
    EXPECT_EQ(error_of(with_be32(PAYLOAD, 32, length)), ChunkLayoutError::LengthPastPayload);
  }
  // The image's length one past its data.
  EXPECT_EQ(error_of(with_be32(PAYLOAD, 12, 9)), ChunkLayoutError::LengthPastPayload);
}

TEST(ParseChunkLayout, RejectsBytesTooFewForATag) {
  for (std::size_t extra = 1; extra < CHUNK_TAG_SIZE; ++extra) {
    SCOPED_TRACE(extra);
    Bytes prefixed(extra, 0x00);
    prefixed.insert(prefixed.end(), PAYLOAD.begin(), PAYLOAD.end());
    EXPECT_EQ(error_of(prefixed), ChunkLayoutError::TruncatedTag);
    EXPECT_EQ(error_of(Bytes(extra, 0x00)), ChunkLayoutError::TruncatedTag);
  }
  // Eight bytes of zeros are one more chunk: id 0, empty.
  Bytes prefixed(CHUNK_TAG_SIZE, 0x00);
  prefixed.insert(prefixed.end(), PAYLOAD.begin(), PAYLOAD.end());
  ASSERT_TRUE(chunks_of(prefixed));
  EXPECT_EQ(chunks_of(prefixed)->front(), (Chunk{.id = 0, .length = 0, .offset = 0}));
}

TEST(ParseChunkLayout, BoundsTheChunkCount) {
  const auto most = chunks_of(empty_chunks(MAX_CHUNKS));
  ASSERT_TRUE(most);
  ASSERT_EQ(most->size(), MAX_CHUNKS);
  constexpr std::size_t last = MAX_CHUNKS - 1;
  EXPECT_EQ(most->back(), (Chunk{.id = last, .length = 0, .offset = last * CHUNK_TAG_SIZE}));
  EXPECT_EQ(error_of(empty_chunks(MAX_CHUNKS + 1)), ChunkLayoutError::TooManyChunks);
}

// The walk covers the chunk data length a trailer gives, not what follows
// it; a length past the payload received cannot be walked.
TEST(ChunkData, ATrailersLengthBoundsTheBytesWalked) {
  Bytes padded = PAYLOAD;
  padded.insert(padded.end(), {0xEE, 0xEE, 0xEE, 0xEE});  // padding after the last tag
  const auto bounded = chunk_data(padded, 36);
  ASSERT_TRUE(bounded);
  EXPECT_EQ(bounded->data(), padded.data());
  EXPECT_EQ(bounded->size(), PAYLOAD.size());
  EXPECT_EQ(parse_chunk_layout(*bounded)->count, 3u);
  EXPECT_EQ(parse_chunk_layout(padded).error(), ChunkLayoutError::LengthPastPayload);

  EXPECT_EQ(chunk_data(padded, std::nullopt)->size(), padded.size());  // no length: everything
  EXPECT_EQ(chunk_data(padded, 40)->size(), padded.size());
  EXPECT_TRUE(chunk_data(padded, 0)->empty());
  for (const std::uint32_t length : {41u, 0xFFFFFFFFu}) {
    EXPECT_EQ(chunk_data(padded, length).error(), ChunkLayoutError::LengthPastData) << length;
  }
  EXPECT_EQ(chunk_data({}, 1).error(), ChunkLayoutError::LengthPastData);
}

TEST(ParseChunkLayout, NamesEachError) {
  EXPECT_EQ(chunk_layout_error_text(ChunkLayoutError::TruncatedTag),
            "chunk layout: bytes before the first chunk are too few for a tag");
  EXPECT_EQ(chunk_layout_error_text(ChunkLayoutError::LengthPastPayload),
            "chunk layout: a chunk length runs past the payload");
  EXPECT_EQ(chunk_layout_error_text(ChunkLayoutError::TooManyChunks), "chunk layout: more than 256 chunks");
  EXPECT_EQ(chunk_layout_error_text(ChunkLayoutError::LengthPastData),
            "chunk layout: the trailer's chunk data length runs past the payload received");
}

}  // namespace
}  // namespace corvantic::gige::proto
