#include "test_address.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <set>

namespace corvantic::testing {
namespace {

std::uint32_t block_of_address(std::uint32_t ip) { return (ip >> 8) & 0xFFFF; }

TEST(LoopbackBlocks, FirstBlockIsThePidWrappedPastBlock65534) {
  const struct {
    std::uint32_t pid;
    std::uint32_t block;
  } cases[] = {
      {1, 1}, {2, 2}, {31722, 31722}, {32768, 32768}, {65534, 65534},
      {65535, 1}, {65536, 2}, {4194303, 4194302 % 65534 + 1},
  };
  for (const auto& c : cases) EXPECT_EQ(LoopbackBlocks::block_of_pid(c.pid), c.block) << c.pid;
  EXPECT_EQ(util::ipv4_string(LoopbackBlocks::block_address(LoopbackBlocks::block_of_pid(31722), 2)),
            "127.123.234.2");
}

TEST(LoopbackBlocks, HandsOutEveryHostOfItsBlockOnceThenClaimsAnother) {
  LoopbackBlocks blocks(LoopbackBlocks::block_of_pid(static_cast<std::uint32_t>(::getpid())));
  std::set<std::uint32_t> seen;
  const std::uint32_t first = blocks.take();
  const std::uint32_t block = block_of_address(first);
  EXPECT_EQ(first, LoopbackBlocks::block_address(block, 2));
  seen.insert(first);
  for (std::uint32_t host = 3; host <= 254; ++host) {
    const std::uint32_t ip = blocks.take();
    EXPECT_EQ(ip, LoopbackBlocks::block_address(block, host));
    seen.insert(ip);
  }
  EXPECT_EQ(seen.size(), 253u);
  EXPECT_EQ(blocks.blocks(), std::vector<std::uint32_t>{block});
  const std::uint32_t next = blocks.take();
  EXPECT_NE(block_of_address(next), block);
  EXPECT_EQ(next & 0xFF, 2u);
  EXPECT_EQ(blocks.blocks(), (std::vector<std::uint32_t>{block, block_of_address(next)}));
  for (const std::uint32_t b : blocks.blocks()) {
    EXPECT_GE(b, 1u);
    EXPECT_LE(b, 65534u);
  }
}

TEST(LoopbackBlocks, AClaimedBlockIsNobodyElses) {
  LoopbackBlocks first(LoopbackBlocks::block_of_pid(static_cast<std::uint32_t>(::getpid())));
  const std::uint32_t block = block_of_address(first.take());
  // Its claim cannot be bound a second time...
  const auto claim = net::UdpSocket::bind(net::SocketAddress::ipv4(LoopbackBlocks::block_address(block, 1), 3956));
  ASSERT_FALSE(claim);
  EXPECT_EQ(claim.error().code, EADDRINUSE);
  // ...so a second claimant starting at the same block moves past it.
  LoopbackBlocks second(block);
  const std::uint32_t other = second.take();
  EXPECT_NE(block_of_address(other), block);
  EXPECT_EQ(first.take(), LoopbackBlocks::block_address(block, 3));
}

TEST(LoopbackBlocks, ProcessAddressesAreDistinctAndAForkedChildGetsItsOwnBlock) {
  const std::uint32_t a = next_test_ip();
  const std::uint32_t b = next_test_ip();
  EXPECT_NE(a, b);
  for (const std::uint32_t ip : {a, b}) {
    EXPECT_EQ(ip >> 24, 127u);
    EXPECT_NE(block_of_address(ip), 0u) << "127.0.0.0/24 belongs to demos and benchmarks";
  }
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  std::fflush(nullptr);  // or the child may write the parent's buffered output again
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const std::uint32_t ip = next_test_ip();
    const bool written = ::write(pipe_fds[1], &ip, sizeof ip) == sizeof ip;
    ::_exit(written ? 0 : 1);
  }
  ::close(pipe_fds[1]);
  std::uint32_t child_ip = 0;
  EXPECT_EQ(::read(pipe_fds[0], &child_ip, sizeof child_ip), static_cast<ssize_t>(sizeof child_ip));
  ::close(pipe_fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const auto parents = process_loopback_blocks().blocks();
  EXPECT_EQ(std::count(parents.begin(), parents.end(), block_of_address(child_ip)), 0)
      << util::ipv4_string(child_ip) << " is in a block of the parent";
}

}  // namespace
}  // namespace corvantic::testing
