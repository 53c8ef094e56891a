#include "genicam/frame_chunks.hpp"

#include <limits>
#include <string>

namespace corvantic::genicam {
namespace {

[[nodiscard]] bool in_frame(const gige::stream::Frame& frame, const BufferFeature& feature) {
  return feature.port.kind == BufferKind::Chunk && feature.port.id <= std::numeric_limits<std::uint32_t>::max() &&
         frame.chunk(static_cast<std::uint32_t>(feature.port.id)).has_value();
}

// Why `frame` holds no chunk for a chunk feature of its stream.
[[nodiscard]] std::string missing_chunk_reason(const gige::stream::Frame& frame) {
  // Only a complete frame's chunks are read.
  if (!frame.is_complete()) {
    return "the frame is not complete (" + std::string(gige::stream::frame_status_name(frame.status())) + ")";
  }
  if (frame.chunks().empty()) return "chunk mode was off (ChunkModeActive)";
  return "its chunk was not enabled (ChunkSelector, ChunkEnable)";
}

}  // namespace

std::optional<std::span<const std::uint8_t>> FrameChunkData::find(std::uint64_t id) const {
  if (id > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  return frame_.chunk(static_cast<std::uint32_t>(id));
}

std::vector<std::string> chunk_feature_names(const FrameWithChunks& frame) {
  std::vector<std::string> names;
  const auto& reader = frame.chunk_reader();
  if (!reader || frame.chunks().empty()) return names;
  for (const auto& feature : reader->features()) {
    if (in_frame(frame, feature)) names.push_back(feature.name);
  }
  return names;
}

GenicamResult<BufferValue> read_chunk_feature(const FrameWithChunks& frame, std::string_view name) {
  const auto& reader = frame.chunk_reader();
  if (reader) {
    for (const auto& feature : reader->features()) {
      if (feature.name != name || feature.port.kind != BufferKind::Chunk) continue;
      if (!in_frame(frame, feature)) {
        return std::unexpected(GenicamError::chunk_not_in_frame(std::string(name), missing_chunk_reason(frame)));
      }
      return reader->read(name, FrameChunkData(frame));
    }
  }
  return std::unexpected(GenicamError::feature_not_found(std::string(name)));
}

}  // namespace corvantic::genicam
