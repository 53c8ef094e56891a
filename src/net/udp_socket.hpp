// A UDP socket owned by one object; closed when it goes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "net/address.hpp"
#include "net/sys_error.hpp"
#include "util/unique_fd.hpp"

namespace corvantic::net {

struct Datagram {
  std::size_t size = 0;
  SocketAddress source;
};

class UdpSocket {
 public:
  UdpSocket() = default;

  // A new socket of the address's family bound to `local`.
  [[nodiscard]] static SysResult<UdpSocket> bind(const SocketAddress& local);

  [[nodiscard]] bool is_open() const { return fd_.valid(); }
  [[nodiscard]] int fd() const { return fd_.get(); }
  [[nodiscard]] SysResult<SocketAddress> local_address() const;

  [[nodiscard]] SysResult<void> set_nonblocking(bool on);
  [[nodiscard]] SysResult<void> set_broadcast(bool on);
  // Zero means block without a time-out.
  [[nodiscard]] SysResult<void> set_receive_timeout(std::chrono::microseconds timeout);
  [[nodiscard]] SysResult<void> set_receive_buffer(int bytes);
  // Associates a peer; used to learn the local address the route picks.
  [[nodiscard]] SysResult<void> connect(const SocketAddress& peer);

  [[nodiscard]] SysResult<std::size_t> send_to(std::span<const std::uint8_t> data, const SocketAddress& to);
  // One datagram into `buffer`; a datagram longer than the buffer is cut.
  // Interrupted calls are retried.
  [[nodiscard]] SysResult<Datagram> receive_from(std::span<std::uint8_t> buffer);

  void close() { fd_.reset(); }

 private:
  explicit UdpSocket(int fd) : fd_(fd) {}
  util::UniqueFd fd_;
};

}  // namespace corvantic::net
