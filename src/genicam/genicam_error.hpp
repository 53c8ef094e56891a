// GenicamError: the one failure type of the feature layer. It carries
// everything its text needs and no reference into the model, so it outlives
// the model and crosses to Python unchanged. Transport wraps a CameraError
// and displays its text unchanged.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "gige/camera_error.hpp"

namespace corvantic::genicam {

class GenicamError {
 public:
  // In this order.
  enum class Kind : std::uint8_t {
    FeatureNotFound,
    WrongType,
    AccessDenied,
    DanglingReference,
    CircularReference,
    Evaluation,
    NoEnumEntry,
    OutOfRange,
    DeviceDescription,
    SnapTimeout,
    SnapCancelled,
    Transport,
  };

  [[nodiscard]] static GenicamError feature_not_found(std::string name);
  // FeatureNotFound for a chunk feature a frame holds no chunk for, with
  // the reason (chunk mode off, the chunk not enabled, the frame incomplete).
  [[nodiscard]] static GenicamError chunk_not_in_frame(std::string feature, std::string reason);
  [[nodiscard]] static GenicamError wrong_type(std::string node);
  [[nodiscard]] static GenicamError access_denied(std::string node);
  // AccessDenied for a feature whose value is not in the device's memory
  // but in each frame's chunks, or in the data of each event `event` (its
  // name): the text says where to read it.
  [[nodiscard]] static GenicamError chunk_data(std::string feature);
  [[nodiscard]] static GenicamError event_data(std::string feature, std::string_view event);
  [[nodiscard]] static GenicamError dangling_reference(std::string name);
  [[nodiscard]] static GenicamError circular_reference(std::string node);
  [[nodiscard]] static GenicamError evaluation(std::string node, std::string message);
  [[nodiscard]] static GenicamError no_enum_entry(std::string enumeration, std::string entry);
  [[nodiscard]] static GenicamError out_of_range(std::int64_t value, std::int64_t min, std::int64_t max,
                                                 std::string node);
  [[nodiscard]] static GenicamError device_description(std::string message);
  [[nodiscard]] static GenicamError snap_timeout();
  // A snap ended by another thread before its frame arrived.
  [[nodiscard]] static GenicamError snap_cancelled();

  // The Transport variant; implicit so that a CameraError result converts.
  GenicamError(gige::CameraError transport);  // NOLINT(google-explicit-constructor)

  [[nodiscard]] Kind kind() const { return kind_; }
  // The wrapped CameraError of a Transport error.
  [[nodiscard]] const gige::CameraError* transport() const;
  // The first text payload: the feature, node or enumeration name, or the
  // description message.
  [[nodiscard]] const std::string& name() const { return name_; }
  // The second text payload: the formula message, the entry name, where a
  // chunk or event data feature is read, or why a frame has no such chunk.
  [[nodiscard]] const std::string& message() const { return message_; }

  [[nodiscard]] std::string display() const;

  bool operator==(const GenicamError&) const = default;

 private:
  explicit GenicamError(Kind kind) : kind_(kind), transport_(gige::CameraError::not_connected()) {}

  Kind kind_;
  std::string name_;
  std::string message_;
  std::int64_t value_ = 0, min_ = 0, max_ = 0;
  gige::CameraError transport_;  // meaningful for Transport only
};

template <typename T>
using GenicamResult = std::expected<T, GenicamError>;

}  // namespace corvantic::genicam
