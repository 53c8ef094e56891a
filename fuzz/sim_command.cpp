// Fuzz target for the virtual camera's command handling: each input is a
// sequence of datagrams that go through parse_command() and then through a
// (stopped) VirtualCamera's datagram handler, so the register map, the
// control privilege and the fault bookkeeping see arbitrary bytes too.
//
// Input: records of [peer byte][length byte][length bytes]; bit 0 of the
// peer byte picks one of two host applications. A short last record takes
// what is left.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <variant>

#include "sim/command_parser.hpp"
#include "sim/device.hpp"

namespace {

using namespace corvantic::sim;

// What a parse promises, whatever the bytes: payload views inside the
// datagram and counts that fit the acknowledge.
void check_parse(std::span<const std::uint8_t> datagram) {
  const auto parsed = parse_command(datagram);
  if (!parsed) {
    if (parsed.error().header && datagram.size() < GVCP_HEADER_SIZE) std::abort();
    return;
  }
  const auto* begin = datagram.data();
  const auto* end = datagram.data() + datagram.size();
  auto inside = [&](std::span<const std::uint8_t> s) {
    if (!s.empty() && (s.data() < begin || s.data() + s.size() > end)) std::abort();
  };
  std::visit(
      [&](const auto& request) {
        using T = std::decay_t<decltype(request)>;
        if constexpr (std::is_same_v<T, ReadRegRequest>) {
          inside(request.raw);
          if (request.count() == 0 || request.count() > MAX_READREG_ADDRESSES) std::abort();
        } else if constexpr (std::is_same_v<T, WriteRegRequest>) {
          inside(request.raw);
          if (request.count() == 0 || request.count() > MAX_WRITEREG_PAIRS) std::abort();
        } else if constexpr (std::is_same_v<T, ReadMemRequest>) {
          if (request.count > MAX_MEMORY_BYTES) std::abort();
        } else if constexpr (std::is_same_v<T, WriteMemRequest>) {
          inside(request.data);
          if (request.data.size() > MAX_MEMORY_BYTES) std::abort();
        }
      },
      parsed->request);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  VirtualCameraConfig config;
  config.address = "127.0.0.39";
  VirtualCamera camera(config);
  sockaddr_in hosts[2] = {};
  for (int i = 0; i < 2; ++i) {
    hosts[i].sin_family = AF_INET;
    hosts[i].sin_addr.s_addr = htonl(0x7F000001);
    hosts[i].sin_port = htons(static_cast<std::uint16_t>(40000 + i));
  }
  std::span<const std::uint8_t> input(data, size);
  while (input.size() >= 2) {
    const int peer = input[0] & 1;
    const std::size_t length = std::min<std::size_t>(input[1], input.size() - 2);
    const auto datagram = input.subspan(2, length);
    input = input.subspan(2 + length);
    check_parse(datagram);
    camera.process_datagram(datagram, hosts[peer]);
  }
  return 0;
}
