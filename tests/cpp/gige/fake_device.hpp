// A scripted device for control-channel tests: the test thread receives the
// client's commands and answers them with bytes of its own making.
#pragma once

#include <chrono>
#include <optional>
#include <vector>

#include "net/udp_socket.hpp"
#include "util/bytes.hpp"

namespace corvantic::testing {

struct Command {
  std::vector<std::uint8_t> bytes;
  net::SocketAddress from;

  [[nodiscard]] std::uint16_t code() const { return util::load_be16(&bytes[2]); }
  [[nodiscard]] std::uint16_t request_id() const { return util::load_be16(&bytes[6]); }
  [[nodiscard]] std::uint32_t word(std::size_t payload_index) const { return util::load_be32(&bytes[8 + 4 * payload_index]); }
};

class FakeDevice {
 public:
  // Binds `ip` (host order) on an ephemeral port.
  explicit FakeDevice(std::uint32_t ip) : socket_(net::UdpSocket::bind(net::SocketAddress::ipv4(ip, 0)).value()) {
    (void)socket_.set_receive_timeout(std::chrono::seconds(3));
  }

  [[nodiscard]] net::SocketAddress address() const { return socket_.local_address().value(); }

  // The next command, or nothing after `timeout`.
  std::optional<Command> receive(std::chrono::milliseconds timeout = std::chrono::seconds(3)) {
    (void)socket_.set_receive_timeout(timeout);
    std::vector<std::uint8_t> buffer(2048);
    auto datagram = socket_.receive_from(buffer);
    if (!datagram) return std::nullopt;
    buffer.resize(datagram->size);
    return Command{std::move(buffer), datagram->source};
  }

  void send(const std::vector<std::uint8_t>& bytes, const net::SocketAddress& to) { (void)socket_.send_to(bytes, to); }

  // An acknowledge: status, code, ack id, then `payload` (length field =
  // payload size unless `length` overrides it).
  static std::vector<std::uint8_t> ack(std::uint16_t status, std::uint16_t code, std::uint16_t ack_id,
                                       const std::vector<std::uint8_t>& payload = {},
                                       std::optional<std::uint16_t> length = std::nullopt) {
    std::vector<std::uint8_t> d(8);
    util::store_be16(&d[0], status);
    util::store_be16(&d[2], code);
    util::store_be16(&d[4], length.value_or(static_cast<std::uint16_t>(payload.size())));
    util::store_be16(&d[6], ack_id);
    d.insert(d.end(), payload.begin(), payload.end());
    return d;
  }

  static std::vector<std::uint8_t> words(std::initializer_list<std::uint32_t> values) {
    std::vector<std::uint8_t> out;
    for (const std::uint32_t v : values) {
      const std::size_t at = out.size();
      out.resize(at + 4);
      util::store_be32(&out[at], v);
    }
    return out;
  }

 private:
  net::UdpSocket socket_;
};

}  // namespace corvantic::testing
