// The chunk values of a delivered frame: the chunk features of the stream's
// description (the BufferFeatureReader its frames carry), read against the
// frame's own chunks. Nothing here touches the device.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "genicam/buffer_features.hpp"
#include "gige/stream/frame.hpp"

namespace corvantic::genicam {

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
[[nodiscard]] std::vector<std::string> chunk_feature_names(const gige::stream::Frame& frame);

// The value of chunk feature `name` in `frame`. FeatureNotFound when `name`
// is not among chunk_feature_names(frame); the reader's errors otherwise.
[[nodiscard]] GenicamResult<BufferValue> read_chunk_feature(const gige::stream::Frame& frame,
                                                            std::string_view name);

}  // namespace corvantic::genicam
