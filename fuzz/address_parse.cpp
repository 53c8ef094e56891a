// Parsing of IP address texts (the `ip` and `local_ip` arguments), on
// arbitrary bytes. Checks: a text holding a zero byte is refused; an
// accepted text is an address the C library reads the same way, and its
// printed form parses back to the same socket address.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/address.hpp"

using namespace corvantic;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::uint16_t port = size > 0 ? static_cast<std::uint16_t>(data[0] * 251u) : 0;
  const auto parsed = net::SocketAddress::parse_ip(text, port);
  const bool has_zero = text.find('\0') != std::string_view::npos;
  const std::string terminated(text);
  unsigned char buffer[sizeof(in6_addr)];
  const bool c_library = !has_zero && (inet_pton(AF_INET, terminated.c_str(), buffer) == 1 ||
                                       inet_pton(AF_INET6, terminated.c_str(), buffer) == 1);
  if (parsed.has_value() != c_library) __builtin_trap();
  if (!parsed) return 0;
  if (!parsed->is_ipv4() && !parsed->is_ipv6()) __builtin_trap();
  if (parsed->port() != port) __builtin_trap();
  const auto again = net::SocketAddress::parse_ip(parsed->ip_string(), port);
  if (!again || !(*again == *parsed)) __builtin_trap();
  const std::string shown = parsed->to_string();
  if (!shown.ends_with(":" + std::to_string(port))) __builtin_trap();
  return 0;
}
