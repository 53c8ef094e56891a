#include "net/poller.hpp"

#include <sys/eventfd.h>
#include <unistd.h>


namespace corvantic::net {

SysResult<Poller> Poller::create() {
  const int fd = ::epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) return std::unexpected(last_error());
  return Poller(fd);
}

SysResult<void> Poller::add_readable(int fd, std::uint64_t token) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = token;
  if (::epoll_ctl(fd_.get(), EPOLL_CTL_ADD, fd, &event) != 0) return std::unexpected(last_error());
  return {};
}

SysResult<std::size_t> Poller::wait(std::span<epoll_event> events, std::chrono::milliseconds timeout) {
  const int n =
      ::epoll_wait(fd_.get(), events.data(), static_cast<int>(events.size()), static_cast<int>(timeout.count()));
  if (n < 0) return std::unexpected(last_error());
  return static_cast<std::size_t>(n);
}

SysResult<Waker> Waker::create(Poller& poller, std::uint64_t token) {
  Waker waker(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!waker.fd_.valid()) return std::unexpected(last_error());
  if (auto added = poller.add_readable(waker.fd_.get(), token); !added) return std::unexpected(added.error());
  return waker;
}

SysResult<void> Waker::wake() const {
  const std::uint64_t one = 1;
  // EAGAIN means the counter is saturated: the worker is already due to wake.
  if (::write(fd_.get(), &one, sizeof one) < 0 && errno != EAGAIN) return std::unexpected(last_error());
  return {};
}

void Waker::drain() const {
  std::uint64_t count = 0;
  // Failure (EAGAIN) only means there was nothing to drain.
  [[maybe_unused]] const ssize_t n = ::read(fd_.get(), &count, sizeof count);
}

}  // namespace corvantic::net
