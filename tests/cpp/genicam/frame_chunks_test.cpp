// A delivered frame's chunk values: the names it has chunks for, reads
// against its own bytes, and the refusals of names it holds no chunk of.
#include "genicam/frame_chunks.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "gige/stream/buffer_pool.hpp"
#include "util/bytes.hpp"

namespace corvantic::genicam {
namespace {

using Kind = GenicamError::Kind;

constexpr std::string_view DESCRIPTION = R"(<RegisterDescription>
  <Port Name="CountPort"><ChunkID>C1</ChunkID></Port>
  <Port Name="GainPort"><ChunkID>C2</ChunkID></Port>
  <Integer Name="ChunkCount"><pValue>ChunkCountReg</pValue></Integer>
  <IntReg Name="ChunkCountReg"><Address>0</Address><Length>4</Length><AccessMode>RO</AccessMode>
    <pPort>CountPort</pPort><Endianess>BigEndian</Endianess></IntReg>
  <FloatReg Name="ChunkGain"><Address>0</Address><Length>4</Length><AccessMode>RO</AccessMode>
    <pPort>GainPort</pPort><Endianess>BigEndian</Endianess></FloatReg>
</RegisterDescription>)";

std::shared_ptr<const BufferFeatureReader> reader() {
  auto model = build_feature_model(DESCRIPTION);
  EXPECT_TRUE(model);
  return std::make_shared<const BufferFeatureReader>(std::move(*model));
}

// A frame whose payload is a 4-byte image (tag 1), then chunk 0xC1 holding
// 41 (big-endian), closed with `chunk_data` as the worker does (which reads
// the chunks of a complete frame only), delivered with `with` as its
// stream's chunk features.
FrameWithChunks frame_of(gige::stream::BufferPool& pool, bool chunk_data,
                         std::shared_ptr<const BufferFeatureReader> with,
                         gige::stream::FrameStatus status = gige::stream::FrameStatus::Complete) {
  auto taken = pool.take();
  EXPECT_TRUE(taken);
  auto& buffer = **taken;
  std::uint8_t* p = buffer.data().data();
  util::store_be32(p + 4, 0x1);
  util::store_be32(p + 8, 4);
  util::store_be32(p + 12, 41);
  util::store_be32(p + 16, 0xC1);
  util::store_be32(p + 20, 4);
  buffer.info.high_water = 24;
  buffer.info.status = status;
  buffer.info.chunk_data = chunk_data && gige::proto::parse_chunk_layout(buffer.data().first(24), buffer.chunk_layout);
  return {gige::stream::Frame(std::move(*taken)), std::move(with)};
}

TEST(FrameChunks, NamesAndValuesComeFromTheFramesOwnChunks) {
  auto pool = gige::stream::BufferPool::create(1, 24);
  const FrameWithChunks frame = frame_of(*pool, true, reader());
  EXPECT_EQ(chunk_feature_names(frame), std::vector<std::string>{"ChunkCount"});
  EXPECT_EQ(read_chunk_feature(frame, "ChunkCount"), BufferValue(std::int64_t{41}));
  EXPECT_EQ(frame.image().size(), 4u);
}

TEST(FrameChunks, NamesTheFrameHoldsNoChunkOfAreNotFoundAndSayWhy) {
  auto pool = gige::stream::BufferPool::create(1, 24);
  using gige::stream::FrameStatus;
  struct Case {
    const char* name;
    bool chunk_data;
    bool with_reader;
    FrameStatus status;
    const char* feature;
    const char* display;
  };
  const Case cases[] = {
      {"chunk not in the frame", true, true, FrameStatus::Complete, "ChunkGain",
       "the frame holds no chunk for 'ChunkGain': its chunk was not enabled (ChunkSelector, ChunkEnable)"},
      {"frame without chunk data", false, true, FrameStatus::Complete, "ChunkCount",
       "the frame holds no chunk for 'ChunkCount': chunk mode was off (ChunkModeActive)"},
      {"incomplete frame", false, true, FrameStatus::MissingPackets, "ChunkCount",
       "the frame holds no chunk for 'ChunkCount': the frame is not complete (MissingPackets)"},
      {"intermediate register", true, true, FrameStatus::Complete, "ChunkCountReg",
       "feature 'ChunkCountReg' not found"},
      {"unknown name", true, true, FrameStatus::Complete, "Width", "feature 'Width' not found"},
      {"stream without chunk features", true, false, FrameStatus::Complete, "ChunkCount",
       "feature 'ChunkCount' not found"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FrameWithChunks frame = frame_of(*pool, c.chunk_data, c.with_reader ? reader() : nullptr, c.status);
    const auto read = read_chunk_feature(frame, c.feature);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().kind(), Kind::FeatureNotFound);
    EXPECT_EQ(read.error().display(), c.display);
    if (!c.chunk_data || !c.with_reader) {
      EXPECT_TRUE(chunk_feature_names(frame).empty());
    }
  }
}

}  // namespace
}  // namespace corvantic::genicam
