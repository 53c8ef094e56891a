// Chunk mode of the virtual camera's packets, read back as a client would:
// the block payload reassembled from build_packet's packets by the client's
// header parser, its layout read from the end by the client's chunk layout
// parser, and the chunk values read through the camera's own description,
// the registers of each chunk on the port whose ChunkID names it.
#include "sim/gvsp_packet.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <map>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "genicam/buffer_features.hpp"
#include "genicam/node.hpp"
#include "gige/proto/chunk_layout.hpp"
#include "gige/proto/gvsp.hpp"
#include "sim/description.hpp"
#include "sim/gvsp_streamer.hpp"

namespace corvantic::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace proto = gige::proto;

constexpr std::uint64_t BLOCK_ID = 0x1234567891;  // odd: Line0 high
constexpr std::uint32_t FLAGS = 0x31;              // ReverseX, DigitalShift 3

FrameLayout chunk_frame(std::uint32_t chunks, bool chunk_mode = true) {
  FrameLayout frame;
  frame.block_id = BLOCK_ID;
  frame.extended = true;
  frame.packet_size = 200;
  frame.pixel_format = PIXEL_RGB8;
  frame.width = 20;
  frame.height = 6;
  frame.offset_x = 8;
  frame.offset_y = 12;
  frame.test_pattern = 1;
  frame.timestamp = 0x0001020304050607;
  frame.chunk_mode = chunk_mode;
  frame.chunks = chunks;
  frame.exposure_bits = std::bit_cast<std::uint64_t>(1234.5);
  frame.gain_bits = std::bit_cast<std::uint32_t>(6.25f);
  frame.image_flags = FLAGS;
  return plan_frame(frame).value();
}

// A block's packets as the client's header parser splits them.
struct Block {
  Bytes leader, trailer, payload;
};
Block send(const FrameLayout& frame) {
  Block block;
  Bytes packet(max_packet_bytes(frame));
  for (std::uint32_t id = 0; id < frame.packet_count(); ++id) {
    const std::size_t length = build_packet(frame, id, packet.data());
    const auto header = proto::parse_header(std::span(packet).first(length));
    EXPECT_TRUE(header && header->packet_id == id);
    const auto bytes = header->payload;
    switch (header->format) {
      case proto::GVSP_FORMAT_LEADER: block.leader.assign(bytes.begin(), bytes.end()); break;
      case proto::GVSP_FORMAT_TRAILER: block.trailer.assign(bytes.begin(), bytes.end()); break;
      default: block.payload.insert(block.payload.end(), bytes.begin(), bytes.end());
    }
  }
  return block;
}

std::uint32_t be32(const Bytes& bytes, std::size_t at) {
  return (std::uint32_t{bytes.at(at)} << 24) | (std::uint32_t{bytes.at(at + 1)} << 16) |
         (std::uint32_t{bytes.at(at + 2)} << 8) | bytes.at(at + 3);
}

// The trailer as the standard lays it out: reserved, payload type, size_y,
// and in chunk mode the length of the chunk data (the whole block payload,
// the image being its first chunk), then the layout id.
TEST(ChunkMode, MarksLeaderAndTrailerAndSizesThePayload) {
  for (const bool chunk_mode : {false, true}) {
    SCOPED_TRACE(chunk_mode);
    const FrameLayout frame = chunk_frame(ALL_CHUNKS, chunk_mode);
    const Block block = send(frame);
    const std::uint32_t type = chunk_mode ? 0x4001 : 0x0001;
    EXPECT_EQ(be32(block.leader, 0), type);
    EXPECT_EQ(proto::parse_leader(block.leader)->payload_type, proto::GVSP_PAYLOAD_IMAGE);
    EXPECT_EQ(be32(block.trailer, 0), type);
    EXPECT_EQ(be32(block.trailer, 4), frame.height);
    ASSERT_EQ(block.trailer.size(), chunk_mode ? 16u : 8u);
    EXPECT_EQ(block.payload.size(), frame.payload_size);
    EXPECT_EQ(frame.payload_size, 20u * 6 * 3 + (chunk_mode ? chunk_data_size(ALL_CHUNKS) : 0));
    if (chunk_mode) {
      EXPECT_EQ(be32(block.trailer, 8), frame.payload_size);
    }
    EXPECT_EQ(proto::trailer_chunk_data_length(block.trailer),
              chunk_mode ? std::optional<std::uint32_t>(frame.payload_size) : std::nullopt);
  }
  // Image tag, 60 data bytes of eleven chunks and their tags.
  EXPECT_EQ(chunk_data_size(ALL_CHUNKS), 8u + 64 + 11 * 8);
  EXPECT_EQ(chunk_data_size(0), 8u);
  // The layout id follows the layout: the enabled chunks and the image size.
  const Block all = send(chunk_frame(ALL_CHUNKS));
  EXPECT_EQ(be32(send(chunk_frame(ALL_CHUNKS)).trailer, 12), be32(all.trailer, 12));
  EXPECT_NE(be32(send(chunk_frame(1)).trailer, 12), be32(all.trailer, 12));
}

// The image comes first, then each enabled chunk in ChunkKind order.
TEST(ChunkMode, PayloadParsesIntoTheEnabledChunks) {
  const auto bit = [](ChunkKind kind) { return 1u << static_cast<unsigned>(kind); };
  for (const std::uint32_t chunks :
       {0u, ALL_CHUNKS, bit(ChunkKind::Gain) | bit(ChunkKind::ImageSettings), bit(ChunkKind::FrameId)}) {
    SCOPED_TRACE(chunks);
    const FrameLayout frame = chunk_frame(chunks);
    const Block block = send(frame);
    const auto layout = proto::parse_chunk_layout(block.payload);
    ASSERT_TRUE(layout);
    const auto found = layout->chunks();
    ASSERT_EQ(found.size(), 1u + static_cast<unsigned>(std::popcount(chunks)));
    EXPECT_EQ(found[0], (proto::Chunk{.id = CHUNK_ID_IMAGE, .length = 360, .offset = 0}));
    Bytes image(frame.image_size);
    fill_payload(frame, 0, image);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), block.payload.begin()));
    std::size_t next = 1;
    for (std::uint32_t k = 0; k < CHUNK_KIND_COUNT; ++k) {
      if (((chunks >> k) & 1) == 0) continue;
      const auto kind = static_cast<ChunkKind>(k);
      EXPECT_EQ(found[next].id, chunk_id(kind)) << k;
      EXPECT_EQ(found[next].length, chunk_length(kind)) << k;
      ++next;
    }
  }
}

// The lying fault: the last tag claims more than the whole payload, with
// every chunk enabled and with none (the image's own tag is then the last).
TEST(ChunkMode, ALyingLayoutClaimsALengthPastThePayload) {
  for (const std::uint32_t chunks : {ALL_CHUNKS, 0u}) {
    SCOPED_TRACE(chunks);
    FrameLayout frame = chunk_frame(chunks);
    frame.lying_chunk_length = true;
    const Block block = send(frame);
    EXPECT_EQ(block.payload.size(), send(chunk_frame(chunks)).payload.size());
    EXPECT_EQ(proto::parse_chunk_layout(block.payload).error(), proto::ChunkLayoutError::LengthPastPayload);
  }
}

// The chunk features of the description, read against a block's chunks
// through the feature model.
class ChunkValues : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto xml = description_xml();
    ASSERT_TRUE(doc.load_buffer(xml.data(), xml.size()));
    auto built = genicam::build_feature_model(xml);
    ASSERT_TRUE(built);
    reader.emplace(std::move(*built));
  }
  pugi::xml_node node(const std::string& name) {
    return doc.select_node(("//*[@Name='" + name + "']").c_str()).node();
  }
  // The feature read against `payload`'s chunks.
  genicam::GenicamResult<genicam::BufferValue> read(const std::string& feature, const Bytes& payload) {
    const auto layout = proto::parse_chunk_layout(payload);
    EXPECT_TRUE(layout);
    std::vector<genicam::BufferSpans::Entry> chunks;
    for (const auto& chunk : layout ? layout->chunks() : std::span<const proto::Chunk>()) {
      chunks.push_back({chunk.id, std::span<const std::uint8_t>(payload).subspan(chunk.offset, chunk.length)});
    }
    return reader->read(feature, genicam::BufferSpans(genicam::BufferKind::Chunk, chunks));
  }

  pugi::xml_document doc;
  std::optional<genicam::BufferFeatureReader> reader;
};

TEST_F(ChunkValues, EveryChunkFeatureReadsWhatTheFrameWasTakenWith) {
  const FrameLayout frame = chunk_frame(ALL_CHUNKS);
  using genicam::BufferValue;
  const std::map<std::string, BufferValue> expected = {
      {"ChunkFrameID", std::int64_t{BLOCK_ID}},
      {"ChunkTimestamp", std::int64_t{0x0001020304050607}},
      {"ChunkExposureTime", 1234.5},
      {"ChunkGain", 6.25},
      {"ChunkWidth", std::int64_t{20}},
      {"ChunkHeight", std::int64_t{6}},
      {"ChunkPixelFormat", std::string("RGB8")},
      {"ChunkOffsetX", std::int64_t{8}},
      {"ChunkOffsetY", std::int64_t{12}},
      {"ChunkLineStatusAll", std::int64_t{1}},
      {"ChunkReverseX", true},
      {"ChunkReverseY", false},
      {"ChunkDigitalShift", std::int64_t{3}},
      {"ChunkTestPattern", std::int64_t{1}},
  };
  const Block block = send(frame);
  std::size_t listed = 0;
  for (const auto feature : node("ChunkCategory").children("pFeature")) {
    SCOPED_TRACE(feature.child_value());
    ASSERT_TRUE(expected.contains(feature.child_value()));
    EXPECT_EQ(read(feature.child_value(), block.payload), expected.at(feature.child_value()));
    ++listed;
  }
  EXPECT_EQ(listed, expected.size());
  std::vector<std::string> found;
  for (const auto& feature : reader->chunk_features()) found.push_back(feature.name);
  std::vector<std::string> in_category;
  for (const auto feature : node("ChunkCategory").children("pFeature")) in_category.emplace_back(feature.child_value());
  EXPECT_EQ(found, in_category);
}

}  // namespace
}  // namespace corvantic::sim
