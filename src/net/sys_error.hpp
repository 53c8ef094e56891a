// An operating-system error number, as the network layer reports failures.
#pragma once

#include <cerrno>
#include <expected>
#include <string>

namespace corvantic::net {

struct SysError {
  int code = 0;
  // The system's own text for the error, e.g. "Address already in use".
  [[nodiscard]] std::string text() const;
  [[nodiscard]] bool would_block() const { return code == EAGAIN || code == EWOULDBLOCK; }
  bool operator==(const SysError&) const = default;
};

// The error of the last failed system call.
[[nodiscard]] inline SysError last_error() { return SysError{errno}; }

template <typename T>
using SysResult = std::expected<T, SysError>;

}  // namespace corvantic::net
