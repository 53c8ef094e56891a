// A host on raw UDP for the virtual camera's tests: it builds GVCP commands
// byte by byte (independently of the device's own codec), sends them to a
// camera at <ip>:3956 and reads the answers, so the tests check the device
// against the wire format rather than against itself.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/device.hpp"
#include "test_address.hpp"

namespace corvantic::sim::test {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

inline void put16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}
inline void put32(Bytes& out, std::uint32_t v) {
  put16(out, static_cast<std::uint16_t>(v >> 16));
  put16(out, static_cast<std::uint16_t>(v));
}
inline std::uint16_t get16(const Bytes& b, std::size_t at) {
  return static_cast<std::uint16_t>((b.at(at) << 8) | b.at(at + 1));
}
inline std::uint32_t get32(const Bytes& b, std::size_t at) {
  return (std::uint32_t{get16(b, at)} << 16) | get16(b, at + 2);
}

// 42 flags command length id, then the payload.
inline Bytes command(std::uint16_t code, std::uint16_t id, const Bytes& payload, std::uint8_t flags = 0x01) {
  Bytes out{0x42, flags};
  put16(out, code);
  put16(out, static_cast<std::uint16_t>(payload.size()));
  put16(out, id);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}
inline Bytes readreg(std::uint16_t id, std::initializer_list<std::uint32_t> addresses) {
  Bytes payload;
  for (auto a : addresses) put32(payload, a);
  return command(0x0080, id, payload);
}
inline Bytes writereg(std::uint16_t id,
                      std::initializer_list<std::pair<std::uint32_t, std::uint32_t>> pairs) {
  Bytes payload;
  for (auto [a, v] : pairs) {
    put32(payload, a);
    put32(payload, v);
  }
  return command(0x0082, id, payload);
}
inline Bytes readmem(std::uint16_t id, std::uint32_t address, std::uint16_t count) {
  Bytes payload;
  put32(payload, address);
  put16(payload, 0);
  put16(payload, count);
  return command(0x0084, id, payload);
}
inline Bytes writemem(std::uint16_t id, std::uint32_t address, const Bytes& data) {
  Bytes payload;
  put32(payload, address);
  payload.insert(payload.end(), data.begin(), data.end());
  return command(0x0086, id, payload);
}

struct Ack {
  std::uint16_t status = 0;
  std::uint16_t code = 0;
  std::uint16_t id = 0;
  Bytes payload;
  // READREG values.
  [[nodiscard]] std::vector<std::uint32_t> values() const {
    std::vector<std::uint32_t> out;
    for (std::size_t i = 0; i + 4 <= payload.size(); i += 4) out.push_back(get32(payload, i));
    return out;
  }
};

inline std::optional<Ack> parse_ack(const Bytes& datagram) {
  if (datagram.size() < 8 || datagram[0] == 0x42) return std::nullopt;
  Ack ack;
  ack.status = get16(datagram, 0);
  ack.code = get16(datagram, 2);
  const std::uint16_t length = get16(datagram, 4);
  ack.id = get16(datagram, 6);
  if (datagram.size() < 8u + length) return std::nullopt;
  ack.payload.assign(datagram.begin() + 8, datagram.begin() + 8 + length);
  return ack;
}

struct Datagram {
  Bytes bytes;
  sockaddr_in from{};
};

// One UDP socket on 127.0.0.1 with a port the system picks.
class RawHost {
 public:
  RawHost() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    socklen_t size = sizeof local;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size);
    port_ = ntohs(local.sin_port);
  }
  ~RawHost() { ::close(fd_); }
  RawHost(const RawHost&) = delete;
  RawHost& operator=(const RawHost&) = delete;

  [[nodiscard]] std::uint16_t port() const { return port_; }

  void send_to(const std::string& ip, const Bytes& bytes, std::uint16_t port = 3956) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, ip.c_str(), &to.sin_addr);
    ASSERT_EQ(::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(bytes.size()));
  }

  std::optional<Datagram> receive(std::chrono::milliseconds timeout = 2000ms) {
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    Datagram d;
    d.bytes.resize(65536);
    socklen_t size = sizeof d.from;
    const auto n =
        ::recvfrom(fd_, d.bytes.data(), d.bytes.size(), 0, reinterpret_cast<sockaddr*>(&d.from), &size);
    if (n < 0) return std::nullopt;
    d.bytes.resize(static_cast<std::size_t>(n));
    return d;
  }

  // The next acknowledge (non-command datagram), skipping nothing.
  std::optional<Ack> receive_ack(std::chrono::milliseconds timeout = 2000ms) {
    auto d = receive(timeout);
    if (!d) return std::nullopt;
    return parse_ack(d->bytes);
  }

  std::optional<Ack> transact(const std::string& ip, const Bytes& bytes) {
    send_to(ip, bytes);
    return receive_ack();
  }

  // Nothing arrives within `window`.
  bool quiet(std::chrono::milliseconds window = 300ms) { return !receive(window).has_value(); }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// Starts a camera. Its address is this process's own (test_address.hpp), so
// a busy address is a fault to report, not something to wait out.
inline std::unique_ptr<VirtualCamera> start_camera(VirtualCameraConfig config) {
  auto camera = std::make_unique<VirtualCamera>(config);
  auto started = camera->start();
  if (!started) ADD_FAILURE() << started.error();
  return camera;
}

inline VirtualCameraConfig config_at(const std::string& ip) {
  VirtualCameraConfig config;
  config.address = ip;
  return config;
}

}  // namespace corvantic::sim::test
