// A UDP socket owned by one object; closed when it goes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <sys/socket.h>
#include <sys/uio.h>

#include "net/address.hpp"
#include "net/sys_error.hpp"
#include "util/unique_fd.hpp"

namespace corvantic::net {

struct Datagram {
  std::size_t size = 0;
  SocketAddress source;
};

// Preallocated room for receiving several datagrams with one system call.
// Each slot holds the largest UDP payload, so nothing is ever cut; the
// kernel only writes, and so only commits pages for, the bytes that arrive.
//
// A slot can be aimed before a receive: its datagram's first `head` bytes
// land in the slot, the next bytes in an outside `region` (where the caller
// expects that datagram's payload to belong), and anything beyond in the
// slot again, right where it would sit had the datagram arrived whole. So a
// datagram that was aimed right costs no copy, and one that was aimed wrong
// is made whole by copying the region's part back (`gather`). Aims last for
// one receive.
class DatagramBatch {
 public:
  // Largest UDP payload of any datagram.
  static constexpr std::size_t SLOT_SIZE = 65535;

  explicit DatagramBatch(std::size_t slots);
  DatagramBatch(const DatagramBatch&) = delete;
  DatagramBatch& operator=(const DatagramBatch&) = delete;

  [[nodiscard]] std::size_t capacity() const { return headers_.size(); }
  // The datagrams of the last receive_batch.
  [[nodiscard]] std::size_t size() const { return received_; }
  // Datagram `i` whole: for an aimed slot only after gather(i).
  [[nodiscard]] std::span<const std::uint8_t> payload(std::size_t i) const;
  [[nodiscard]] SocketAddress source(std::size_t i) const;
  // The length of datagram `i`, wherever its bytes are.
  [[nodiscard]] std::size_t length(std::size_t i) const { return headers_[i].msg_len; }

  // Aims slot `i` for the next receive; ignored when `head` +
  // region.size() exceeds SLOT_SIZE.
  void aim(std::size_t i, std::size_t head, std::span<std::uint8_t> region);
  // The first min(head, length) bytes of datagram `i`, always in the slot.
  [[nodiscard]] std::span<const std::uint8_t> head(std::size_t i) const;
  // The bytes of datagram `i` that landed in its region (none when unaimed).
  [[nodiscard]] std::span<const std::uint8_t> in_region(std::size_t i) const;
  // The bytes of datagram `i` that went past its region, back in the slot.
  [[nodiscard]] std::size_t past_region(std::size_t i) const;
  // Copies the region's part of datagram `i` into the slot, so that
  // payload(i) is whole. The region keeps what it received.
  void gather(std::size_t i);

 private:
  friend class UdpSocket;
  // Slots start a cache line apart modulo the page size, so that their first
  // bytes do not all compete for the same cache sets.
  static constexpr std::size_t SLOT_STRIDE = 65536 + 64;
  static constexpr std::size_t IOVECS_PER_SLOT = 3;

  struct Aim {
    std::size_t head = SLOT_SIZE;  // the whole slot: unaimed
    std::span<std::uint8_t> region;
  };

  [[nodiscard]] std::uint8_t* slot(std::size_t i) { return storage_.data() + i * SLOT_STRIDE; }
  [[nodiscard]] const std::uint8_t* slot(std::size_t i) const { return storage_.data() + i * SLOT_STRIDE; }
  // Sets up the iovecs and headers of every slot for one receive.
  void prepare();

  std::vector<std::uint8_t> storage_;
  std::vector<Aim> next_aims_;  // for the next receive
  std::vector<Aim> aims_;       // of the last receive
  std::vector<iovec> iovecs_;
  std::vector<sockaddr_storage> sources_;
  std::vector<mmsghdr> headers_;
  std::size_t received_ = 0;
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
  // SO_RCVBUFFORCE: the same beyond the net.core.rmem_max cap; needs
  // CAP_NET_ADMIN (EPERM otherwise).
  [[nodiscard]] SysResult<void> set_receive_buffer_force(int bytes);
  // SO_RCVBUF as the kernel reports it; Linux reports twice the size set,
  // the other half being its bookkeeping allowance.
  [[nodiscard]] SysResult<int> receive_buffer() const;
  // Associates a peer; used to learn the local address the route picks.
  [[nodiscard]] SysResult<void> connect(const SocketAddress& peer);
  // The MTU of the route towards the connected peer (IP_MTU): the largest
  // IP datagram the host sends that way unfragmented.
  [[nodiscard]] SysResult<int> path_mtu() const;

  [[nodiscard]] SysResult<std::size_t> send_to(std::span<const std::uint8_t> data, const SocketAddress& to);
  // One datagram into `buffer`; a datagram longer than the buffer is cut.
  // Interrupted calls are retried.
  [[nodiscard]] SysResult<Datagram> receive_from(std::span<std::uint8_t> buffer);
  // Without waiting, as many datagrams as are queued, up to the batch's
  // capacity (recvmmsg); returns how many (batch.size()). Nothing queued is
  // the would-block error. Interrupted calls are retried.
  [[nodiscard]] SysResult<std::size_t> receive_batch(DatagramBatch& batch);

  void close() { fd_.reset(); }

 private:
  explicit UdpSocket(int fd) : fd_(fd) {}
  util::UniqueFd fd_;
};

}  // namespace corvantic::net
