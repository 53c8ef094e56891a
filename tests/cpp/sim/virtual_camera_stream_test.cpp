// The control side of VirtualCamera driving its stream channels: the fire
// test, acquisition start and stop from the registers, the destination of
// SCDA 0, the end of single-frame acquisitions, resend requests and heartbeat
// expiry. The packets' own layout is the stream side's to test. Cameras of
// this file use IP, an address of this process's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>

#include "gige/proto/chunk_layout.hpp"
#include "sim/gvsp_packet.hpp"
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

// What a frame in chunk mode carries: its block id from the header, the
// payload type of its leader, its payload and the exposure its chunk reports.
struct ChunkFrame {
  std::uint16_t block_id = 0;
  std::uint16_t payload_type = 0;
  Bytes payload;
  double exposure = 0;
};
ChunkFrame chunk_frame(const std::vector<Bytes>& packets) {
  ChunkFrame frame;
  if (packets.size() < 3) return frame;
  frame.block_id = get16(packets.front(), 2);
  frame.payload_type = get16(packets.front(), 8 + 2);
  for (std::size_t i = 1; i + 1 < packets.size(); ++i) {
    frame.payload.insert(frame.payload.end(), packets[i].begin() + 8, packets[i].end());
  }
  const auto layout = gige::proto::parse_chunk_layout(frame.payload);
  const gige::proto::Chunk* id = layout ? layout->find(chunk_id(ChunkKind::FrameId)) : nullptr;
  const gige::proto::Chunk* exposure = layout ? layout->find(chunk_id(ChunkKind::ExposureTime)) : nullptr;
  if (id == nullptr || exposure == nullptr) return frame;
  // The chunk's frame id is the header's block id, widened to 64 bits.
  EXPECT_EQ(get32(frame.payload, id->offset + 4), frame.block_id);
  const std::uint64_t bits = (std::uint64_t{get32(frame.payload, exposure->offset)} << 32) |
                             get32(frame.payload, exposure->offset + 4);
  frame.exposure = std::bit_cast<double>(bits);
  return frame;
}

// Every frame's chunks report the exposure it was taken with, across a
// change while the acquisition runs, and a frame resent later still the
// exposure of its own time.
TEST_F(VirtualCameraStream, ChunksReportTheExposureOfEachFrame) {
  write(reg::stream_register(0, reg::SCP), stream.port());
  write(reg::CHUNK_MODE_ACTIVE, 1);
  const std::uint32_t payload_size = read(reg::PAYLOAD_SIZE);
  write(reg::ACQUISITION_START, 1);
  std::vector<std::vector<Bytes>> received{receive_frame()};
  Bytes exposure;
  put32(exposure, static_cast<std::uint32_t>(std::bit_cast<std::uint64_t>(2500.0) >> 32));
  put32(exposure, static_cast<std::uint32_t>(std::bit_cast<std::uint64_t>(2500.0)));
  ASSERT_EQ(control.transact(IP, writemem(next_id++, reg::EXPOSURE_TIME, exposure))->status, 0);
  for (int i = 0; i < 3; ++i) received.push_back(receive_frame());
  write(reg::ACQUISITION_STOP, 1);
  while (stream.receive(100ms)) {
  }

  std::vector<double> exposures;
  for (const auto& packets : received) {
    const ChunkFrame frame = chunk_frame(packets);
    EXPECT_EQ(frame.payload_type, 0x4001);
    EXPECT_EQ(frame.payload.size(), payload_size);
    EXPECT_EQ(frame.block_id, get16(received.front().front(), 2) + exposures.size());
    exposures.push_back(frame.exposure);
  }
  // 10000 until the write, 2500 from the frame after it on (the frame in
  // flight as the write landed may still have the old value).
  EXPECT_EQ(exposures.front(), 10000.0);
  EXPECT_EQ(exposures.back(), 2500.0);
  EXPECT_TRUE(std::is_sorted(exposures.rbegin(), exposures.rend())) << ::testing::PrintToString(exposures);

  // The first frame's last data packet, which holds its chunks, resent.
  const auto& first = received.front();
  Bytes request;
  put16(request, 0);
  put16(request, get16(first.front(), 2));
  put32(request, static_cast<std::uint32_t>(first.size() - 2));
  put32(request, static_cast<std::uint32_t>(first.size() - 2));
  control.send_to(IP, command(0x0040, next_id++, request, 0x00));
  const auto again = stream.receive();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->bytes, first[first.size() - 2]);
}

}  // namespace
}  // namespace corvantic::sim::test
