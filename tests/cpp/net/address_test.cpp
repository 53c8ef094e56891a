#include "net/address.hpp"

#include <gtest/gtest.h>

#include <string>

namespace corvantic::net {
namespace {

using namespace std::string_literals;

TEST(SocketAddress, ParsesBothFamiliesWithThePortGiven) {
  const auto v4 = SocketAddress::parse_ip("192.168.1.10", 3956);
  ASSERT_TRUE(v4);
  EXPECT_TRUE(v4->is_ipv4());
  EXPECT_EQ(v4->ipv4_address(), 0xC0A8010Au);
  EXPECT_EQ(v4->to_string(), "192.168.1.10:3956");
  const auto v6 = SocketAddress::parse_ip("::1", 0);
  ASSERT_TRUE(v6);
  EXPECT_TRUE(v6->is_ipv6());
  EXPECT_EQ(v6->to_string(), "[::1]:0");
}

TEST(SocketAddress, RefusesTextsThatAreNoWholeAddress) {
  const std::string refused[] = {
      "",
      "not-an-ip",
      "10.0.0.300",
      "10.0.0.1:3956",
      " 10.0.0.1",
      "10.0.0.1 ",
      // The C library stops reading at a zero byte; the whole text counts.
      "10.0.0.1\0evil"s,
      "10.0.0.1\0"s,
      "\0"s,
      "::1\0"s,
      "fe80::1\0%eth0"s,
  };
  for (const std::string& text : refused) {
    EXPECT_FALSE(SocketAddress::parse_ip(text, 3956)) << "accepted a text of " << text.size() << " bytes";
  }
}

}  // namespace
}  // namespace corvantic::net
