#include "gige/discovery.hpp"

#include <algorithm>
#include <array>

#include "net/udp_socket.hpp"
#include "util/duration.hpp"
#include "util/log.hpp"
#include "util/text.hpp"

namespace corvantic::gige {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t LIMITED_BROADCAST = 0xFFFFFFFF;
constexpr auto RECEIVE_SLICE = std::chrono::milliseconds(20);

struct Probe {
  net::AdapterEntry adapter;
  net::UdpSocket socket;
};

std::vector<net::AdapterEntry> usable_host_adapters(std::vector<net::AdapterEntry> all) {
  std::erase_if(all, [](const net::AdapterEntry& e) { return e.address == 0 || (e.address >> 24) == 127; });
  return all;
}

void log_skip(const net::AdapterEntry& adapter, const net::SysError& error) {
  CORVANTIC_LOG(util::log::Level::Warn, util::log::target::GIGE_DISCOVERY,
                "discovery: skipping " + adapter.name + " (" + util::ipv4_string(adapter.address) +
                    "): " + error.text());
}

// Binds a socket on the adapter and sends the DISCOVERY command to its
// broadcast destinations; the socket is kept when at least one send went out.
std::optional<Probe> open_probe(const net::AdapterEntry& adapter, const DiscoverySettings& settings) {
  auto socket = net::UdpSocket::bind(net::SocketAddress::ipv4(adapter.address, settings.local_port));
  if (!socket) {
    log_skip(adapter, socket.error());
    return std::nullopt;
  }
  if (auto broadcast = socket->set_broadcast(true); !broadcast) {
    log_skip(adapter, broadcast.error());
    return std::nullopt;
  }
  std::vector<std::uint32_t> destinations = {adapter.broadcast()};
  if (settings.limited_broadcast && adapter.broadcast() != LIMITED_BROADCAST) {
    destinations.push_back(LIMITED_BROADCAST);
  }
  const auto command = proto::encode_discovery();
  bool sent = false;
  for (const std::uint32_t ip : destinations) {
    const auto to = net::SocketAddress::ipv4(ip, settings.device_port);
    if (auto n = socket->send_to(command, to); n) {
      sent = true;
    } else {
      CORVANTIC_LOG(util::log::Level::Trace, util::log::target::GIGE_DISCOVERY,
                    "discovery: send to " + to.to_string() + " failed: " + n.error().text());
    }
  }
  if (!sent) return std::nullopt;
  return Probe{adapter, std::move(*socket)};
}

// Receives at most one datagram on the probe and adds its device if it is a
// new, well-formed discovery answer.
void receive_once(Probe& probe, std::span<std::uint8_t> buffer, std::vector<DiscoveredDevice>& found) {
  if (auto timeout = probe.socket.set_receive_timeout(RECEIVE_SLICE); !timeout) return;
  auto datagram = probe.socket.receive_from(buffer);
  if (!datagram) {
    if (!datagram.error().would_block() && datagram.error().code != ETIMEDOUT) {
      CORVANTIC_LOG(util::log::Level::Trace, util::log::target::GIGE_DISCOVERY,
                    "discovery: recv on " + probe.adapter.name + " failed: " + datagram.error().text());
    }
    return;
  }
  auto info = proto::device_info_from_discovery_ack(buffer.first(datagram->size));
  if (!info) return;
  const bool known = std::any_of(found.begin(), found.end(),
                                 [&](const DiscoveredDevice& d) { return d.info.mac == info->mac; });
  if (!known) found.push_back({std::move(*info), probe.adapter, datagram->source});
}

}  // namespace

CameraResult<std::vector<DiscoveredDevice>> discover(const DiscoverySettings& settings) {
  std::vector<net::AdapterEntry> adapters;
  if (settings.adapters) {
    adapters = *settings.adapters;
  } else {
    auto listed = net::list_ipv4_adapters();
    if (!listed) return std::unexpected(CameraError::io(listed.error().code));
    adapters = usable_host_adapters(std::move(*listed));
  }

  std::vector<Probe> probes;
  for (const auto& adapter : adapters) {
    if (auto probe = open_probe(adapter, settings)) probes.push_back(std::move(*probe));
  }
  if (probes.empty()) {
    return std::unexpected(CameraError::io(EADDRNOTAVAIL, "no usable network adapter for discovery"));
  }

  std::vector<DiscoveredDevice> found;
  std::vector<std::uint8_t> buffer(65535);
  const auto deadline = util::saturating_add<Clock>(Clock::now(), settings.timeout);
  while (Clock::now() < deadline) {
    for (auto& probe : probes) receive_once(probe, buffer, found);
  }
  CORVANTIC_LOG(util::log::Level::Debug, util::log::target::GIGE_DISCOVERY, "discovery finished",
                util::log::field("devices", found.size()));
  return found;
}

}  // namespace corvantic::gige
