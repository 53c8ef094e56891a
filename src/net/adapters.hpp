// The host's network adapters with their IPv4 addresses.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "net/sys_error.hpp"

namespace corvantic::net {

// One IPv4 address of one adapter; an adapter with several addresses gives
// several entries. Addresses are in host order.
struct AdapterEntry {
  std::string name;
  std::uint32_t address = 0;
  std::uint32_t netmask = 0;
  // The broadcast address the host reports, if any.
  std::optional<std::uint32_t> reported_broadcast;

  // The reported broadcast address, or else address | ~netmask.
  [[nodiscard]] std::uint32_t broadcast() const {
    return reported_broadcast.value_or(address | ~netmask);
  }
};

// Every IPv4 address of every adapter, in the order the host lists them.
[[nodiscard]] SysResult<std::vector<AdapterEntry>> list_ipv4_adapters();

}  // namespace corvantic::net
