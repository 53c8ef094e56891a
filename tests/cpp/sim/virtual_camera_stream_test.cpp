// The control side of VirtualCamera driving its stream channels: the fire
// test, acquisition start and stop from the registers, the destination of
// SCDA 0, the end of single-frame acquisitions, resend requests and heartbeat
// expiry. The packets' own layout is the stream side's to test. Cameras of
// this file use IP, an address of this process's own.
#include <gtest/gtest.h>

#include "sim/register_layout.hpp"
#include "sim_host.hpp"

namespace corvantic::sim::test {
namespace {

const std::uint32_t CAMERA_IP = testing::next_test_ip();
const std::string IP = util::ipv4_string(CAMERA_IP);

class VirtualCameraStream : public ::testing::Test {
 protected:
  void SetUp() override {
    auto config = config_at(IP);
    config.path_mtu = 1500;
    camera = start_camera(config);
    ASSERT_EQ(control.transact(IP, writereg(1, {{reg::CCP, reg::CCP_CONTROL}}))->status, 0);
  }
  void write(std::uint32_t address, std::uint32_t value) {
    const auto ack = control.transact(IP, writereg(next_id++, {{address, value}}));
    ASSERT_TRUE(ack);
    ASSERT_EQ(ack->status, 0) << std::hex << address;
  }
  std::uint32_t read(std::uint32_t address) {
    const auto ack = control.transact(IP, readreg(next_id++, {address}));
    return ack && ack->payload.size() == 4 ? get32(ack->payload, 0) : 0xDEADBEEF;
  }
  // Stream packets until a trailer (format 2) arrives or the stream pauses.
  std::vector<Bytes> receive_frame() {
    std::vector<Bytes> packets;
    while (auto d = stream.receive(packets.empty() ? 2000ms : 300ms)) {
      packets.push_back(d->bytes);
      if (d->bytes.size() >= 8 && (d->bytes[4] & 0x7F) == 2) break;
    }
    return packets;
  }

  std::unique_ptr<VirtualCamera> camera;
  RawHost control;
  RawHost stream;
  std::uint16_t next_id = 10;
};

TEST_F(VirtualCameraStream, FireTestSendsOnePacketOfTheRequestedSize) {
  write(reg::stream_register(0, reg::SCDA), 0x7F000001);
  write(reg::stream_register(0, reg::SCP), stream.port());
  write(reg::stream_register(0, reg::SCPS), 0xC0000000 | 1200);
  const auto packet = stream.receive();
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->bytes.size(), 1200u - 28);
  EXPECT_EQ(ntohl(packet->from.sin_addr.s_addr), CAMERA_IP);
  EXPECT_TRUE(stream.quiet(100ms));
  // The fire-test bit does not stay set; do not fragment does.
  EXPECT_EQ(read(reg::stream_register(0, reg::SCPS)), 0x40000000u | 1200u);
  // Beyond the path MTU with do not fragment set, nothing arrives.
  write(reg::stream_register(0, reg::SCPS), 0xC0000000 | 1600);
  EXPECT_TRUE(stream.quiet(200ms));
  camera->set_path_mtu(9216);
  write(reg::stream_register(0, reg::SCPS), 0xC0000000 | 1600);
  const auto larger = stream.receive();
  ASSERT_TRUE(larger);
  EXPECT_EQ(larger->bytes.size(), 1600u - 28);
}

TEST_F(VirtualCameraStream, SingleFrameGoesToTheRequesterAndEnds) {
  // SCDA left 0: the frame goes to the address of the last control command.
  write(reg::stream_register(0, reg::SCP), stream.port());
  write(reg::stream_register(0, reg::SCPS), 1000);
  write(reg::WIDTH, 96);
  write(reg::HEIGHT, 20);
  write(reg::PIXEL_FORMAT, 0x01100007);
  write(reg::ACQUISITION_MODE, 1);
  write(reg::ACQUISITION_START, 1);
  const auto packets = receive_frame();
  ASSERT_GE(packets.size(), 3u);
  // Leader (format 1) with the image format the registers set.
  const Bytes& leader = packets.front();
  ASSERT_GE(leader.size(), 8u + 24);
  EXPECT_EQ(leader[4] & 0x7F, 1);
  EXPECT_EQ(get32(leader, 8 + 12), 0x01100007u);
  EXPECT_EQ(get32(leader, 8 + 16), 96u);
  EXPECT_EQ(get32(leader, 8 + 20), 20u);
  // SCPS bounds every packet.
  for (const auto& p : packets) EXPECT_LE(p.size() + 28, 1000u);
  // The acquisition ends by itself.
  const auto start = std::chrono::steady_clock::now();
  while (read(reg::ACQUISITION_STATUS) != 0) {
    ASSERT_LT(std::chrono::steady_clock::now() - start, 5s);
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(stream.quiet(200ms));
  EXPECT_EQ(camera->status().streams[0].frames_sent, 1u);
}

TEST_F(VirtualCameraStream, ResendRequestsReachTheStream) {
  write(reg::stream_register(0, reg::SCP), stream.port());
  write(reg::ACQUISITION_MODE, 1);
  write(reg::ACQUISITION_START, 1);
  const auto packets = receive_frame();
  ASSERT_GE(packets.size(), 3u);
  const std::uint16_t block = get16(packets.front(), 2);
  // Standard PACKETRESEND for packet 1 of the block, without acknowledge.
  Bytes payload;
  put16(payload, 0);
  put16(payload, block);
  put32(payload, 1);
  put32(payload, 1);
  control.send_to(IP, command(0x0040, 77, payload, 0x00));
  const auto again = stream.receive();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->bytes, packets[1]);
  EXPECT_TRUE(control.quiet(100ms));  // never acknowledged
  EXPECT_EQ(camera->status().counters.resend_requests, 1u);
}

TEST_F(VirtualCameraStream, ContinuousAcquisitionRunsUntilStopped) {
  write(reg::stream_register(0, reg::SCP), stream.port());
  write(reg::ACQUISITION_START, 1);
  EXPECT_EQ(read(reg::ACQUISITION_STATUS), 1u);
  EXPECT_FALSE(receive_frame().empty());
  EXPECT_FALSE(receive_frame().empty());
  // Image format registers are locked while the acquisition runs.
  EXPECT_EQ(control.transact(IP, writereg(next_id++, {{reg::WIDTH, 128}}))->status, 0x8004);
  write(reg::ACQUISITION_STOP, 1);
  EXPECT_EQ(read(reg::ACQUISITION_STATUS), 0u);
  while (stream.receive(100ms)) {
  }
  EXPECT_TRUE(stream.quiet(300ms));
}

TEST_F(VirtualCameraStream, LosingControlStopsTheStream) {
  write(reg::stream_register(0, reg::SCP), stream.port());
  write(reg::ACQUISITION_START, 1);
  ASSERT_FALSE(receive_frame().empty());
  camera->expire_heartbeat();
  EXPECT_EQ(read(reg::ACQUISITION_STATUS), 0u);
  EXPECT_EQ(read(reg::stream_register(0, reg::SCP)), 0u);
  while (stream.receive(100ms)) {
  }
  EXPECT_TRUE(stream.quiet(300ms));
  EXPECT_FALSE(camera->status().streaming[0]);
}

}  // namespace
}  // namespace corvantic::sim::test
