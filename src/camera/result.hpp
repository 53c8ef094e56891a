// What the camera layer's calls return: a value, or why there is none.
#pragma once

#include <expected>
#include <string_view>
#include <variant>

#include "genicam/genicam_error.hpp"

namespace corvantic::camera {

using genicam::GenicamError;
using genicam::GenicamResult;

// A call refused because the camera is occupied by a long operation:
// `activity` (a string literal such as "a snap") names it. The operation may
// run on another thread, or on the calling thread itself, whose signal
// handler calls the camera between the slices of that operation's wait:
// `within` then names the operation whose wait the call came from ("snap",
// "reconnect"), and is empty otherwise.
struct Busy {
  std::string_view activity;
  std::string_view within;
};

// A call on an acquisition that has stopped, or a snapshot session that has
// closed.
struct Ended {};

using Failure = std::variant<Busy, Ended, GenicamError>;

template <typename T>
using Result = std::expected<T, Failure>;

}  // namespace corvantic::camera
