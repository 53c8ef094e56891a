#include "genicam/genicam_error.hpp"

namespace corvantic::genicam {

GenicamError::GenicamError(gige::CameraError transport) : kind_(Kind::Transport), transport_(std::move(transport)) {}

GenicamError GenicamError::feature_not_found(std::string name) {
  GenicamError e(Kind::FeatureNotFound);
  e.name_ = std::move(name);
  return e;
}

GenicamError GenicamError::chunk_not_in_frame(std::string feature, std::string reason) {
  GenicamError e = feature_not_found(std::move(feature));
  e.message_ = std::move(reason);
  return e;
}

GenicamError GenicamError::wrong_type(std::string node) {
  GenicamError e(Kind::WrongType);
  e.name_ = std::move(node);
  return e;
}

GenicamError GenicamError::access_denied(std::string node) {
  GenicamError e(Kind::AccessDenied);
  e.name_ = std::move(node);
  return e;
}

GenicamError GenicamError::chunk_data(std::string feature) {
  GenicamError e = access_denied(std::move(feature));
  e.message_ = "chunk data: read it from frame.chunks";
  return e;
}

GenicamError GenicamError::event_data(std::string feature, std::string_view event) {
  GenicamError e = access_denied(std::move(feature));
  e.message_ = "event data of " + std::string(event) + ": read it from Camera.events()";
  return e;
}

GenicamError GenicamError::dangling_reference(std::string name) {
  GenicamError e(Kind::DanglingReference);
  e.name_ = std::move(name);
  return e;
}

GenicamError GenicamError::circular_reference(std::string node) {
  GenicamError e(Kind::CircularReference);
  e.name_ = std::move(node);
  return e;
}

GenicamError GenicamError::evaluation(std::string node, std::string message) {
  GenicamError e(Kind::Evaluation);
  e.name_ = std::move(node);
  e.message_ = std::move(message);
  return e;
}

GenicamError GenicamError::no_enum_entry(std::string enumeration, std::string entry) {
  GenicamError e(Kind::NoEnumEntry);
  e.name_ = std::move(enumeration);
  e.message_ = std::move(entry);
  return e;
}

GenicamError GenicamError::out_of_range(std::int64_t value, std::int64_t min, std::int64_t max, std::string node) {
  GenicamError e(Kind::OutOfRange);
  e.value_ = value;
  e.min_ = min;
  e.max_ = max;
  e.name_ = std::move(node);
  return e;
}

GenicamError GenicamError::device_description(std::string message) {
  GenicamError e(Kind::DeviceDescription);
  e.name_ = std::move(message);
  return e;
}

GenicamError GenicamError::snap_timeout() { return GenicamError(Kind::SnapTimeout); }

GenicamError GenicamError::snap_cancelled() { return GenicamError(Kind::SnapCancelled); }

const gige::CameraError* GenicamError::transport() const { return kind_ == Kind::Transport ? &transport_ : nullptr; }

std::string GenicamError::display() const {
  switch (kind_) {
    case Kind::FeatureNotFound:
      if (!message_.empty()) return "the frame holds no chunk for '" + name_ + "': " + message_;
      return "feature '" + name_ + "' not found";
    case Kind::WrongType: return "node '" + name_ + "' does not support this access";
    case Kind::AccessDenied:
      if (!message_.empty()) return "feature '" + name_ + "' is " + message_;
      return "node '" + name_ + "' is not accessible this way (access mode)";
    case Kind::DanglingReference: return "dangling reference '" + name_ + "'";
    case Kind::CircularReference: return "circular reference through '" + name_ + "'";
    case Kind::Evaluation: return "formula in '" + name_ + "': " + message_;
    case Kind::NoEnumEntry: return "enumeration '" + name_ + "' has no entry '" + message_ + "'";
    case Kind::OutOfRange:
      return "value " + std::to_string(value_) + " out of range [" + std::to_string(min_) + ", " +
             std::to_string(max_) + "] for '" + name_ + "'";
    case Kind::DeviceDescription: return "device description: " + name_;
    case Kind::SnapTimeout: return "no frame arrived within the snap timeout";
    case Kind::SnapCancelled: return "snap cancelled before a frame arrived";
    case Kind::Transport: return transport_.display();
  }
  return "unknown feature error";
}

}  // namespace corvantic::genicam
