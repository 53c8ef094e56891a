// Aimed receives on loopback: a datagram's payload lands in an outside
// region, and one that does not belong there is made whole again.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <numeric>
#include <vector>

#include "net/udp_socket.hpp"
#include "test_address.hpp"

namespace corvantic::net {
namespace {

class AimedReceive : public ::testing::Test {
 protected:
  void SetUp() override {
    auto address = SocketAddress::parse_ip(testing::next_test_address(), 0);
    ASSERT_TRUE(address);
    auto receiver = UdpSocket::bind(*address);
    ASSERT_TRUE(receiver);
    receiver_ = std::move(*receiver);
    ASSERT_TRUE(receiver_.set_nonblocking(true));
    auto sender = UdpSocket::bind(*address);
    ASSERT_TRUE(sender);
    sender_ = std::move(*sender);
  }

  void send(const std::vector<std::uint8_t>& datagram) {
    auto to = receiver_.local_address();
    ASSERT_TRUE(to);
    ASSERT_TRUE(sender_.send_to(datagram, *to));
  }

  static std::vector<std::uint8_t> datagram(std::size_t size, std::uint8_t first) {
    std::vector<std::uint8_t> bytes(size);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
  }

  UdpSocket receiver_;
  UdpSocket sender_;
};

TEST_F(AimedReceive, SplitsAtTheHeadAndGathersBackWhole) {
  DatagramBatch batch(4);
  std::array<std::uint8_t, 16> fits{};
  std::array<std::uint8_t, 16> too_small{};
  batch.aim(0, 4, fits);
  batch.aim(1, 4, too_small);
  const auto exact = datagram(20, 1);     // 4 head bytes + 16: fills its region
  const auto longer = datagram(30, 100);  // 14 bytes beyond its region
  const auto plain = datagram(9, 200);    // an unaimed slot
  send(exact);
  send(longer);
  send(plain);
  auto received = receiver_.receive_batch(batch);
  ASSERT_TRUE(received);
  ASSERT_EQ(*received, 3u);

  EXPECT_EQ(batch.length(0), 20u);
  EXPECT_EQ(std::vector(batch.head(0).begin(), batch.head(0).end()), std::vector(exact.begin(), exact.begin() + 4));
  EXPECT_EQ(batch.in_region(0).data(), fits.data());
  EXPECT_EQ(std::vector(fits.begin(), fits.end()), std::vector(exact.begin() + 4, exact.end()));
  EXPECT_EQ(batch.past_region(0), 0u);

  EXPECT_EQ(batch.past_region(1), 10u);
  batch.gather(1);
  EXPECT_EQ(std::vector(batch.payload(1).begin(), batch.payload(1).end()), longer);
  // The region keeps what it received.
  EXPECT_EQ(std::vector(too_small.begin(), too_small.end()), std::vector(longer.begin() + 4, longer.begin() + 20));

  EXPECT_TRUE(batch.in_region(2).empty());
  EXPECT_EQ(std::vector(batch.payload(2).begin(), batch.payload(2).end()), plain);
}

TEST_F(AimedReceive, AimsLastForOneReceiveAndShortDatagramsStayInTheHead) {
  DatagramBatch batch(2);
  std::array<std::uint8_t, 8> region{};
  batch.aim(0, 8, region);
  send(datagram(5, 1));  // shorter than the head
  ASSERT_TRUE(receiver_.receive_batch(batch));
  EXPECT_EQ(batch.head(0).size(), 5u);
  EXPECT_TRUE(batch.in_region(0).empty());
  EXPECT_EQ(region, (std::array<std::uint8_t, 8>{}));

  // Not aimed again: the next datagram arrives whole in the slot.
  const auto whole = datagram(40, 7);
  send(whole);
  ASSERT_TRUE(receiver_.receive_batch(batch));
  EXPECT_EQ(std::vector(batch.payload(0).begin(), batch.payload(0).end()), whole);
  EXPECT_EQ(region, (std::array<std::uint8_t, 8>{}));
}

}  // namespace
}  // namespace corvantic::net
