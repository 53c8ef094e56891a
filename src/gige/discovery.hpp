// Discovery: broadcast the GVCP DISCOVERY command on the host's adapters and
// collect the devices that answer. Runs on the calling thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "gige/camera_error.hpp"
#include "gige/proto/bootstrap.hpp"
#include "gige/proto/gvcp.hpp"
#include "net/adapters.hpp"
#include "net/address.hpp"

namespace corvantic::gige {

struct DiscoverySettings {
  // Adapters to probe; none means every IPv4 address of the host except
  // 0.0.0.0 and 127.0.0.0/8.
  std::optional<std::vector<net::AdapterEntry>> adapters;
  std::chrono::nanoseconds timeout = std::chrono::seconds(1);
  std::uint16_t local_port = 0;
  std::uint16_t device_port = proto::GVCP_PORT;
  // Also probe 255.255.255.255 when an adapter's broadcast address differs.
  bool limited_broadcast = true;
};

struct DiscoveredDevice {
  proto::DeviceInfo info;
  net::AdapterEntry adapter;     // the adapter the answer arrived on
  net::SocketAddress source;     // where the answer came from
};

// The devices in the order of their first answer, one per MAC address.
[[nodiscard]] CameraResult<std::vector<DiscoveredDevice>> discover(const DiscoverySettings& settings);

}  // namespace corvantic::gige
