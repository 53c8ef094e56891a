// Fetching a device's GenICam description: the two location registers, the
// document they name (device memory or a host file), and unzipping it.
//
// Everything here is bounded against a hostile device: no description larger
// than MAX_DESCRIPTION_SIZE is read, from the device or from the host; a host
// file must be a regular file and is opened without blocking, so a FIFO or a
// device node named by a location can neither hang nor flood the fetch; and
// every wait is limited by a multiple of the wait budget (saturated, so
// that an absurd budget waits as long as a duration holds).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "genicam/url.hpp"
#include "gige/camera_error.hpp"
#include "util/interrupt.hpp"

namespace corvantic::genicam {

// The largest description document accepted, as read and as unzipped: a
// `Local:` size above it and a larger host file fail with Malformed before
// anything is read. Real descriptions stay near 1 MiB.
inline constexpr std::size_t MAX_DESCRIPTION_SIZE = MAX_ARCHIVE_ENTRY;

// Device memory as the fetch reads it.
class DescriptionMemory {
 public:
  virtual ~DescriptionMemory() = default;
  // `count` bytes at `address` as one memory read, posted as given (the
  // device judges alignment), waited for up to `wait_limit`.
  [[nodiscard]] virtual gige::CameraResult<std::vector<std::uint8_t>> read(
      std::uint32_t address, std::uint32_t count, std::chrono::nanoseconds wait_limit) = 0;
  // The limit that bounds one register read.
  [[nodiscard]] virtual std::chrono::nanoseconds wait_budget() const = 0;
};

// The whole content of a host file: Io with the system's text when it
// cannot be opened or read, Malformed when it is not a regular file or
// holds more than MAX_DESCRIPTION_SIZE bytes.
[[nodiscard]] gige::CameraResult<std::vector<std::uint8_t>> read_host_file(const std::string& path);

// The document named by the first location register that yields one,
// unzipped where its name ends in ".zip". Each failed location is logged;
// when both fail, the error of the second is returned, unless the second
// register is empty (as on most devices): then the first one's error is the
// one that explains the failure. `stopped`, when set, is asked after a
// location failed: when it says so (the caller's deadline passed, or it was
// interrupted, as the memory's reads were) the second location is not
// tried and the first one's error is returned.
[[nodiscard]] gige::CameraResult<std::vector<std::uint8_t>> fetch_description(
    DescriptionMemory& memory, const util::InterruptCheck& stopped = {});

}  // namespace corvantic::genicam
