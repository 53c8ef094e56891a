// IPv4 and IPv6 socket addresses: parsing, formatting, comparison.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvantic::net {

// A socket address of either family.
class SocketAddress {
 public:
  SocketAddress() = default;
  // An IPv4 address in host order (first octet most significant) and port.
  [[nodiscard]] static SocketAddress ipv4(std::uint32_t address, std::uint16_t port);
  // Parses an IPv4 or IPv6 address without port ("192.168.1.10", "::1").
  [[nodiscard]] static std::optional<SocketAddress> parse_ip(std::string_view text, std::uint16_t port);
  [[nodiscard]] static SocketAddress from_sockaddr(const sockaddr_storage& storage);

  [[nodiscard]] bool is_ipv4() const { return storage_.ss_family == AF_INET; }
  [[nodiscard]] bool is_ipv6() const { return storage_.ss_family == AF_INET6; }
  // The IPv4 address in host order; 0 for other families.
  [[nodiscard]] std::uint32_t ipv4_address() const;
  [[nodiscard]] std::uint16_t port() const;
  [[nodiscard]] SocketAddress with_port(std::uint16_t port) const;
  // True when both carry the same IP address, whatever their ports.
  [[nodiscard]] bool same_ip(const SocketAddress& other) const;
  // True for 0.0.0.0 and ::.
  [[nodiscard]] bool is_unspecified() const;

  // "192.168.1.10:3956" or "[::1]:3956".
  [[nodiscard]] std::string to_string() const;
  // The address alone: "192.168.1.10" or "::1".
  [[nodiscard]] std::string ip_string() const;

  [[nodiscard]] const sockaddr* sockaddr_ptr() const { return reinterpret_cast<const sockaddr*>(&storage_); }
  [[nodiscard]] socklen_t length() const;
  bool operator==(const SocketAddress& other) const;

 private:
  sockaddr_storage storage_{};
};

}  // namespace corvantic::net
