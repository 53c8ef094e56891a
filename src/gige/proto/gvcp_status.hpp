// A 16-bit GVCP status code and its display form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvantic::gige::proto {

struct GvcpStatus {
  std::uint16_t code = 0;

  static constexpr std::uint16_t SUCCESS = 0x0000;
  static constexpr std::uint16_t PACKET_RESEND = 0x0100;
  static constexpr std::uint16_t NOT_IMPLEMENTED = 0x8001;
  static constexpr std::uint16_t INVALID_PARAMETER = 0x8002;
  static constexpr std::uint16_t INVALID_ADDRESS = 0x8003;
  static constexpr std::uint16_t WRITE_PROTECT = 0x8004;
  static constexpr std::uint16_t BAD_ALIGNMENT = 0x8005;
  static constexpr std::uint16_t ACCESS_DENIED = 0x8006;
  static constexpr std::uint16_t BUSY = 0x8007;
  static constexpr std::uint16_t PACKET_UNAVAILABLE = 0x800C;
  static constexpr std::uint16_t DATA_OVERRUN = 0x800D;
  static constexpr std::uint16_t INVALID_HEADER = 0x800E;
  static constexpr std::uint16_t PACKET_NOT_YET_AVAILABLE = 0x8010;
  static constexpr std::uint16_t PACKET_AND_PREVIOUS_REMOVED = 0x8011;
  static constexpr std::uint16_t PACKET_REMOVED = 0x8012;
  static constexpr std::uint16_t NO_REFERENCE_TIME = 0x8013;
  static constexpr std::uint16_t PACKET_TEMPORARILY_UNAVAILABLE = 0x8014;
  static constexpr std::uint16_t OVERFLOW = 0x8015;
  static constexpr std::uint16_t ACTION_LATE = 0x8016;
  static constexpr std::uint16_t LEADER_TRAILER_OVERFLOW = 0x8017;
  static constexpr std::uint16_t GENERIC_ERROR = 0x8FFF;

  [[nodiscard]] bool is_error() const { return (code & 0x8000) != 0; }
  // The name of a known code ("access denied"), nothing for others.
  [[nodiscard]] std::optional<std::string_view> name() const;
  // "access denied (0x8006)" for a known code, "status 0x8abc" otherwise.
  [[nodiscard]] std::string display() const;
  bool operator==(const GvcpStatus&) const = default;
};

}  // namespace corvantic::gige::proto
