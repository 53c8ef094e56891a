#include "net/address.hpp"

#include <arpa/inet.h>

#include <cstring>

#include "util/text.hpp"

namespace corvantic::net {
namespace {

const sockaddr_in& as_v4(const sockaddr_storage& s) { return reinterpret_cast<const sockaddr_in&>(s); }
const sockaddr_in6& as_v6(const sockaddr_storage& s) { return reinterpret_cast<const sockaddr_in6&>(s); }

}  // namespace

SocketAddress SocketAddress::ipv4(std::uint32_t address, std::uint16_t port) {
  SocketAddress a;
  auto& v4 = reinterpret_cast<sockaddr_in&>(a.storage_);
  v4.sin_family = AF_INET;
  v4.sin_port = htons(port);
  v4.sin_addr.s_addr = htonl(address);
  return a;
}

std::optional<SocketAddress> SocketAddress::parse_ip(std::string_view text, std::uint16_t port) {
  // inet_pton reads up to the first zero byte, so a text holding one would
  // be judged by its prefix alone.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  const std::string copy(text);  // inet_pton needs a terminated string
  SocketAddress a;
  auto& v4 = reinterpret_cast<sockaddr_in&>(a.storage_);
  if (inet_pton(AF_INET, copy.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    return a;
  }
  auto& v6 = reinterpret_cast<sockaddr_in6&>(a.storage_);
  if (inet_pton(AF_INET6, copy.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    return a;
  }
  return std::nullopt;
}

SocketAddress SocketAddress::from_sockaddr(const sockaddr_storage& storage) {
  SocketAddress a;
  a.storage_ = storage;
  return a;
}

std::uint32_t SocketAddress::ipv4_address() const {
  return is_ipv4() ? ntohl(as_v4(storage_).sin_addr.s_addr) : 0;
}

std::uint16_t SocketAddress::port() const {
  if (is_ipv4()) return ntohs(as_v4(storage_).sin_port);
  if (is_ipv6()) return ntohs(as_v6(storage_).sin6_port);
  return 0;
}

SocketAddress SocketAddress::with_port(std::uint16_t port) const {
  SocketAddress a = *this;
  if (is_ipv4()) reinterpret_cast<sockaddr_in&>(a.storage_).sin_port = htons(port);
  if (is_ipv6()) reinterpret_cast<sockaddr_in6&>(a.storage_).sin6_port = htons(port);
  return a;
}

bool SocketAddress::same_ip(const SocketAddress& other) const {
  if (storage_.ss_family != other.storage_.ss_family) return false;
  if (is_ipv4()) return as_v4(storage_).sin_addr.s_addr == as_v4(other.storage_).sin_addr.s_addr;
  if (is_ipv6()) return std::memcmp(&as_v6(storage_).sin6_addr, &as_v6(other.storage_).sin6_addr, 16) == 0;
  return false;
}

bool SocketAddress::is_unspecified() const {
  if (is_ipv4()) return as_v4(storage_).sin_addr.s_addr == 0;
  if (is_ipv6()) return IN6_IS_ADDR_UNSPECIFIED(&as_v6(storage_).sin6_addr);
  return true;
}

std::string SocketAddress::ip_string() const {
  char buf[INET6_ADDRSTRLEN] = {};
  if (is_ipv4()) return util::ipv4_string(ipv4_address());
  if (is_ipv6()) inet_ntop(AF_INET6, &as_v6(storage_).sin6_addr, buf, sizeof buf);
  return buf;
}

std::string SocketAddress::to_string() const {
  // Built by appending only: gcc 12 at -O3 warns (falsely) of overlapping
  // copies in "[" + text, which inserts at the front.
  std::string text;
  if (is_ipv6()) text += '[';
  text += ip_string();
  if (is_ipv6()) text += ']';
  text += ':';
  text += std::to_string(port());
  return text;
}

socklen_t SocketAddress::length() const {
  return is_ipv6() ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

bool SocketAddress::operator==(const SocketAddress& other) const {
  return same_ip(other) && port() == other.port();
}

}  // namespace corvantic::net
