// Readiness polling for worker threads: an epoll instance and a Waker that
// any thread may trigger to cut a worker's wait short.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

#include <sys/epoll.h>

#include "net/sys_error.hpp"
#include "util/unique_fd.hpp"

namespace corvantic::net {

class Poller {
 public:
  Poller() = default;

  [[nodiscard]] static SysResult<Poller> create();

  // Watches `fd` for readability; events for it carry `token`.
  [[nodiscard]] SysResult<void> add_readable(int fd, std::uint64_t token);

  // Waits up to `timeout` and fills `events`; returns how many are ready.
  // An interrupted wait is reported as EINTR for the caller to repeat.
  [[nodiscard]] SysResult<std::size_t> wait(std::span<epoll_event> events, std::chrono::milliseconds timeout);

 private:
  explicit Poller(int fd) : fd_(fd) {}
  util::UniqueFd fd_;
};

// An eventfd registered with a Poller. wake() is safe from any thread and
// never blocks; the worker calls drain() when the waker's token is ready.
class Waker {
 public:
  Waker() = default;

  [[nodiscard]] static SysResult<Waker> create(Poller& poller, std::uint64_t token);

  [[nodiscard]] SysResult<void> wake() const;
  void drain() const;

 private:
  explicit Waker(int fd) : fd_(fd) {}
  util::UniqueFd fd_;
};

}  // namespace corvantic::net
