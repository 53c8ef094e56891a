#include "net/sys_error.hpp"

#include <cstring>

namespace corvantic::net {

std::string SysError::text() const {
  char buf[256];
  // GNU strerror_r returns the text, which may or may not live in buf.
  return strerror_r(code, buf, sizeof buf);
}

}  // namespace corvantic::net
