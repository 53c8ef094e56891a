#include "gige/gige_driver.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "fake_device.hpp"
#include "sim/device.hpp"
#include "test_address.hpp"
#include "util/log.hpp"
#include "util/text.hpp"

namespace corvantic::gige {
namespace {

using namespace std::chrono_literals;

// The camera address is this process's own (test_address.hpp), so tests may
// run side by side.
class GigeDriverTest : public ::testing::Test {
 protected:
  static inline const std::string CAMERA_IP = testing::next_test_address();

  void start_camera(sim::VirtualCameraConfig config = {}) {
    config.address = CAMERA_IP;
    camera_ = std::make_unique<sim::VirtualCamera>(config);
    auto started = camera_->start();
    ASSERT_TRUE(started) << started.error();
  }

  static DriverConfig driver_config() {
    DriverConfig config;
    config.device = *net::SocketAddress::parse_ip(CAMERA_IP, proto::GVCP_PORT);
    config.local_ip = net::SocketAddress::ipv4(0x7F000001, 0);
    return config;
  }

  // Connects to a scripted device that grants control and claims
  // concatenation, and answers the nine-register identity read with
  // `identity_ack(request id)`.
  static CameraResult<Unit> connect_with_identity_ack(
      const std::function<std::vector<std::uint8_t>(std::uint16_t)>& identity_ack) {
    testing::FakeDevice device(net::SocketAddress::parse_ip(CAMERA_IP, 0)->ipv4_address());
    DriverConfig config = driver_config();
    config.device = device.address();
    GigeDriver driver(config);
    std::jthread responder([&] {
      while (auto cmd = device.receive(500ms)) {
        const std::uint16_t id = cmd->request_id();
        const std::size_t words = (cmd->bytes.size() - 8) / 4;
        if (cmd->code() == 0x0082) {
          device.send(testing::FakeDevice::ack(0, 0x0083, id), cmd->from);
        } else if (cmd->code() == 0x0080 && words == proto::IDENTITY_REGISTERS.size()) {
          device.send(identity_ack(id), cmd->from);
        } else if (cmd->code() == 0x0080 && words == 1) {
          const std::uint32_t value =
              cmd->word(0) == proto::REG_GVCP_CAPABILITY ? proto::CAPABILITY_CONCATENATION : proto::CCP_CONTROL;
          device.send(testing::FakeDevice::ack(0, 0x0081, id, testing::FakeDevice::words({value})), cmd->from);
        }
      }
    });
    return driver.connect();
  }

  std::unique_ptr<sim::VirtualCamera> camera_;
};

TEST_F(GigeDriverTest, ConnectsReadsIdentityAndHoldsControl) {
  ASSERT_NO_FATAL_FAILURE(start_camera());
  GigeDriver driver(driver_config());
  ASSERT_TRUE(driver.connect());
  EXPECT_TRUE(driver.is_connected());
  const auto info = driver.device_info();
  ASSERT_TRUE(info);
  EXPECT_FALSE(info->model.empty());
  EXPECT_EQ(util::ipv4_string(info->ip), CAMERA_IP);
  EXPECT_EQ(camera_->status().ccp, proto::CCP_CONTROL);
  EXPECT_EQ(driver.read_register(proto::REG_HEARTBEAT_TIMEOUT).value(), 3000u);
  EXPECT_NE(*driver.capabilities() & proto::CAPABILITY_CONCATENATION, 0u);
  // Connecting again while connected changes nothing.
  const auto commands = driver.link_stats()->commands;
  ASSERT_TRUE(driver.connect());
  EXPECT_EQ(driver.link_stats()->commands, commands);
}

TEST_F(GigeDriverTest, EventsComeThroughAMessageChannelTheDisconnectClearsAgain) {
  ASSERT_NO_FATAL_FAILURE(start_camera());
  GigeDriver driver(driver_config());
  ASSERT_TRUE(driver.connect());
  auto events = driver.subscribe_events(4);
  ASSERT_TRUE(events) << events.error().display();
  const auto channel = driver.open_message_channel();  // already open: the same socket
  ASSERT_TRUE(channel);
  EXPECT_NE(channel->port(), driver.control_local_address()->port());
  EXPECT_EQ(camera_->status().message_channel, (sim::Peer{0x7F000001, channel->port()}));
  ASSERT_TRUE(driver.write_register(sim::reg::TEST_EVENT_GENERATE, 1));
  const auto got = events->receive_until(EventReceiver::Clock::now() + 5s);
  ASSERT_EQ(got.status, ReceiveStatus::Received);
  EXPECT_EQ(got.event->event_id, sim::reg::TEST_EVENT_ID);
  EXPECT_EQ(driver.link_stats()->events, 1u);
  driver.disconnect(500ms);
  EXPECT_EQ(camera_->status().message_channel, sim::Peer{}) << "MCDA and MCP cleared while control was held";
  EXPECT_EQ(events->receive_until(EventReceiver::Clock::now() + 5s).status, ReceiveStatus::Ended);
}

TEST_F(GigeDriverTest, ExclusiveControlWritesThree) {
  ASSERT_NO_FATAL_FAILURE(start_camera());
  DriverConfig config = driver_config();
  config.exclusive = true;
  GigeDriver driver(config);
  ASSERT_TRUE(driver.connect());
  EXPECT_EQ(camera_->status().ccp, proto::CCP_CONTROL | proto::CCP_EXCLUSIVE);
}

TEST_F(GigeDriverTest, DeviceWithoutConcatenationConnectsWithSingleReads) {
  sim::VirtualCameraConfig config;
  config.capabilities = sim::reg::cap::DEFAULT & ~sim::reg::cap::CONCATENATION;
  ASSERT_NO_FATAL_FAILURE(start_camera(config));
  GigeDriver with_single_reads(driver_config());
  ASSERT_TRUE(with_single_reads.connect());
  EXPECT_EQ(util::ipv4_string(with_single_reads.device_info()->ip), CAMERA_IP);
  // The same device answers a multi-address read with one value only.
  const std::uint32_t two[] = {proto::REG_VERSION, proto::REG_DEVICE_MODE};
  const auto short_read = with_single_reads.read_registers(two);
  EXPECT_EQ(short_read.error().display(), "malformed packet: read register ack carried 1 values, expected 2");
  EXPECT_EQ(short_read.error().reason(), CameraError::Reason::WrongValueCount);
}

TEST_F(GigeDriverTest, IdentityReadWithTooFewValuesIsAShortBootstrapRead) {
  const auto connected = connect_with_identity_ack(
      [](std::uint16_t id) { return testing::FakeDevice::ack(0, 0x0081, id, testing::FakeDevice::words({1})); });
  ASSERT_FALSE(connected);
  EXPECT_EQ(connected.error().kind(), CameraError::Kind::Malformed);
  EXPECT_EQ(connected.error().display(), "malformed packet: short bootstrap register read");
}

TEST_F(GigeDriverTest, OtherMalformedIdentityReadsReachTheCallerUnchanged) {
  const auto connected =
      connect_with_identity_ack([](std::uint16_t id) { return testing::FakeDevice::ack(0, 0x0083, id); });
  ASSERT_FALSE(connected);
  EXPECT_EQ(connected.error().reason(), CameraError::Reason::Unspecified);
  EXPECT_EQ(connected.error().display(), "malformed packet: expected ack 0x0081, got 0x0083");
}

TEST_F(GigeDriverTest, SecondClientIsDeniedUntilTheFirstReleasesControl) {
  ASSERT_NO_FATAL_FAILURE(start_camera());
  GigeDriver first(driver_config());
  ASSERT_TRUE(first.connect());
  GigeDriver second(driver_config());
  const auto denied = second.connect();
  ASSERT_FALSE(denied);
  EXPECT_EQ(denied.error().display(), "device control is held by another application");
  EXPECT_FALSE(second.is_connected());

  util::log::ScopedCapture capture;
  first.disconnect(500ms);
  EXPECT_FALSE(first.is_connected());
  EXPECT_EQ(capture.sink().with_message("disconnecting").size(), 1u);
  // The release write is sent without waiting for its acknowledge, so the
  // camera may handle it a moment after disconnect returns.
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while (camera_->status().ccp != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(camera_->status().ccp, 0u) << "the release write clears control";
  ASSERT_TRUE(second.connect());
}

TEST_F(GigeDriverTest, RefusedUserNameReadsAsEmptyText) {
  ASSERT_NO_FATAL_FAILURE(start_camera());
  camera_->inject_status(proto::REG_USER_DEFINED_NAME.address, {proto::GvcpStatus::ACCESS_DENIED});
  util::log::ScopedCapture capture;
  GigeDriver driver(driver_config());
  ASSERT_TRUE(driver.connect());
  EXPECT_EQ(driver.device_info()->user_defined_name, "");
  EXPECT_EQ(capture.sink().with_message("string register 0x00e8 unreadable: device answered command 0x0084 with "
                                        "access denied (0x8006)").size(),
            1u);
}

TEST_F(GigeDriverTest, ErrorStatusesAndAlignmentRules) {
  ASSERT_NO_FATAL_FAILURE(start_camera());
  GigeDriver driver(driver_config());
  ASSERT_TRUE(driver.connect());
  EXPECT_EQ(driver.read_register(0x00FFFFF0).error().display(),
            "device answered command 0x0080 with invalid address (0x8003)");
  const auto commands = driver.link_stats()->commands;
  EXPECT_EQ(driver.read_memory(0x0A02, 8).error().display(), "malformed packet: read address must be 4-byte aligned");
  const std::uint8_t six[6] = {};
  EXPECT_EQ(driver.write_memory(0x10100, six).error().display(),
            "malformed packet: write address and length must be 4-byte aligned");
  EXPECT_EQ(driver.read_memory(0x1'0000'0000, 4).error().display(), "malformed packet: address 0x100000000 beyond 32 bit");
  EXPECT_EQ(driver.link_stats()->commands, commands) << "nothing goes out for a refused access";
}

TEST_F(GigeDriverTest, MemoryAccessAcrossChunksMatchesRegisterReads) {
  ASSERT_NO_FATAL_FAILURE(start_camera());
  GigeDriver driver(driver_config());
  ASSERT_TRUE(driver.connect());
  // The description document is plain memory of several kilobytes.
  constexpr std::uint32_t BASE = 0x100000;
  const auto bulk = driver.read_memory(BASE, 1300);
  ASSERT_TRUE(bulk) << bulk.error().display();
  ASSERT_EQ(bulk->size(), 1300u);
  for (std::uint32_t offset = 0; offset < 1300; offset += 4) {
    const auto word = driver.read_register(BASE + offset);
    ASSERT_TRUE(word);
    for (std::uint32_t i = 0; i < 4 && offset + i < 1300; ++i) {
      ASSERT_EQ((*bulk)[offset + i], static_cast<std::uint8_t>(*word >> (24 - 8 * i))) << "offset " << offset + i;
    }
  }
  // A 6-byte read of an aligned address returns 6 bytes; 4 bytes go as one register read.
  EXPECT_EQ(driver.read_memory(BASE, 6)->size(), 6u);
  std::vector<std::uint8_t> user(64);
  for (std::size_t i = 0; i < user.size(); ++i) user[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_TRUE(driver.write_memory(0x10100, user));
  EXPECT_EQ(driver.read_memory(0x10100, 64).value(), user);
}

TEST_F(GigeDriverTest, PendingAcknowledgeKeepsASlowReadAlive) {
  ASSERT_NO_FATAL_FAILURE(start_camera());
  DriverConfig config = driver_config();
  config.gvcp_timeout = 100ms;
  config.retries = 1;
  GigeDriver driver(config);
  ASSERT_TRUE(driver.connect());
  camera_->add_pending({0x0080, 0x10000, 1000, 300});
  const auto width = driver.read_register(0x10000);
  ASSERT_TRUE(width) << width.error().display();
  const LinkStats stats = *driver.link_stats();
  EXPECT_EQ(stats.pending_acks, 1u);
  EXPECT_EQ(stats.retries, 0u);
}

// A transfer of many chunks may take many wait budgets: each chunk is
// answered late (a pending acknowledge, then the data 60 ms later), so the
// whole read lasts well beyond two budgets but within the scaled limit.
TEST_F(GigeDriverTest, MemoryTransfersWaitOneBudgetPerChunk) {
  ASSERT_NO_FATAL_FAILURE(start_camera());
  DriverConfig config = driver_config();
  config.gvcp_timeout = 20ms;
  config.retries = 0;  // a budget of 520 ms
  GigeDriver driver(config);
  ASSERT_TRUE(driver.connect());
  constexpr std::uint32_t BASE = 0x100000;  // the description document
  const auto expected = driver.read_memory(BASE, 10'240);
  ASSERT_TRUE(expected) << expected.error().display();
  camera_->add_pending({0x0084, std::nullopt, 1000, 60});
  const LinkStats before = *driver.link_stats();
  const auto slow = driver.read_memory(BASE, 10'240);
  ASSERT_TRUE(slow) << slow.error().display();
  EXPECT_EQ(*slow, *expected);
  const LinkStats after = *driver.link_stats();
  EXPECT_EQ(after.pending_acks - before.pending_acks, 20u) << "one pending acknowledge per 512-byte chunk";
  EXPECT_EQ(after.timeouts, before.timeouts);
}

// disconnect posts the shutdown whatever its deadline: with 0 it does not
// wait for the worker's orderly end, yet the worker still runs its
// shutdown (release write included) before it is joined; with the largest
// deadline it returns as soon as the worker has ended.
TEST_F(GigeDriverTest, DisconnectDeadlineBoundsTheWaitNotTheShutdown) {
  ASSERT_NO_FATAL_FAILURE(start_camera());
  for (const std::chrono::nanoseconds deadline : {std::chrono::nanoseconds(0), std::chrono::nanoseconds::max()}) {
    GigeDriver driver(driver_config());
    ASSERT_TRUE(driver.connect());
    ASSERT_EQ(camera_->status().ccp, proto::CCP_CONTROL);
    util::log::ScopedCapture capture;
    driver.disconnect(deadline);
    EXPECT_FALSE(driver.is_connected());
    EXPECT_EQ(driver.check_link().error().kind(), CameraError::Kind::NotConnected);
    EXPECT_EQ(capture.sink().with_message("disconnecting").size(), 1u);
    EXPECT_EQ(capture.sink().with_message("gvcp worker shutting down").size(), 1u);
    // The release write is not awaited; the camera handles it shortly after.
    for (int i = 0; i < 400 && camera_->status().ccp != 0; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(camera_->status().ccp, 0u) << "control released with deadline " << deadline.count() << " ns";
  }
}

TEST_F(GigeDriverTest, SilentDeviceLosesControlAndTheLinkGoesDown) {
  ASSERT_NO_FATAL_FAILURE(start_camera());
  DriverConfig config = driver_config();
  config.gvcp_timeout = 20ms;
  config.retries = 1;
  config.heartbeat_timeout_ms = 60;
  GigeDriver driver(config);
  ASSERT_TRUE(driver.connect());
  camera_->set_silent(true);
  for (int i = 0; i < 200 && driver.is_connected(); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_FALSE(driver.is_connected());
  EXPECT_TRUE(driver.link_stats()->control_lost);
  EXPECT_EQ(driver.check_link().error().kind(), CameraError::Kind::ControlLost);
  EXPECT_EQ(driver.read_register(0).error().kind(), CameraError::Kind::NotConnected);
  driver.disconnect(0ms);
  EXPECT_EQ(driver.check_link().error().kind(), CameraError::Kind::NotConnected);
  // After the device answers again, a new connect starts from scratch.
  camera_->set_silent(false);
  camera_->expire_heartbeat();
  ASSERT_TRUE(driver.connect());
}

TEST_F(GigeDriverTest, SilentDeviceTimesOutTheConnect) {
  ASSERT_NO_FATAL_FAILURE(start_camera());
  camera_->set_silent(true);
  DriverConfig config = driver_config();
  config.gvcp_timeout = 20ms;
  config.retries = 1;
  GigeDriver driver(config);
  EXPECT_EQ(driver.connect().error().kind(), CameraError::Kind::ConnectTimeout);
  EXPECT_FALSE(driver.is_connected());
}

TEST(GigeDriver, OperationsWithoutAConnectionFail) {
  GigeDriver driver(DriverConfig{});
  EXPECT_EQ(driver.read_register(0).error().kind(), CameraError::Kind::NotConnected);
  EXPECT_EQ(driver.check_link().error().kind(), CameraError::Kind::NotConnected);
  EXPECT_FALSE(driver.device_info());
  driver.disconnect(0ms);  // nothing to do
}

TEST(GigeDriver, WaitBudgetScalesWithRetriesAndTransferSize) {
  DriverConfig config;
  EXPECT_EQ(GigeDriver(config).wait_budget(), 3s);
  EXPECT_EQ(GigeDriver(config).transfer_budget(2000), 12s) << "2000 / 512 + 1 = 4 budgets";
  EXPECT_EQ(GigeDriver(config).transfer_budget(511), 3s);
  EXPECT_EQ(GigeDriver(config).wait_budgets(17), 51s);
  config.gvcp_timeout = 100ms;
  config.retries = 0;
  EXPECT_EQ(GigeDriver(config).wait_budget(), 600ms);
}

// Python accepts time-outs up to about 292 years; the budgets scaled from
// them end at the largest duration instead of wrapping around.
TEST(GigeDriver, HugeTimeoutsSaturateTheBudgets) {
  DriverConfig config;
  config.gvcp_timeout = std::chrono::nanoseconds(5'000'000'000'000'000'000);  // 5e9 s
  const GigeDriver driver(config);
  EXPECT_EQ(driver.wait_budget(), std::chrono::nanoseconds::max());
  EXPECT_EQ(driver.transfer_budget(100'000), std::chrono::nanoseconds::max());
  EXPECT_EQ(driver.wait_budgets(0), 0ns);
}

TEST_F(GigeDriverTest, HugeAcknowledgeTimeoutStillWaitsForTheAnswer) {
  ASSERT_NO_FATAL_FAILURE(start_camera());
  DriverConfig config = driver_config();
  config.gvcp_timeout = std::chrono::nanoseconds(5'000'000'000'000'000'000);  // 5e9 s
  GigeDriver driver(config);
  ASSERT_TRUE(driver.connect());
  const auto ccp = driver.read_register(proto::REG_CCP);
  ASSERT_TRUE(ccp) << ccp.error().display();
  EXPECT_EQ(*ccp, proto::CCP_CONTROL);
  const auto block = driver.read_memory(0x100000, 1300);
  ASSERT_TRUE(block) << block.error().display();
  EXPECT_EQ(block->size(), 1300u);
}

}  // namespace
}  // namespace corvantic::gige
