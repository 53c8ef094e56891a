// CameraError: the one failure type of the transport layer. A plain value,
// carried in std::expected results and handed across threads by copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <expected>
#include <string>

#include "gige/proto/gvcp_status.hpp"

namespace corvantic::gige {

class CameraError {
 public:
  // In this order; the Python layer and logs show display().
  enum class Kind : std::uint8_t {
    Io,
    ConnectTimeout,
    NotConnected,
    AckTimeout,
    ControlDenied,
    ControlLost,
    Status,
    Malformed,
    Unsupported,
    WorkerSpawn,
  };
  // A finer reason within a kind, for callers that decide on it; display()
  // never depends on it.
  enum class Reason : std::uint8_t {
    Unspecified,
    WrongValueCount,  // Malformed: a read register ack with another number of values than asked for
  };

  // An operating-system failure; the text is the system's own for `errno_value`.
  [[nodiscard]] static CameraError io(int errno_value);
  // An operating-system failure of kind `errno_value` with a text of our own.
  [[nodiscard]] static CameraError io(int errno_value, std::string text);
  [[nodiscard]] static CameraError connect_timeout() { return CameraError(Kind::ConnectTimeout); }
  [[nodiscard]] static CameraError not_connected() { return CameraError(Kind::NotConnected); }
  [[nodiscard]] static CameraError ack_timeout() { return CameraError(Kind::AckTimeout); }
  [[nodiscard]] static CameraError control_denied() { return CameraError(Kind::ControlDenied); }
  [[nodiscard]] static CameraError control_lost() { return CameraError(Kind::ControlLost); }
  [[nodiscard]] static CameraError status(std::uint16_t command, proto::GvcpStatus status);
  [[nodiscard]] static CameraError malformed(std::string text);
  // Malformed with reason WrongValueCount.
  [[nodiscard]] static CameraError wrong_value_count(std::size_t carried, std::size_t expected);
  [[nodiscard]] static CameraError unsupported(std::string text);
  [[nodiscard]] static CameraError worker_spawn(std::string text);
  // Io "out of memory" (ENOMEM): its text fits the string's own storage,
  // so making and copying it allocates nothing.
  [[nodiscard]] static CameraError out_of_memory() noexcept;

  [[nodiscard]] Kind kind() const { return kind_; }
  [[nodiscard]] Reason reason() const { return reason_; }
  // The errno value of an Io error, 0 for other kinds.
  [[nodiscard]] int os_error() const { return os_error_; }
  // The command and status of a Status error, 0 for other kinds.
  [[nodiscard]] std::uint16_t command() const { return command_; }
  [[nodiscard]] proto::GvcpStatus gvcp_status() const { return status_; }
  // The text payload of Io, Malformed, Unsupported and WorkerSpawn.
  [[nodiscard]] const std::string& detail() const { return detail_; }

  // The display text, e.g. "device answered command 0x0084 with access denied (0x8006)".
  [[nodiscard]] std::string display() const;

  bool operator==(const CameraError&) const = default;

 private:
  explicit CameraError(Kind kind) : kind_(kind) {}

  Kind kind_;
  Reason reason_ = Reason::Unspecified;
  int os_error_ = 0;
  std::uint16_t command_ = 0;
  proto::GvcpStatus status_{};
  std::string detail_;
};

// The CameraError that an exception caught on a worker thread stands for:
// out_of_memory() for an allocation failure, else Malformed
// "internal failure: " followed by the exception's text.
[[nodiscard]] CameraError error_from_exception(std::exception_ptr exception) noexcept;

template <typename T>
using CameraResult = std::expected<T, CameraError>;

}  // namespace corvantic::gige
