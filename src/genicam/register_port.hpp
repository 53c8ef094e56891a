// RegisterPort: how node evaluation reaches the device's memory. Feature
// access adapts the device session's memory read and write to it; tests use
// an in-memory map. Every operation of FeatureModel that may touch the
// device takes the port it should use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "gige/camera_error.hpp"

namespace corvantic::genicam {

class RegisterPort {
 public:
  virtual ~RegisterPort() = default;

  // `length` bytes starting at `address`. A port may answer with fewer or
  // more bytes than asked; the node layer judges the count it receives.
  [[nodiscard]] virtual gige::CameraResult<std::vector<std::uint8_t>> read(std::uint64_t address,
                                                                     std::size_t length) = 0;
  [[nodiscard]] virtual gige::CameraResult<void> write(std::uint64_t address,
                                                 std::span<const std::uint8_t> data) = 0;
};

}  // namespace corvantic::genicam
