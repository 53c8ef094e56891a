// Loopback addresses for tests, each one handed to a single test process, so
// that test processes run side by side (ctest -j runs every test case as a
// process of its own) without meeting on a virtual camera's port 3956.
//
// Every address of 127.0.0.0/8 reaches the loopback interface on Linux and can
// be bound. A process claims one /24 of it, 127.x.y.0/24, and hands out
// 127.x.y.2 to 127.x.y.254 in turn, never one twice; when those run out it
// claims another /24. The size: one test binds at most three addresses at
// once, and a process running every test (as the sanitizer runs do) takes
// fewer than twenty, so one claim almost always lasts a process's whole life.
// Tests of one file may share the address their file takes, one test after
// another, as they always did.
//
// The claim is a UDP socket bound to 127.x.y.1 port 3956 and held until the
// process ends (the kernel closes it however the process ends). No other
// process can bind that while it lives, so two live processes never hold the
// same block: this, not the choice of block, keeps tests apart, and
// tests/python/conftest.py claims the same way, so C++ and Python tests may
// run at once. A process tries 127.x.y.0/24 with x.y = its pid (x = pid / 256,
// y = pid % 256) first; that is one block per pid for pids below 65535, which
// covers the default pid_max of 32768 and the pids of a container. Larger pids
// wrap around (pid modulo 65534) and meet a block that another process holds
// now and then; the claim then moves on to the next free one.
//
// 127.0.0.0/24 is never a test block: the host side (127.0.0.1), the
// command's default camera (127.0.0.2) and the benchmarks (127.0.0.90 and up)
// use fixed addresses there. 127.255.255.0/24, which holds the broadcast
// address of 127.0.0.0/8, is never one either.
//
// Limits: a camera left running by a process that was killed keeps its
// address after the block is given up; a later holder of the block then sees
// "Address already in use" when it starts a camera there, a failure rather
// than two cameras sharing datagrams. A process that binds 0.0.0.0:3956 makes
// every claim fail, which is reported, as is a loopback that cannot be bound.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "net/udp_socket.hpp"
#include "util/text.hpp"

namespace corvantic::testing {

class LoopbackBlocks {
 public:
  // Blocks are numbered by the middle two bytes of their addresses: block n
  // is 127.(n / 256).(n % 256).0/24. Tests use 1 to 65534.
  static constexpr std::uint32_t FIRST_BLOCK = 1;
  static constexpr std::uint32_t LAST_BLOCK = 65534;
  static constexpr std::uint32_t CLAIM_HOST = 1;
  static constexpr std::uint32_t FIRST_HOST = 2;
  static constexpr std::uint32_t LAST_HOST = 254;
  static constexpr std::uint16_t CLAIM_PORT = 3956;
  // Claims tried in a row before giving up.
  static constexpr std::uint32_t MAX_CLAIM_TRIES = 256;

  [[nodiscard]] static std::uint32_t block_of_pid(std::uint32_t pid) {
    return FIRST_BLOCK + (pid - 1) % (LAST_BLOCK - FIRST_BLOCK + 1);
  }
  [[nodiscard]] static std::uint32_t block_address(std::uint32_t block, std::uint32_t host) {
    return 0x7F000000u | (block << 8) | host;
  }

  // `first_block` is the block claimed first, if free.
  explicit LoopbackBlocks(std::uint32_t first_block) : next_block_(first_block) {}

  // A loopback address (host order) of a block this object holds, one it has
  // not handed out before.
  [[nodiscard]] std::uint32_t take() {
    std::lock_guard lock(mutex_);
    if (next_host_ > LAST_HOST) claim_locked();
    return block_address(block_, next_host_++);
  }

  // The blocks claimed so far, the current one last.
  [[nodiscard]] std::vector<std::uint32_t> blocks() const {
    std::lock_guard lock(mutex_);
    return blocks_;
  }

 private:
  void claim_locked() {
    for (std::uint32_t tries = 0; tries < MAX_CLAIM_TRIES; ++tries) {
      const std::uint32_t block = next_block_;
      next_block_ = block == LAST_BLOCK ? FIRST_BLOCK : block + 1;
      auto claim = net::UdpSocket::bind(net::SocketAddress::ipv4(block_address(block, CLAIM_HOST), CLAIM_PORT));
      if (claim) {
        claims_.push_back(std::move(*claim));
        blocks_.push_back(block);
        block_ = block;
        next_host_ = FIRST_HOST;
        return;
      }
      if (claim.error().code != EADDRINUSE) fail(block, claim.error().text());
    }
    fail(next_block_, "every block tried is in use");
  }

  // No address means no test can run: stop with the reason.
  [[noreturn]] static void fail(std::uint32_t block, const std::string& reason) {
    std::fprintf(stderr, "cannot claim the test addresses %s/24: %s\n",
                 util::ipv4_string(block_address(block, 0)).c_str(), reason.c_str());
    std::abort();
  }

  mutable std::mutex mutex_;
  std::uint32_t next_block_;                // guarded by mutex_
  std::uint32_t block_ = 0;                 // guarded by mutex_
  std::uint32_t next_host_ = LAST_HOST + 1;  // guarded by mutex_; past LAST_HOST: claim first
  std::vector<net::UdpSocket> claims_;      // guarded by mutex_; held open for the object's life
  std::vector<std::uint32_t> blocks_;       // guarded by mutex_
};

// This process's blocks. A child forked without exec gets blocks of its own
// rather than handing out its parent's addresses a second time.
[[nodiscard]] inline LoopbackBlocks& process_loopback_blocks() {
  static std::mutex mutex;
  static pid_t owner = 0;
  static LoopbackBlocks* blocks = nullptr;
  std::lock_guard lock(mutex);
  const pid_t pid = ::getpid();
  if (owner != pid) {
    // Never deleted: the claims must outlive every test, static ones included.
    // A parent's object in a forked child is left as it is (its sockets are
    // copies that keep the parent's claims, which the parent still holds).
    blocks = new LoopbackBlocks(LoopbackBlocks::block_of_pid(static_cast<std::uint32_t>(pid)));
    owner = pid;
  }
  return *blocks;
}

// A loopback address (host order) that no other test process is handed while
// this one runs, and that this one is handed only once.
[[nodiscard]] inline std::uint32_t next_test_ip() { return process_loopback_blocks().take(); }

// The same as dotted text, e.g. "127.123.234.2".
[[nodiscard]] inline std::string next_test_address() { return util::ipv4_string(next_test_ip()); }

}  // namespace corvantic::testing
