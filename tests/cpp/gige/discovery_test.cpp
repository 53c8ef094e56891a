#include "gige/discovery.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "net/udp_socket.hpp"
#include "test_address.hpp"
#include "util/bytes.hpp"
#include "util/log.hpp"

namespace corvantic::gige {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t LOOPBACK = 0x7F000001;         // 127.0.0.1, the "adapter"
const std::uint32_t RESPONDER_IP = testing::next_test_ip();  // the "device", this process's own

// A discovery acknowledge: 8-byte header then a 248-byte identity block with
// the given MAC's last byte and model name.
std::vector<std::uint8_t> discovery_ack(std::uint16_t status, std::uint16_t code, std::uint8_t mac_last,
                                        std::string_view model, std::size_t block_size = 248) {
  std::vector<std::uint8_t> d(8 + block_size, 0);
  util::store_be16(&d[0], status);
  util::store_be16(&d[2], code);
  util::store_be16(&d[4], static_cast<std::uint16_t>(block_size));
  util::store_be16(&d[6], 0xFFFF);
  std::uint8_t* block = d.data() + 8;
  if (block_size >= 248) {
    block[15] = mac_last;                                       // MAC bytes at offsets 10..15
    util::store_be32(block + 36, RESPONDER_IP);                       // current IP
    std::copy(model.begin(), model.end(), block + 104);         // model name
  }
  return d;
}

// Answers the first DISCOVERY it receives with `answers`, in order.
class Responder {
 public:
  explicit Responder(std::vector<std::vector<std::uint8_t>> answers)
      : socket_(net::UdpSocket::bind(net::SocketAddress::ipv4(RESPONDER_IP, 0)).value()),
        thread_([this, answers = std::move(answers)] { serve(answers); }) {}
  [[nodiscard]] std::uint16_t port() const { return socket_.local_address()->port(); }
  // What the responder received; waits until it has answered.
  [[nodiscard]] std::vector<std::uint8_t> received() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  void serve(const std::vector<std::vector<std::uint8_t>>& answers) {
    ASSERT_TRUE(socket_.set_receive_timeout(3s));
    std::vector<std::uint8_t> buffer(1500);
    auto request = socket_.receive_from(buffer);
    if (!request) return;
    received_.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(request->size));
    for (const auto& answer : answers) ASSERT_TRUE(socket_.send_to(answer, request->source));
  }

  net::UdpSocket socket_;
  std::vector<std::uint8_t> received_;
  std::jthread thread_;
};

DiscoverySettings loopback_settings(std::uint16_t device_port, std::chrono::milliseconds timeout = 200ms) {
  DiscoverySettings settings;
  // The responder's unicast address stands in for the adapter's broadcast
  // address, so nothing is broadcast.
  settings.adapters = {{net::AdapterEntry{"lo-test", LOOPBACK, 0xFF000000, RESPONDER_IP}}};
  settings.timeout = timeout;
  settings.device_port = device_port;
  settings.limited_broadcast = false;
  return settings;
}

TEST(Discover, SendsTheDiscoveryCommandAndListsEachDeviceOnce) {
  Responder responder({
      discovery_ack(0x0000, 0x0003, 0x01, "First"),
      discovery_ack(0x0000, 0x0003, 0x01, "Duplicate of first"),  // same MAC: dropped
      discovery_ack(0x8001, 0x0003, 0x02, "Error status"),
      discovery_ack(0x0000, 0x0081, 0x03, "Wrong code"),
      discovery_ack(0x0000, 0x0003, 0x04, "Short", 200),
      discovery_ack(0x0000, 0x0003, 0x05, "Second"),
  });
  const auto found = discover(loopback_settings(responder.port()));
  ASSERT_TRUE(found) << found.error().display();
  EXPECT_EQ(responder.received(), (std::vector<std::uint8_t>{0x42, 0x11, 0x00, 0x02, 0x00, 0x00, 0xFF, 0xFF}));
  ASSERT_EQ(found->size(), 2u);
  EXPECT_EQ((*found)[0].info.model, "First");
  EXPECT_EQ((*found)[1].info.model, "Second");
  EXPECT_EQ((*found)[0].adapter.name, "lo-test");
  EXPECT_EQ((*found)[0].source.ipv4_address(), RESPONDER_IP);
}

TEST(Discover, ZeroTimeoutSendsProbesAndReturnsNothing) {
  Responder responder({discovery_ack(0x0000, 0x0003, 0x01, "Late")});
  util::log::ScopedCapture capture;
  const auto found = discover(loopback_settings(responder.port(), 0ms));
  ASSERT_TRUE(found);
  EXPECT_TRUE(found->empty());
  const auto finished = capture.sink().with_message("discovery finished");
  ASSERT_EQ(finished.size(), 1u);
  EXPECT_EQ(finished[0].level, util::log::Level::Debug);
  EXPECT_EQ(finished[0].target, "corvantic::gige::discovery");
  EXPECT_EQ(finished[0].fields, (std::vector<util::log::Field>{{"devices", "0"}}));
}

TEST(Discover, UnbindableAdaptersAreSkippedAndNoneLeftIsAnIoError) {
  util::log::ScopedCapture capture;
  DiscoverySettings settings = loopback_settings(3956);
  // 192.0.2.1 (TEST-NET-1) is assigned to no local adapter, so bind fails.
  settings.adapters = {{net::AdapterEntry{"ghost0", 0xC0000201, 0xFFFFFF00, std::nullopt}}};
  const auto found = discover(settings);
  ASSERT_FALSE(found);
  EXPECT_EQ(found.error().kind(), CameraError::Kind::Io);
  EXPECT_EQ(found.error().os_error(), EADDRNOTAVAIL);
  EXPECT_EQ(found.error().display(), "io error: no usable network adapter for discovery");
  const auto warnings = capture.sink().events();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].level, util::log::Level::Warn);
  EXPECT_EQ(warnings[0].message, "discovery: skipping ghost0 (192.0.2.1): Cannot assign requested address");
}

TEST(AdapterEntry, BroadcastFallsBackToAddressOrInverseMask) {
  const net::AdapterEntry plain{"eth0", 0xC0A80514, 0xFFFFFF00, std::nullopt};  // 192.168.5.20/24
  EXPECT_EQ(plain.broadcast(), 0xC0A805FFu);
  const net::AdapterEntry reported{"eth1", 0xC0A80514, 0xFFFFFF00, 0xC0A805F0};
  EXPECT_EQ(reported.broadcast(), 0xC0A805F0u);
}

}  // namespace
}  // namespace corvantic::gige
