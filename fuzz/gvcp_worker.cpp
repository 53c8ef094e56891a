// Feeds arbitrary datagrams from the device's address to the control worker's
// datagram handling while operations of every kind are in flight. The input
// is a sequence of records: one byte of which op to queue next, two bytes of
// length, then the datagram.
#include <cstddef>
#include <cstdint>

#include "gige/gvcp_worker_loop.hpp"
#include "util/bytes.hpp"

using namespace corvantic;
using namespace corvantic::util;
using namespace corvantic::gige;
using namespace corvantic::gige::proto;

namespace {

struct Harness {
  Harness() {
    device = net::UdpSocket::bind(net::SocketAddress::ipv4(0x7F000001, 0)).value();
    (void)device.set_nonblocking(true);
  }
  net::UdpSocket device;
};

GvcpOp make_op(std::uint8_t selector) {
  switch (selector % 5) {
    case 0: return request::ReadRegister{0x0A00, make_reply_slot<std::uint32_t>()};
    case 1: return request::ReadRegisters{{0, 4, 8}, make_reply_slot<std::vector<std::uint32_t>>()};
    case 2: return request::WriteRegisters{{{0x0A00, 2}}, make_reply_slot<Unit>()};
    case 3: return op::ReadMemory{0x100, 1300, {}, make_reply_slot<std::vector<std::uint8_t>>()};
    default: return op::WriteMemory{0x100, std::vector<std::uint8_t>(700, 1), 0, make_reply_slot<Unit>()};
  }
}

Request as_request(GvcpOp op) {
  return std::visit(
      [](auto& o) -> Request {
        using T = std::decay_t<decltype(o)>;
        if constexpr (std::is_same_v<T, op::ReadMemory>) {
          return request::ReadMemory{o.address, o.length, o.reply};
        } else if constexpr (std::is_same_v<T, op::WriteMemory>) {
          return request::WriteMemory{o.base, o.data, o.reply};
        } else if constexpr (std::is_same_v<T, op::Heartbeat>) {
          return request::Shutdown{};
        } else {
          return o;
        }
      },
      op);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Harness harness;
  const net::SocketAddress device_address = harness.device.local_address().value();
  WorkerSettings settings{device_address, net::SocketAddress::ipv4(0x7F000001, 0), std::chrono::milliseconds(500), 2,
                          3000};
  auto shared = std::make_shared<GvcpWorker::Shared>();
  shared->stats = std::make_shared<SharedLinkStats>();
  auto socket = net::UdpSocket::bind(settings.local).value();
  (void)socket.set_nonblocking(true);
  GvcpWorkerLoop loop(settings, std::move(socket), net::Poller::create().value(), shared);

  ByteReader input({data, size});
  auto now = GvcpWorkerLoop::Clock::now();
  while (input.remaining() > 0) {
    const auto selector = input.u8();
    const auto length = input.be16();
    if (!selector || !length) break;
    {
      util::MutexLock lock(shared->queue_mutex);
      shared->queue.push_back(as_request(make_op(*selector)));
    }
    if (!loop.take_requests()) break;
    loop.run_timers(now);
    const auto datagram = input.bytes(std::min<std::size_t>(*length, input.remaining()));
    if (!datagram) break;
    loop.handle_datagram(device_address, *datagram, now);
    now += std::chrono::milliseconds(*selector);
  }
  loop.shut_down();
  if (shared->running.load()) __builtin_trap();
  return 0;
}
