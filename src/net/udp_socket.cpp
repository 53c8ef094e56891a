#include "net/udp_socket.hpp"

#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvantic::net {
namespace {

SysResult<void> set_option(int fd, int level, int name, const void* value, socklen_t size) {
  if (::setsockopt(fd, level, name, value, size) != 0) return std::unexpected(last_error());
  return {};
}

SysResult<void> set_int_option(int fd, int level, int name, int value) {
  return set_option(fd, level, name, &value, sizeof value);
}

}  // namespace

SysResult<UdpSocket> UdpSocket::bind(const SocketAddress& local) {
  const int family = local.is_ipv6() ? AF_INET6 : AF_INET;
  UdpSocket socket(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket.is_open()) return std::unexpected(last_error());
  if (::bind(socket.fd(), local.sockaddr_ptr(), local.length()) != 0) return std::unexpected(last_error());
  return socket;
}

SysResult<SocketAddress> UdpSocket::local_address() const {
  sockaddr_storage storage{};
  socklen_t size = sizeof storage;
  if (::getsockname(fd(), reinterpret_cast<sockaddr*>(&storage), &size) != 0) return std::unexpected(last_error());
  return SocketAddress::from_sockaddr(storage);
}

SysResult<void> UdpSocket::set_nonblocking(bool on) {
  const int flags = ::fcntl(fd(), F_GETFL);
  if (flags < 0) return std::unexpected(last_error());
  const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (::fcntl(fd(), F_SETFL, wanted) != 0) return std::unexpected(last_error());
  return {};
}

SysResult<void> UdpSocket::set_broadcast(bool on) { return set_int_option(fd(), SOL_SOCKET, SO_BROADCAST, on); }

SysResult<void> UdpSocket::set_receive_timeout(std::chrono::microseconds timeout) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1'000'000);
  tv.tv_usec = static_cast<suseconds_t>(timeout.count() % 1'000'000);
  return set_option(fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

SysResult<void> UdpSocket::set_receive_buffer(int bytes) {
  return set_int_option(fd(), SOL_SOCKET, SO_RCVBUF, bytes);
}

SysResult<void> UdpSocket::set_receive_buffer_force(int bytes) {
  return set_int_option(fd(), SOL_SOCKET, SO_RCVBUFFORCE, bytes);
}

SysResult<int> UdpSocket::receive_buffer() const {
  int value = 0;
  socklen_t size = sizeof value;
  if (::getsockopt(fd(), SOL_SOCKET, SO_RCVBUF, &value, &size) != 0) return std::unexpected(last_error());
  return value;
}

SysResult<void> UdpSocket::connect(const SocketAddress& peer) {
  if (::connect(fd(), peer.sockaddr_ptr(), peer.length()) != 0) return std::unexpected(last_error());
  return {};
}

SysResult<int> UdpSocket::path_mtu() const {
  int value = 0;
  socklen_t size = sizeof value;
  if (::getsockopt(fd(), IPPROTO_IP, IP_MTU, &value, &size) != 0) return std::unexpected(last_error());
  return value;
}

SysResult<std::size_t> UdpSocket::send_to(std::span<const std::uint8_t> data, const SocketAddress& to) {
  for (;;) {
    const ssize_t n = ::sendto(fd(), data.data(), data.size(), MSG_NOSIGNAL, to.sockaddr_ptr(), to.length());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return std::unexpected(last_error());
  }
}

SysResult<Datagram> UdpSocket::receive_from(std::span<std::uint8_t> buffer) {
  for (;;) {
    sockaddr_storage source{};
    socklen_t size = sizeof source;
    const ssize_t n =
        ::recvfrom(fd(), buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&source), &size);
    if (n >= 0) return Datagram{static_cast<std::size_t>(n), SocketAddress::from_sockaddr(source)};
    if (errno != EINTR) return std::unexpected(last_error());
  }
}


DatagramBatch::DatagramBatch(std::size_t slots)
    : storage_(slots * SLOT_STRIDE),
      next_aims_(slots),
      aims_(slots),
      iovecs_(slots * IOVECS_PER_SLOT),
      sources_(slots),
      headers_(slots) {}

std::span<const std::uint8_t> DatagramBatch::payload(std::size_t i) const {
  return {slot(i), headers_[i].msg_len};
}

SocketAddress DatagramBatch::source(std::size_t i) const { return SocketAddress::from_sockaddr(sources_[i]); }

void DatagramBatch::aim(std::size_t i, std::size_t head, std::span<std::uint8_t> region) {
  if (head + region.size() <= SLOT_SIZE) next_aims_[i] = Aim{head, region};
}

std::span<const std::uint8_t> DatagramBatch::head(std::size_t i) const {
  return {slot(i), std::min<std::size_t>(aims_[i].head, headers_[i].msg_len)};
}

std::span<const std::uint8_t> DatagramBatch::in_region(std::size_t i) const {
  const Aim& aim = aims_[i];
  const std::size_t length = headers_[i].msg_len;
  if (length <= aim.head) return {};
  return aim.region.first(std::min(aim.region.size(), length - aim.head));
}

std::size_t DatagramBatch::past_region(std::size_t i) const {
  const std::size_t length = headers_[i].msg_len;
  const std::size_t before = aims_[i].head + aims_[i].region.size();
  return length > before ? length - before : 0;
}

void DatagramBatch::gather(std::size_t i) {
  const auto part = in_region(i);
  if (!part.empty()) std::memcpy(slot(i) + aims_[i].head, part.data(), part.size());
}

void DatagramBatch::prepare() {
  received_ = 0;
  aims_.swap(next_aims_);
  std::fill(next_aims_.begin(), next_aims_.end(), Aim{});
  for (std::size_t i = 0; i < capacity(); ++i) {
    const Aim& aim = aims_[i];
    iovec* iov = &iovecs_[i * IOVECS_PER_SLOT];
    std::size_t count = 1;
    iov[0] = iovec{slot(i), std::min(aim.head, SLOT_SIZE)};
    if (aim.head < SLOT_SIZE) {
      const std::size_t before = aim.head + aim.region.size();
      iov[1] = iovec{aim.region.data(), aim.region.size()};
      iov[2] = iovec{slot(i) + before, SLOT_SIZE - before};
      count = 3;
    }
    mmsghdr& header = headers_[i];
    header = mmsghdr{};
    header.msg_hdr.msg_name = &sources_[i];
    header.msg_hdr.msg_namelen = sizeof(sockaddr_storage);
    header.msg_hdr.msg_iov = iov;
    header.msg_hdr.msg_iovlen = count;
  }
}

SysResult<std::size_t> UdpSocket::receive_batch(DatagramBatch& batch) {
  batch.prepare();
  for (;;) {
    const int n = ::recvmmsg(fd(), batch.headers_.data(), static_cast<unsigned>(batch.capacity()), MSG_DONTWAIT,
                             nullptr);
    if (n >= 0) {
      batch.received_ = static_cast<std::size_t>(n);
      return batch.received_;
    }
    if (errno != EINTR) return std::unexpected(last_error());
  }
}

}  // namespace corvantic::net
