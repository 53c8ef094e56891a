#include "gige/stream/gvsp_worker.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "test_address.hpp"
#include "util/bytes.hpp"

namespace corvantic::gige::stream {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

TEST(GvspThreadName, FitsFifteenCharactersAndShowsTheChannel) {
  EXPECT_EQ(gvsp_thread_name(0), "corvantic-gvsp0");
  EXPECT_EQ(gvsp_thread_name(9), "corvantic-gvsp9");
  EXPECT_EQ(gvsp_thread_name(10), "corv-gvsp10");
  EXPECT_EQ(gvsp_thread_name(65535), "corv-gvsp65535");
  for (std::uint32_t channel = 0; channel <= 65535; ++channel) {
    ASSERT_LE(gvsp_thread_name(static_cast<std::uint16_t>(channel)).size(), 15u) << channel;
  }
}

// A standard-form packet: block, format, id, then `payload`.
Bytes packet(std::uint16_t block, std::uint8_t format, std::uint32_t id, const Bytes& payload) {
  Bytes out(8 + payload.size(), 0);
  util::store_be16(out.data() + 2, block);
  util::store_be32(out.data() + 4, id);
  out[4] = format;
  std::copy(payload.begin(), payload.end(), out.begin() + 8);
  return out;
}

// Two sockets on loopback: the worker's stream socket and a plain one
// playing the device.
struct Loopback {
  Loopback() {
    device = net::UdpSocket::bind(net::SocketAddress::ipv4(0x7F000001, 0)).value();
    auto stream = net::UdpSocket::bind(net::SocketAddress::ipv4(0x7F000001, 0)).value();
    stream_address = stream.local_address().value();
    const GvspWorkerSettings settings{.device = device.local_address().value(),
                                      .payload_size = 300,
                                      .packet_size = 136};  // 100 data bytes: 3 data packets
    worker = GvspWorker::start("gvsp-test", std::move(stream), settings, pool, stats).value();
  }
  void send_frame(std::uint16_t block) {
    Bytes leader(36, 0);
    util::store_be16(leader.data() + 2, 1);       // image payload
    util::store_be32(leader.data() + 16, block);  // size_x, to tell frames apart
    const Bytes packets[] = {packet(block, 1, 0, leader), packet(block, 3, 1, Bytes(100, 1)),
                             packet(block, 3, 2, Bytes(100, 2)), packet(block, 3, 3, Bytes(100, 3)),
                             packet(block, 2, 4, Bytes(8, 0))};
    for (const Bytes& p : packets) ASSERT_TRUE(device.send_to(p, stream_address));
  }

  net::UdpSocket device;
  net::SocketAddress stream_address;
  std::shared_ptr<BufferPool> pool = BufferPool::create(4, 300);
  std::shared_ptr<SharedStreamStats> stats = std::make_shared<SharedStreamStats>();
  std::unique_ptr<GvspWorker> worker;
};

TEST(GvspWorker, AssemblesFramesFromLoopbackAndPublishesOnJoin) {
  Loopback lo;
  auto ends = make_subscription(8);
  ASSERT_TRUE(lo.worker->registrations()->send(Registration{std::move(ends.sender)}));
  for (std::uint16_t block = 1; block <= 3; ++block) lo.send_frame(block);

  for (std::uint32_t block = 1; block <= 3; ++block) {
    auto received = ends.receiver.receive_for(10s);
    ASSERT_EQ(received.status, ReceiveStatus::Received) << "frame " << block;
    EXPECT_EQ(received.frame.status(), FrameStatus::Complete);
    EXPECT_EQ(received.frame.width(), block);
    const auto data = received.frame.data();
    ASSERT_EQ(data.size(), 300u);
    EXPECT_EQ(data[0], 1);
    EXPECT_EQ(data[150], 2);
    EXPECT_EQ(data[299], 3);
  }
  lo.worker->join();
  EXPECT_FALSE(lo.worker->running());
  const StreamStats s = lo.stats->snapshot();
  EXPECT_EQ(s.packets, 15u);
  EXPECT_EQ(s.completed_frames, 3u);
  EXPECT_EQ(s.resend_requests, 0u);
  EXPECT_EQ(ends.receiver.receive_for(10s).status, ReceiveStatus::Ended);
}

TEST(GvspWorker, StopMessageAbortsTheOpenFrame) {
  Loopback lo;
  auto ends = make_subscription(4);
  ASSERT_TRUE(lo.worker->registrations()->send(Registration{std::move(ends.sender)}));
  Bytes leader(36, 0);
  util::store_be16(leader.data() + 2, 1);
  ASSERT_TRUE(lo.device.send_to(packet(5, 1, 0, leader), lo.stream_address));
  // The leader must be in before the stop message is sent.
  while (lo.stats->snapshot().packets == 0) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(lo.worker->registrations()->send(Registration::stop()));

  auto received = ends.receiver.receive_for(10s);
  ASSERT_EQ(received.status, ReceiveStatus::Received);
  EXPECT_EQ(received.frame.status(), FrameStatus::Aborted);
  EXPECT_EQ(received.frame.frame_id(), 5u);
  EXPECT_EQ(ends.receiver.receive_for(10s).status, ReceiveStatus::Ended);
  lo.worker->join();
  EXPECT_EQ(lo.stats->snapshot().aborted_frames, 1u);
}

// The worker receives the next payloads of a frame straight into their
// places in the frame buffer. Datagrams that land in a place not theirs
// (another host's, or packets out of order) must leave no trace there, and
// a duplicate must not overwrite the first copy.
TEST(GvspWorker, PayloadsReceivedInPlaceSurviveStrangersAndDisorder) {
  Loopback lo;
  auto ends = make_subscription(4);
  ASSERT_TRUE(lo.worker->registrations()->send(Registration{std::move(ends.sender)}));
  auto stranger =
      net::UdpSocket::bind(net::SocketAddress::parse_ip(corvantic::testing::next_test_address(), 0).value()).value();
  Bytes leader(36, 0);
  util::store_be16(leader.data() + 2, 1);
  ASSERT_TRUE(lo.device.send_to(packet(9, 1, 0, leader), lo.stream_address));
  ASSERT_TRUE(lo.device.send_to(packet(9, 3, 1, Bytes(100, 1)), lo.stream_address));
  // Once these two are in, the next receive is aimed at packets 2 and 3.
  while (lo.stats->snapshot().packets < 2) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(stranger.send_to(packet(9, 3, 2, Bytes(100, 0xEE)), lo.stream_address));
  ASSERT_TRUE(lo.device.send_to(packet(9, 3, 3, Bytes(100, 3)), lo.stream_address));
  ASSERT_TRUE(lo.device.send_to(packet(9, 3, 2, Bytes(100, 2)), lo.stream_address));
  ASSERT_TRUE(lo.device.send_to(packet(9, 3, 3, Bytes(100, 0x33)), lo.stream_address));
  ASSERT_TRUE(lo.device.send_to(packet(9, 2, 4, Bytes(8, 0)), lo.stream_address));

  auto received = ends.receiver.receive_for(10s);
  ASSERT_EQ(received.status, ReceiveStatus::Received);
  EXPECT_EQ(received.frame.status(), FrameStatus::Complete);
  const auto data = received.frame.data();
  ASSERT_EQ(data.size(), 300u);
  for (std::size_t i = 0; i < data.size(); ++i) ASSERT_EQ(data[i], i / 100 + 1) << "byte " << i;
  lo.worker->join();
  const StreamStats s = lo.stats->snapshot();
  EXPECT_EQ(s.packets, 6u);
  EXPECT_EQ(s.duplicated_packets, 1u);
}

}  // namespace
}  // namespace corvantic::gige::stream
