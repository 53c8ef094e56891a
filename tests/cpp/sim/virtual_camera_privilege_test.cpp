// Control channel privilege and heartbeat of VirtualCamera over raw UDP.
// Cameras of this file use IP, an address of this process's own.
#include <gtest/gtest.h>

#include "sim/register_layout.hpp"
#include "sim_host.hpp"

namespace corvantic::sim::test {
namespace {

const std::string IP = testing::next_test_address();

class VirtualCameraPrivilege : public ::testing::Test {
 protected:
  void SetUp() override { camera = start_camera(config_at(IP)); }

  std::uint16_t status_of(RawHost& who, const Bytes& command) {
    const auto ack = who.transact(IP, command);
    EXPECT_TRUE(ack);
    return ack ? ack->status : 0xFFFF;
  }
  std::uint32_t read(RawHost& who, std::uint32_t address) {
    const auto ack = who.transact(IP, readreg(next_id++, {address}));
    EXPECT_TRUE(ack && ack->status == 0 && ack->payload.size() == 4);
    return ack && ack->payload.size() == 4 ? get32(ack->payload, 0) : 0xDEADBEEF;
  }

  std::unique_ptr<VirtualCamera> camera;
  RawHost primary;
  RawHost secondary;
  std::uint16_t next_id = 100;
};

TEST_F(VirtualCameraPrivilege, DeniesWritesToASecondApplicationWhileControlIsHeld) {
  ASSERT_EQ(status_of(primary, writereg(1, {{reg::CCP, reg::CCP_CONTROL}})), 0);
  EXPECT_EQ(read(secondary, reg::CCP), reg::CCP_CONTROL);
  EXPECT_EQ(read(secondary, reg::PRIMARY_APPLICATION_PORT), primary.port());
  EXPECT_EQ(read(secondary, reg::PRIMARY_APPLICATION_IP), 0x7F000001u);
  EXPECT_EQ(status_of(secondary, writereg(2, {{reg::CCP, reg::CCP_CONTROL}})), 0x8006);
  EXPECT_EQ(status_of(secondary, writereg(3, {{reg::WIDTH, 128}})), 0x8006);
  EXPECT_EQ(status_of(secondary, writemem(4, reg::USER_DATA, Bytes(4, 9))), 0x8006);
  EXPECT_EQ(status_of(primary, writereg(5, {{reg::WIDTH, 128}})), 0);
  // Release: the second application may now take control.
  ASSERT_EQ(status_of(primary, writereg(6, {{reg::CCP, 0}})), 0);
  EXPECT_EQ(read(secondary, reg::CCP), 0u);
  EXPECT_EQ(status_of(secondary, writereg(7, {{reg::CCP, reg::CCP_CONTROL}})), 0);
  EXPECT_EQ(status_of(primary, writereg(8, {{reg::WIDTH, 64}})), 0x8006);
  const auto status = camera->status();
  EXPECT_EQ(status.counters.control_grants, 2u);
  EXPECT_EQ(status.counters.control_releases, 1u);
  ASSERT_TRUE(status.control_holder);
  EXPECT_EQ(status.control_holder->port, secondary.port());
}

TEST_F(VirtualCameraPrivilege, ExclusiveAccessRefusesEvenReadsButNotDiscovery) {
  ASSERT_EQ(status_of(primary, writereg(1, {{reg::CCP, reg::CCP_CONTROL | reg::CCP_EXCLUSIVE}})), 0);
  EXPECT_EQ(status_of(secondary, readreg(2, {reg::VERSION})), 0x8006);
  EXPECT_EQ(status_of(secondary, readmem(3, reg::FIRST_URL, 64)), 0x8006);
  secondary.send_to(IP, Bytes{0x42, 0x11, 0x00, 0x02, 0x00, 0x00, 0xFF, 0xFF});
  const auto discovery = secondary.receive_ack();
  ASSERT_TRUE(discovery);
  EXPECT_EQ(discovery->code, 0x0003);
  EXPECT_EQ(discovery->status, 0);
}

TEST_F(VirtualCameraPrivilege, ReleasesControlWhenHeartbeatsStop) {
  ASSERT_EQ(status_of(primary, writereg(1, {{reg::CCP, reg::CCP_CONTROL}})), 0);
  ASSERT_EQ(status_of(primary, writereg(2, {{reg::HEARTBEAT_TIMEOUT, 300}})), 0);
  // Heartbeats every 100 ms keep control for well over the timeout.
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < 700ms) {
    ASSERT_EQ(read(primary, reg::CCP), reg::CCP_CONTROL);
    std::this_thread::sleep_for(100ms);
  }
  // Reads by somebody else are not heartbeats.
  const auto silence_start = std::chrono::steady_clock::now();
  while (read(secondary, reg::CCP) != 0) {
    ASSERT_LT(std::chrono::steady_clock::now() - silence_start, 5s) << "control never expired";
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(camera->status().counters.heartbeat_expiries, 1u);
  // The expired holder's writes are now those of anybody; a heartbeat
  // read tells it that control is gone.
  EXPECT_EQ(read(primary, reg::CCP), 0u);
  EXPECT_EQ(status_of(secondary, writereg(3, {{reg::CCP, reg::CCP_CONTROL}})), 0);
}

TEST_F(VirtualCameraPrivilege, IgnoredHeartbeatsAndForcedExpiryReleaseControl) {
  ASSERT_EQ(status_of(primary, writereg(1, {{reg::CCP, reg::CCP_CONTROL}})), 0);
  camera->expire_heartbeat();
  EXPECT_EQ(read(primary, reg::CCP), 0u);
  EXPECT_EQ(camera->status().counters.heartbeat_expiries, 1u);

  ASSERT_EQ(status_of(primary, writereg(2, {{reg::CCP, reg::CCP_CONTROL}})), 0);
  ASSERT_EQ(status_of(primary, writereg(3, {{reg::HEARTBEAT_TIMEOUT, 200}})), 0);
  camera->set_ignore_heartbeats(true);
  const auto start = std::chrono::steady_clock::now();
  while (read(primary, reg::CCP) != 0) {
    ASSERT_LT(std::chrono::steady_clock::now() - start, 5s) << "control never expired";
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(camera->status().counters.heartbeat_expiries, 2u);
}

TEST_F(VirtualCameraPrivilege, DisabledHeartbeatKeepsControl) {
  ASSERT_EQ(status_of(primary, writereg(1, {{reg::CCP, reg::CCP_CONTROL}, {reg::HEARTBEAT_TIMEOUT, 100}})),
            0);
  ASSERT_EQ(status_of(primary, writereg(2, {{reg::GVCP_CONFIGURATION, 1}})), 0);
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(read(secondary, reg::CCP), reg::CCP_CONTROL);
  EXPECT_EQ(camera->status().counters.heartbeat_expiries, 0u);
}

TEST(VirtualCameraStrictPrivilege, RefusesWritesWithoutControl) {
  auto config = config_at(IP);
  config.writes_need_control = true;
  auto camera = start_camera(config);
  RawHost host;
  EXPECT_EQ(host.transact(IP, writereg(1, {{reg::WIDTH, 128}}))->status, 0x8006);
  EXPECT_EQ(host.transact(IP, writereg(2, {{reg::CCP, reg::CCP_CONTROL}}))->status, 0);
  EXPECT_EQ(host.transact(IP, writereg(3, {{reg::WIDTH, 128}}))->status, 0);
}

}  // namespace
}  // namespace corvantic::sim::test
