#include "net/adapters.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace corvantic::net {
namespace {

std::uint32_t ipv4_of(const sockaddr* sa) {
  return ntohl(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr);
}

}  // namespace

SysResult<std::vector<AdapterEntry>> list_ipv4_adapters() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return std::unexpected(last_error());
  std::vector<AdapterEntry> entries;
  for (const ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
    if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
    AdapterEntry entry;
    entry.name = it->ifa_name ? it->ifa_name : "";
    entry.address = ipv4_of(it->ifa_addr);
    if (it->ifa_netmask != nullptr && it->ifa_netmask->sa_family == AF_INET) entry.netmask = ipv4_of(it->ifa_netmask);
    if ((it->ifa_flags & IFF_BROADCAST) != 0 && it->ifa_broadaddr != nullptr &&
        it->ifa_broadaddr->sa_family == AF_INET) {
      entry.reported_broadcast = ipv4_of(it->ifa_broadaddr);
    }
    entries.push_back(std::move(entry));
  }
  ::freeifaddrs(list);
  return entries;
}

}  // namespace corvantic::net
