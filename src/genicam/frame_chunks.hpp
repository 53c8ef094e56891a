// The chunk values of a delivered frame: the chunk features of the stream's
// description (a BufferFeatureReader made when the stream opened), read
// against the frame's own chunks. Nothing here touches the device.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "genicam/buffer_features.hpp"
#include "gige/stream/frame.hpp"

namespace corvantic::genicam {

// A delivered frame with the chunk features of the stream it came from: the
// reader made from the description when the stream opened, shared by all of
// the stream's frames; empty when the description has no chunk features.
class FrameWithChunks : public gige::stream::Frame {
 public:
  FrameWithChunks() = default;
  FrameWithChunks(gige::stream::Frame frame, std::shared_ptr<const BufferFeatureReader> chunk_reader)
      : gige::stream::Frame(std::move(frame)), chunk_reader_(std::move(chunk_reader)) {}

  [[nodiscard]] const std::shared_ptr<const BufferFeatureReader>& chunk_reader() const {
    return chunk_reader_;
  }

 private:
  std::shared_ptr<const BufferFeatureReader> chunk_reader_;
};

// A frame's chunks as buffer data, by chunk id.
class FrameChunkData final : public BufferData {
 public:
  explicit FrameChunkData(const gige::stream::Frame& frame) : frame_(frame) {}
  [[nodiscard]] BufferKind kind() const override { return BufferKind::Chunk; }
  [[nodiscard]] std::optional<std::span<const std::uint8_t>> find(std::uint64_t id) const override;

 private:
  const gige::stream::Frame& frame_;
};

// The chunk features `frame` holds data for, in the description's order:
// those whose chunk id is among its chunks. None for a frame without chunk
// data, or of a stream whose description has no chunk features.
[[nodiscard]] std::vector<std::string> chunk_feature_names(const FrameWithChunks& frame);

// The value of chunk feature `name` in `frame`. FeatureNotFound when `name`
// is not among chunk_feature_names(frame): for a chunk feature of the
// stream's description, with the reason the frame holds no chunk for it
// (GenicamError::chunk_not_in_frame); the reader's errors otherwise.
[[nodiscard]] GenicamResult<BufferValue> read_chunk_feature(const FrameWithChunks& frame,
                                                            std::string_view name);

}  // namespace corvantic::genicam
