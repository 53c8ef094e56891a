#include "gige/camera_error.hpp"

#include <cerrno>
#include <new>
#include <stdexcept>

#include "net/sys_error.hpp"
#include "util/text.hpp"

namespace corvantic::gige {

CameraError CameraError::io(int errno_value) { return io(errno_value, net::SysError{errno_value}.text()); }

CameraError CameraError::io(int errno_value, std::string text) {
  CameraError e(Kind::Io);
  e.os_error_ = errno_value;
  e.detail_ = std::move(text);
  return e;
}

CameraError CameraError::out_of_memory() noexcept {
  CameraError e(Kind::Io);
  e.os_error_ = ENOMEM;
  e.detail_ = "out of memory";
  return e;
}

CameraError CameraError::status(std::uint16_t command, proto::GvcpStatus status) {
  CameraError e(Kind::Status);
  e.command_ = command;
  e.status_ = status;
  return e;
}

CameraError CameraError::malformed(std::string text) {
  CameraError e(Kind::Malformed);
  e.detail_ = std::move(text);
  return e;
}

CameraError CameraError::wrong_value_count(std::size_t carried, std::size_t expected) {
  CameraError e = malformed("read register ack carried " + std::to_string(carried) + " values, expected " +
                            std::to_string(expected));
  e.reason_ = Reason::WrongValueCount;
  return e;
}

CameraError CameraError::unsupported(std::string text) {
  CameraError e(Kind::Unsupported);
  e.detail_ = std::move(text);
  return e;
}

CameraError CameraError::worker_spawn(std::string text) {
  CameraError e(Kind::WorkerSpawn);
  e.detail_ = std::move(text);
  return e;
}

std::string CameraError::display() const {
  switch (kind_) {
    case Kind::Io: return "io error: " + detail_;
    case Kind::ConnectTimeout: return "connect timed out";
    case Kind::NotConnected: return "driver is not connected";
    case Kind::AckTimeout: return "timed out waiting for acknowledge";
    case Kind::ControlDenied: return "device control is held by another application";
    case Kind::ControlLost: return "device control was lost (heartbeat failed)";
    case Kind::Status: return "device answered command " + util::hex4(command_) + " with " + status_.display();
    case Kind::Malformed: return "malformed packet: " + detail_;
    case Kind::Unsupported: return "device does not support " + detail_;
    case Kind::WorkerSpawn: return "worker thread failed to start: " + detail_;
  }
  return "unknown camera error";
}

CameraError error_from_exception(std::exception_ptr exception) noexcept {
  try {
    std::rethrow_exception(exception);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {  // a size beyond what a container can hold
  } catch (const std::exception& e) {
    try {
      return CameraError::malformed(std::string("internal failure: ") + e.what());
    } catch (...) {  // no memory for the text
    }
  } catch (...) {
    try {
      return CameraError::malformed("internal failure");
    } catch (...) {  // no memory for the text
    }
  }
  return CameraError::out_of_memory();
}

}  // namespace corvantic::gige
