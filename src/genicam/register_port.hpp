// RegisterPort: how node evaluation reaches the device's memory and the
// bytes of chunk and event ports. Feature access adapts the device
// session's memory read and write to it; reads of a frame's chunks or an
// event's data use a port over those bytes (buffer_features.hpp); tests use
// an in-memory map. Every operation of FeatureModel that may touch the
// device takes the port it should use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "gige/camera_error.hpp"

namespace corvantic::genicam {

// The ports whose registers are not in the device's memory: a Port node with
// a ChunkID addresses one chunk of a frame's payload, one with an EventID the
// data of one event.
enum class BufferKind : std::uint8_t { Chunk, Event };

// The bytes of the chunks of one frame, or of one event, by id.
class BufferData {
 public:
  virtual ~BufferData() = default;
  [[nodiscard]] virtual BufferKind kind() const = 0;
  // The data of the chunk or event `id`; nothing when these bytes hold none.
  [[nodiscard]] virtual std::optional<std::span<const std::uint8_t>> find(std::uint64_t id) const = 0;
};

class RegisterPort {
 public:
  virtual ~RegisterPort() = default;

  // `length` bytes starting at `address`. A port may answer with fewer or
  // more bytes than asked; the node layer judges the count it receives.
  [[nodiscard]] virtual gige::CameraResult<std::vector<std::uint8_t>> read(std::uint64_t address,
                                                                     std::size_t length) = 0;
  [[nodiscard]] virtual gige::CameraResult<void> write(std::uint64_t address,
                                                 std::span<const std::uint8_t> data) = 0;

  // Whether read and write reach the device. A port over a frame's or an
  // event's own bytes does not: registers in device memory then answer from
  // their cached bytes only.
  [[nodiscard]] virtual bool reaches_device() const { return true; }
  // The bytes registers on chunk and event ports are read from; nothing for
  // a port to the device, through which those registers are not accessible.
  [[nodiscard]] virtual const BufferData* buffer_data() const { return nullptr; }
};

}  // namespace corvantic::genicam
