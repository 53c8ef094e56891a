#include "gige/stream/gvsp_worker_loop.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "util/bytes.hpp"
#include "util/log.hpp"

namespace corvantic::gige::stream {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = GvspWorkerLoop::Clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;
namespace proto = gige::proto;

// The test stream: 1000-byte frames in packets of 136 bytes, 100 data bytes
// each: leader 0, data 1..10, trailer 11.
constexpr std::uint64_t PAYLOAD = 1000;
constexpr std::uint16_t PACKET_SIZE = 136;
constexpr std::uint32_t TRAILER = 11;
constexpr std::uint64_t WALL_NS = 1'700'000'000'000'000'000;

// ---- A device-side packet writer for these tests

Bytes packet(std::uint64_t block, std::uint8_t format, std::uint32_t id, const Bytes& payload = {},
             std::uint16_t status = 0, bool extended = false) {
  Bytes out(extended ? 20 : 8, 0);
  util::store_be16(out.data(), status);
  if (extended) {
    out[4] = static_cast<std::uint8_t>(0x80 | format);
    util::store_be64(out.data() + 8, block);
    util::store_be32(out.data() + 16, id);
  } else {
    util::store_be16(out.data() + 2, static_cast<std::uint16_t>(block));
    util::store_be32(out.data() + 4, id & 0x00FFFFFF);
    out[4] = format;
  }
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes leader(std::uint64_t block, std::uint16_t payload_type = 1, bool extended = false) {
  Bytes p(36, 0);
  util::store_be16(p.data() + 2, payload_type);
  util::store_be64(p.data() + 4, 250'000'000);  // timestamp ticks
  util::store_be32(p.data() + 12, 0x01080001);  // Mono8
  util::store_be32(p.data() + 16, 40);          // size_x
  util::store_be32(p.data() + 20, 25);          // size_y
  util::store_be32(p.data() + 24, 4);           // offset_x
  util::store_be32(p.data() + 28, 2);           // offset_y
  return packet(block, proto::GVSP_FORMAT_LEADER, 0, p, 0, extended);
}

Bytes data(std::uint64_t block, std::uint32_t id, std::size_t size = 100) {
  return packet(block, proto::GVSP_FORMAT_DATA, id, Bytes(size, static_cast<std::uint8_t>(id)));
}

Bytes trailer(std::uint64_t block, std::uint32_t id = TRAILER) {
  return packet(block, proto::GVSP_FORMAT_TRAILER, id, Bytes(8, 0));
}

Bytes all_in(std::uint64_t block, bool extended = false) {
  return packet(block, proto::GVSP_FORMAT_ALL_IN, 0, {}, 0, extended);
}

// ---- The loop with its pool, counters and subscriptions, on a fake clock

struct Sent {
  std::vector<Bytes> datagrams;
};

class CapturingSender final : public ResendSender {
 public:
  explicit CapturingSender(std::shared_ptr<Sent> sent) : sent_(std::move(sent)) {}
  net::SysResult<void> send(std::span<const std::uint8_t> datagram) override {
    sent_->datagrams.emplace_back(datagram.begin(), datagram.end());
    return {};
  }

 private:
  std::shared_ptr<Sent> sent_;
};

struct Harness {
  explicit Harness(bool resend = true, std::size_t n_buffers = 4, std::uint64_t payload = PAYLOAD,
                   std::uint16_t channel = 0)
      : pool(BufferPool::create(n_buffers, payload)),
        loop(GvspWorkerSettings{.device = DEVICE,
                                .channel = channel,
                                .payload_size = payload,
                                .packet_size = PACKET_SIZE,
                                .tick_frequency = 125'000'000,
                                .resend_enabled = resend},
             pool, shared, registrations, std::make_unique<CapturingSender>(sent), [] { return WALL_NS; }) {}

  static inline const net::SocketAddress DEVICE = net::SocketAddress::ipv4(0x7F000002, 3956);

  // Feeds `bytes` from the device's IP (another port) at t0 + `at`.
  void feed(const Bytes& bytes, microseconds at = {}) {
    loop.handle_datagram(DEVICE.with_port(20202), bytes, T0 + at);
  }
  void feed_frame(std::uint64_t block, microseconds at = {}) {
    feed(leader(block), at);
    for (std::uint32_t id = 1; id < TRAILER; ++id) feed(data(block, id), at);
    feed(trailer(block), at);
  }
  FrameReceiver subscribe(std::size_t capacity) {
    auto ends = make_subscription(capacity);
    registrations->send(Registration{std::move(ends.sender)});
    return std::move(ends.receiver);
  }
  [[nodiscard]] const StreamStats& stats() const { return loop.stats(); }

  static inline const Clock::time_point T0 = Clock::time_point{} + std::chrono::hours(1);
  std::shared_ptr<BufferPool> pool;
  std::shared_ptr<SharedStreamStats> shared = std::make_shared<SharedStreamStats>();
  std::shared_ptr<RegistrationQueue> registrations = std::make_shared<RegistrationQueue>(net::Waker{});
  std::shared_ptr<Sent> sent = std::make_shared<Sent>();
  GvspWorkerLoop loop;
};

std::vector<FrameStatus> statuses(const std::vector<Frame>& frames) {
  std::vector<FrameStatus> out;
  for (const Frame& f : frames) out.push_back(f.status());
  return out;
}

// ---- Assembly and delivery

TEST(GvspWorkerLoop, CompleteFrameCarriesItsLeaderAndData) {
  Harness h;
  auto receiver = h.subscribe(4);
  h.feed_frame(1);

  auto frame = receiver.try_receive();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->status(), FrameStatus::Complete);
  EXPECT_EQ(frame->frame_id(), 1u);
  EXPECT_EQ(frame->width(), 40u);
  EXPECT_EQ(frame->height(), 25u);
  EXPECT_EQ(frame->x_offset(), 4u);
  EXPECT_EQ(frame->y_offset(), 2u);
  EXPECT_EQ(frame->pixel_format_code(), 0x01080001u);
  EXPECT_EQ(frame->timestamp_ticks(), 250'000'000u);
  EXPECT_EQ(frame->timestamp_ns(), 2'000'000'000u);  // 125 MHz ticks
  EXPECT_EQ(frame->system_timestamp_ns(), WALL_NS);
  EXPECT_EQ(frame->received_size(), PAYLOAD);
  EXPECT_EQ(frame->high_water(), PAYLOAD);
  ASSERT_EQ(frame->data().size(), PAYLOAD);
  for (std::size_t i = 0; i < PAYLOAD; ++i) ASSERT_EQ(frame->data()[i], i / 100 + 1) << i;

  const StreamStats& s = h.stats();
  EXPECT_EQ(s.packets, 12u);
  EXPECT_EQ(s.bytes, (8 + 36) + 10 * (8 + 100) + (8 + 8));
  EXPECT_EQ(s.completed_frames, 1u);
  EXPECT_EQ(h.shared->snapshot(), s);
  EXPECT_TRUE(h.sent->datagrams.empty());
}

TEST(GvspWorkerLoop, DataPacketOneSetsTheDataLength) {
  Harness h;
  auto receiver = h.subscribe(4);
  // The device sends 80-byte packets: 13 data packets, trailer 14.
  h.feed(leader(1));
  for (std::uint32_t id = 1; id <= 13; ++id) h.feed(data(1, id, id == 13 ? 40 : 80));
  h.feed(trailer(1, 14));
  auto frame = receiver.try_receive();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->status(), FrameStatus::Complete);
  EXPECT_EQ(frame->received_size(), PAYLOAD);
  EXPECT_EQ(frame->data()[12 * 80], 13);
  EXPECT_EQ(h.stats().size_mismatch_errors, 0u);
}

TEST(GvspWorkerLoop, OverrunsDuplicatesAndWrongIds) {
  Harness h;
  auto receiver = h.subscribe(8);
  // Block 1: data packet 9 of 150 bytes runs past the end; the last one (10) may.
  h.feed(leader(1));
  for (std::uint32_t id = 1; id <= 8; ++id) h.feed(data(1, id));
  h.feed(data(1, 8));  // duplicate
  h.feed(data(1, 9, 250));
  h.feed(data(1, 10, 150));
  h.feed(trailer(1));
  // Block 2: a data packet id beyond the trailer's.
  util::log::ScopedCapture capture;
  h.feed(leader(2));
  h.feed(data(2, 11));
  // Block 3: a leader with a non-zero id; block 4: a trailer id beyond the count.
  Bytes leader_5 = leader(3);
  leader_5[7] = 5;
  h.feed(leader_5);
  h.feed(leader(4));
  h.feed(trailer(4, 12));
  h.loop.shut_down();

  const auto frames = receiver.take_all();
  EXPECT_EQ(statuses(frames), (std::vector{FrameStatus::Complete, FrameStatus::WrongPacketId,
                                           FrameStatus::WrongPacketId, FrameStatus::WrongPacketId}));
  EXPECT_EQ(frames[0].high_water(), PAYLOAD);         // cut at the end
  EXPECT_EQ(frames[0].received_size(), PAYLOAD + 100);  // 9 overlapped 10's first 100 bytes
  const StreamStats& s = h.stats();
  EXPECT_EQ(s.size_mismatch_errors, 1u);
  EXPECT_EQ(s.duplicated_packets, 1u);
  EXPECT_EQ(s.failed_frames, 3u);
  EXPECT_EQ(s.aborted_frames, 0u);  // an early WrongPacketId outlasts the shutdown
  const auto events = capture.sink().with_message("payload packet id 11 outside 1..=10 (frame 2, 100 data bytes, ext=false)");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, util::log::Level::Trace);
  EXPECT_EQ(events[0].target, util::log::target::STREAM_RUNNER);
}

TEST(GvspWorkerLoop, AllInFramesFailAsUnsupportedAndUnsupportedFramesAreCounted) {
  Harness h;
  util::log::ScopedCapture capture;
  auto receiver = h.subscribe(4);
  h.feed(all_in(1));     // its payload is not assembled: never Complete
  h.feed(leader(2, 2));  // raw data payload type: not opened
  h.feed(data(2, 1));    // later packets of it are late
  h.feed(packet(3, 7, 0));
  h.feed({0x00, 0x00, 0x00, 0x04, 0x01, 0x00, 0x00});  // too short
  const StreamStats& s = h.stats();
  EXPECT_EQ(s.completed_frames, 0u);
  EXPECT_EQ(s.failed_frames, 1u);
  EXPECT_EQ(s.unsupported_frames, 3u);
  EXPECT_EQ(s.ignored_packets, 1 + 2 + 1 + 1u);  // all-in packet, unsupported x2 + late, short
  EXPECT_EQ(s.packets, 5u);
  const auto frames = receiver.take_all();
  EXPECT_EQ(statuses(frames), std::vector{FrameStatus::PayloadUnsupported});
  EXPECT_FALSE(frames[0].is_complete());
  const auto closed = capture.sink().with_message("frame closed incomplete");
  ASSERT_EQ(closed.size(), 1u);
  EXPECT_EQ(closed[0].fields,
            (std::vector<util::log::Field>{{"frame_id", "1"}, {"status", "PayloadUnsupported"}}));
}

TEST(GvspWorkerLoop, DatagramsFromOtherHostsAreNotCounted) {
  Harness h;
  h.loop.handle_datagram(net::SocketAddress::ipv4(0x7F000003, 3956), leader(1), Harness::T0);
  h.loop.handle_datagram(net::SocketAddress::ipv4(0x7F000003, 3956), Bytes{1, 2}, Harness::T0);
  EXPECT_EQ(h.stats(), StreamStats{});
  EXPECT_FALSE(h.loop.has_open_frames());
}

// ---- Resend requests

TEST(GvspWorkerLoop, ReorderWithinTheReorderDelayRequestsNothing) {
  Harness h;
  h.feed(leader(1));
  h.feed(data(1, 1));
  h.feed(data(1, 3));
  h.feed(data(1, 4), microseconds(500));
  h.feed(data(1, 2), microseconds(900));
  EXPECT_TRUE(h.sent->datagrams.empty());
  EXPECT_EQ(h.stats().resend_requests, 0u);
}

TEST(GvspWorkerLoop, GapIsRequestedAfterOneMillisecondAndAgainAfterTwenty) {
  Harness h;
  util::log::ScopedCapture capture;
  h.feed(leader(7));
  h.feed(data(7, 1));
  h.feed(data(7, 3));                        // 2 missing: eligible after t0 + 1 ms
  h.feed(data(7, 4), microseconds(1000));    // not strictly later: nothing yet
  h.feed(data(7, 5), microseconds(1500));    // requested
  h.feed(data(7, 6), microseconds(21'000));  // requested 19.5 ms ago: nothing
  h.feed(data(7, 7), microseconds(21'600));  // requested again
  ASSERT_EQ(h.sent->datagrams.size(), 2u);
  const Bytes first = {
      0x42, 0x00, 0x00, 0x40,  // 0: key, no ack, PACKETRESEND
      0x00, 0x0C, 0xFF, 0x15,  // 4: length 12, request id 65301
      0x00, 0x00, 0x00, 0x07,  // 8: channel 0, block 7
      0x00, 0x00, 0x00, 0x02,  // 12: first
      0x00, 0x00, 0x00, 0x02,  // 16: last
  };
  EXPECT_EQ(h.sent->datagrams[0], first);
  EXPECT_EQ(h.sent->datagrams[1][7], 0x16);  // request id 65302
  const auto events = capture.sink().with_message("requesting packet resend");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].fields, (std::vector<util::log::Field>{
                                  {"frame_id", "7"}, {"first", "2"}, {"last", "2"}}));

  h.feed(data(7, 2), microseconds(22'000));
  EXPECT_EQ(h.stats().resend_requests, 2u);
  EXPECT_EQ(h.stats().resent_packets, 1u);
}

TEST(GvspWorkerLoop, ResendRequestsNameTheStreamChannel) {
  Harness h(true, 4, PAYLOAD, 3);
  h.feed(leader(7));
  h.feed(data(7, 1));
  h.feed(data(7, 3));
  h.feed(data(7, 4), microseconds(1500));
  ASSERT_EQ(h.sent->datagrams.size(), 1u);
  EXPECT_EQ(util::load_be16(h.sent->datagrams[0].data() + 8), 3u);
  EXPECT_EQ(util::load_be16(h.sent->datagrams[0].data() + 10), 7u);
}

// Frame `block`, a packet every 200 us, whose data packet 2 comes 1.3 ms
// after its gap was seen, then once more (the resent copy of a request, if
// one was made).
void feed_late_frame(Harness& h, std::uint64_t block, milliseconds at) {
  h.feed(leader(block), at);
  h.feed(data(block, 1), at);
  for (std::uint32_t id = 3; id < TRAILER; ++id) h.feed(data(block, id), at + microseconds(200 * id));
  h.feed(data(block, 2), at + microseconds(1900));
  if (!h.sent->datagrams.empty() && util::load_be16(h.sent->datagrams.back().data() + 10) == block) {
    h.feed(data(block, 2), at + microseconds(2000));
  }
  h.feed(trailer(block), at + microseconds(2200));
}

TEST(GvspWorkerLoop, TheReorderWindowGrowsWithPacketsOnlyLateAndDecaysWithoutThem) {
  Harness h;
  util::log::ScopedCapture capture;
  // 1 ms at first: packet 2, 1.3 ms late, is asked for, then arrives twice.
  feed_late_frame(h, 1, milliseconds(0));
  EXPECT_EQ(h.sent->datagrams.size(), 1u);
  EXPECT_EQ(h.loop.spurious_requests(), 1u);
  EXPECT_EQ(h.loop.reorder_window(), milliseconds(2));
  EXPECT_EQ(h.stats().duplicated_packets, 1u);
  // 2 ms: the same lateness asks for nothing.
  feed_late_frame(h, 2, milliseconds(10));
  EXPECT_EQ(h.sent->datagrams.size(), 1u);
  EXPECT_EQ(h.stats().completed_frames, 2u);
  EXPECT_EQ(h.shared->reorder(), (ReorderFigures{h.loop.reorder_window(), 1}));
  // Clean frames bring it back towards 1 ms, a thirty-second of the excess each.
  EXPECT_EQ(h.loop.reorder_window(), milliseconds(2) - std::chrono::nanoseconds(1'000'000 / 32));
  for (std::uint64_t block = 3; block < 200; ++block) h.feed_frame(block, milliseconds(10 * block));
  EXPECT_LT(h.loop.reorder_window(), microseconds(1010));
  EXPECT_GE(h.loop.reorder_window(), milliseconds(1));

  h.loop.shut_down();
  const auto closing = capture.sink().with_message(
      "reorder window " + std::to_string(h.loop.reorder_window().count() / 1000) +
      " us at the end; 1 resend requests were for packets only late");
  ASSERT_EQ(closing.size(), 1u);
  EXPECT_EQ(closing[0].level, util::log::Level::Debug);
}

TEST(GvspWorkerLoop, TheReorderWindowGrowsOncePerFrameUpToATwentiethOfTheFrameTimeout) {
  Harness h;
  // Data packets 2 and 3 of each frame are asked for and then arrive twice,
  // the second copies after the frame completed (which decays the window a
  // little first).
  std::chrono::nanoseconds previous = h.loop.reorder_window();
  for (std::uint64_t block = 1; block <= 8; ++block) {
    const milliseconds at(100 * block);
    h.feed(leader(block), at);
    h.feed(data(block, 1), at);
    for (std::uint32_t id = 4; id < TRAILER; ++id) h.feed(data(block, id), at);
    h.feed(trailer(block), at);
    h.loop.sweep(Harness::T0 + at + milliseconds(25), std::nullopt);  // asked for
    for (int copy = 0; copy < 2; ++copy) {
      for (std::uint32_t id : {2u, 3u}) h.feed(data(block, id), at + milliseconds(26));
    }
    const std::chrono::nanoseconds window = h.loop.reorder_window();
    EXPECT_GE(window, std::min<std::chrono::nanoseconds>(previous * 15 / 8, milliseconds(5))) << block;
    EXPECT_LE(window, std::min<std::chrono::nanoseconds>(previous * 2, milliseconds(5))) << block;
    previous = window;
  }
  EXPECT_EQ(h.loop.reorder_window(), milliseconds(5));
  EXPECT_EQ(h.sent->datagrams.size(), 8u);
  EXPECT_EQ(h.loop.spurious_requests(), 8u * 2u);
}

TEST(GvspWorkerLoop, PacketsOnlyLateDoNotSpendTheBudgetOfARealLoss) {
  // 12 packets, a budget of 3. Data 2..8 are missing when 9 arrives; 2 ms
  // later a scan would ask for 7: nothing is sent, and the frame counts once.
  Harness h;
  auto receiver = h.subscribe(4);
  h.feed(leader(1));
  h.feed(data(1, 1));
  h.feed(data(1, 9));
  h.feed(data(1, 10), milliseconds(2));
  EXPECT_TRUE(h.sent->datagrams.empty());
  EXPECT_EQ(h.stats().resend_ratio_reached, 1u);
  // 2..7 were only late: they arrive by themselves after their wait, which
  // grows the window; 8 is lost, and is asked for alone.
  for (std::uint32_t id = 2; id <= 7; ++id) h.feed(data(1, id), milliseconds(3));
  EXPECT_EQ(h.loop.reorder_window(), milliseconds(2));
  h.feed(trailer(1), milliseconds(4));
  ASSERT_EQ(h.sent->datagrams.size(), 1u);
  EXPECT_EQ(util::load_be32(h.sent->datagrams[0].data() + 12), 8u);
  EXPECT_EQ(util::load_be32(h.sent->datagrams[0].data() + 16), 8u);
  h.feed(data(1, 8), milliseconds(5));
  EXPECT_EQ(statuses(receiver.take_all()), std::vector{FrameStatus::Complete});
  EXPECT_EQ(h.stats().resend_ratio_reached, 1u);
  EXPECT_EQ(h.stats().resend_requests, 1u);
}

TEST(GvspWorkerLoop, RequestIdsWrapFrom65535To65300) {
  // 1002 packets (budget 250); 237 single-packet gaps requested in one scan.
  Harness h(true, 2, 100'000);
  h.feed(leader(1));
  for (std::uint32_t id = 1; id <= 475; id += 2) h.feed(data(1, id));
  h.feed(data(1, 477), microseconds(2000));
  ASSERT_EQ(h.sent->datagrams.size(), 237u);
  auto request_id = [&](std::size_t i) { return util::load_be16(h.sent->datagrams[i].data() + 6); };
  EXPECT_EQ(request_id(0), 65301);
  EXPECT_EQ(request_id(234), 65535);
  EXPECT_EQ(request_id(235), 65300);
  EXPECT_EQ(request_id(236), 65301);
  EXPECT_EQ(util::load_be32(h.sent->datagrams[236].data() + 12), 474u);
}

TEST(GvspWorkerLoop, ResendBudgetOfAFourHundredPacketFrame) {
  // 398 data packets + leader + trailer: at most 100 requested.
  Harness h(true, 2, 39'800);
  h.feed(leader(1));
  h.feed(data(1, 61));                        // 1..60 missing
  h.feed(data(1, 62), microseconds(2000));    // 60 requested
  h.feed(data(1, 104), microseconds(2000));   // 63..103 missing
  h.feed(data(1, 105), microseconds(4000));   // 41 more would make 101: none sent
  h.feed(data(1, 106), microseconds(30'000)); // the budget is spent
  h.loop.sweep(Harness::T0 + milliseconds(60), std::nullopt);
  ASSERT_EQ(h.sent->datagrams.size(), 1u);
  EXPECT_EQ(util::load_be32(h.sent->datagrams[0].data() + 12), 1u);
  EXPECT_EQ(util::load_be32(h.sent->datagrams[0].data() + 16), 60u);
  EXPECT_EQ(h.stats().resend_requests, 60u);
  EXPECT_EQ(h.stats().resend_ratio_reached, 1u);
}

TEST(GvspWorkerLoop, ResendImpossibleStatusStopsRequestsForTheFrame) {
  Harness h;
  auto receiver = h.subscribe(4);
  h.feed(leader(1));
  h.feed(data(1, 1));
  h.feed(packet(1, proto::GVSP_FORMAT_DATA, 2, {}, 0x8012));
  h.feed(packet(1, proto::GVSP_FORMAT_DATA, 3, {}, 0x8001));  // an error, but resend may still help
  h.feed(data(1, 4), milliseconds(5));
  h.loop.sweep(Harness::T0 + milliseconds(50), std::nullopt);
  EXPECT_TRUE(h.sent->datagrams.empty());
  EXPECT_EQ(h.stats().resend_disabled, 1u);
  EXPECT_EQ(h.stats().error_packets, 2u);

  h.loop.sweep(Harness::T0 + milliseconds(105), std::nullopt);
  EXPECT_EQ(statuses(receiver.take_all()), std::vector{FrameStatus::Timeout});
  EXPECT_EQ(h.stats().timed_out_frames, 1u);
  EXPECT_EQ(h.stats().failed_frames, 1u);
  EXPECT_EQ(h.stats().missing_packets, 10u);  // ids 2..11 after the contiguous 0..1
}

// ---- Closing

TEST(GvspWorkerLoop, WithoutResendANewerFrameClosesAnIncompleteOne) {
  Harness h(false);
  auto receiver = h.subscribe(4);
  h.feed(leader(1));
  h.feed(data(1, 1));
  h.feed(data(1, 3));
  h.feed(leader(2), milliseconds(1));
  EXPECT_EQ(statuses(receiver.take_all()), std::vector{FrameStatus::MissingPackets});
  EXPECT_EQ(h.stats().missing_packets, 10u);

  // Alone, frame 2 (leader and data 1 in) times out 100 ms after its last packet.
  h.feed(data(2, 1), milliseconds(2));
  h.loop.sweep(Harness::T0 + milliseconds(101), std::nullopt);
  EXPECT_TRUE(receiver.take_all().empty());
  h.loop.sweep(Harness::T0 + milliseconds(102), std::nullopt);
  EXPECT_EQ(statuses(receiver.take_all()), std::vector{FrameStatus::Timeout});
  EXPECT_TRUE(h.sent->datagrams.empty());
}

TEST(GvspWorkerLoop, TheNewestFrameTimesOutLikeAnyOther) {
  // Leader only, or everything but data packet 1 (contig stays 0): with or
  // without resend, 100 ms of silence closes the frame as Timeout, so a
  // waiting snap gets it instead of a frame of its next trigger.
  for (const bool resend : {false, true}) {
    for (const bool data_in : {false, true}) {
      Harness h(resend);
      auto receiver = h.subscribe(4);
      h.feed(leader(1));
      if (data_in) {
        for (std::uint32_t id = 2; id < TRAILER; ++id) h.feed(data(1, id));
        h.feed(trailer(1));
      }
      h.loop.sweep(Harness::T0 + milliseconds(99), std::nullopt);
      EXPECT_EQ(h.loop.open_frames(), 1u) << resend << data_in;
      h.loop.sweep(Harness::T0 + milliseconds(100), std::nullopt);
      EXPECT_EQ(statuses(receiver.take_all()), std::vector{FrameStatus::Timeout}) << resend << data_in;
      EXPECT_EQ(h.stats().missing_packets, 11u) << resend << data_in;  // ids 1..11 after the leader
    }
  }
}

// A frame per block id of `blocks` (its leader only), as a device would
// send them; without resend each new frame closes the one before, so a
// repeated id finds no open frame: how the loop took each.
struct BlockSequence {
  const char* name;
  bool extended;
  std::vector<std::uint64_t> blocks;
  std::uint64_t opened;
  std::uint64_t late;  // packets discarded as late
  std::uint64_t missing_frames;
};

TEST(GvspWorkerLoop, BlockDistancesAreTakenModuloTheIdSpace) {
  const BlockSequence cases[] = {
      {"late in the middle", false, {0x1001, 0x1002, 0x1001}, 2, 1, 0},
      {"late across the sign boundary", false, {0x7FFF, 0x8000, 0x7FFF}, 2, 1, 0},
      {"late across the wrap", false, {0xFFFF, 0x0001, 0xFFFF}, 2, 1, 0},
      {"99 late across the wrap", false, {0xFFC0, 0x0024, 0xFFC0}, 2, 1, 98},
      {"a gap across the sign boundary", false, {0x7FF0, 0x8010}, 2, 0, 31},
      {"a gap across the wrap skips id 0", false, {0xFFF0, 0x0010}, 2, 0, 30},
      {"200 after 50", false, {50, 200}, 2, 0, 149},
      {"extended, across the wrap", true, {0xFFFFFFFFFFFFFFFF, 1, 3}, 3, 0, 1},
      {"extended, late across the sign boundary", true, {0x7FFFFFFFFFFFFFFF, 0x8000000000000000, 0x7FFFFFFFFFFFFFFF},
       2, 1, 0},
  };
  for (const BlockSequence& c : cases) {
    Harness h(false, 8);
    for (const std::uint64_t block : c.blocks) h.feed(leader(block, 1, c.extended));
    EXPECT_EQ(h.loop.frames_opened(), c.opened) << c.name;
    EXPECT_EQ(h.stats().ignored_packets, c.late) << c.name;
    EXPECT_EQ(h.stats().missing_frames, c.missing_frames) << c.name;
  }
}

TEST(GvspWorkerLoop, LateFramesAndSkippedIdsAreLogged) {
  Harness h;
  util::log::ScopedCapture capture;
  h.feed_frame(7);
  h.feed_frame(9);
  h.feed(leader(7));  // opened and closed before 9: late
  EXPECT_EQ(h.stats().completed_frames, 2u);
  EXPECT_EQ(h.stats().missing_frames, 1u);
  EXPECT_EQ(h.stats().ignored_packets, 1u);
  const auto late = capture.sink().with_message("discarding late frame");
  ASSERT_EQ(late.size(), 1u);
  EXPECT_EQ(late[0].fields, (std::vector<util::log::Field>{{"frame_id", "7"}, {"last", "9"}}));
  const auto skipped = capture.sink().with_message("frame ids skipped");
  ASSERT_EQ(skipped.size(), 1u);
  EXPECT_EQ(skipped[0].fields, (std::vector<util::log::Field>{{"skipped", "1"}, {"after", "7"}}));
}

TEST(GvspWorkerLoop, HeldBuffersMakeUnderruns) {
  Harness h(true, 2);
  auto receiver = h.subscribe(8);
  h.feed_frame(1);
  h.feed_frame(2);
  h.feed(leader(3));  // both buffers held by unread frames
  h.feed(data(3, 1));
  EXPECT_EQ(h.stats().underruns, 1u);
  EXPECT_EQ(h.stats().ignored_packets, 1u);   // the rest of frame 3 is late
  EXPECT_EQ(receiver.take_all().size(), 2u);  // released: the buffers return
  h.feed_frame(4);
  EXPECT_EQ(h.stats().completed_frames, 3u);
  EXPECT_EQ(h.stats().missing_frames, 0u);
}

TEST(GvspWorkerLoop, FullSubscriptionsDropAndReleasedOnesLeave) {
  Harness h(true, 8);
  auto never_read = h.subscribe(1);
  auto reader = h.subscribe(8);
  for (std::uint64_t block = 1; block <= 3; ++block) h.feed_frame(block);
  EXPECT_EQ(h.stats().frames_dropped, 2u);
  EXPECT_EQ(h.shared->snapshot(), h.stats());
  EXPECT_EQ(reader.take_all().size(), 3u);
  EXPECT_EQ(never_read.take_all().size(), 1u);

  { auto gone = std::move(never_read); }
  h.feed_frame(4);
  h.feed_frame(5);
  EXPECT_EQ(h.stats().frames_dropped, 2u);
  EXPECT_EQ(reader.take_all().size(), 2u);
}

TEST(GvspWorkerLoop, ShutDownAbortsOpenFramesAndEndsSubscriptions) {
  Harness h;
  util::log::ScopedCapture capture;
  auto receiver = h.subscribe(4);
  h.feed(leader(1));
  h.feed(data(1, 1));
  h.feed(leader(2));
  h.registrations->send(Registration::stop());
  EXPECT_TRUE(h.loop.drain_registrations());
  h.loop.shut_down();

  EXPECT_EQ(statuses(receiver.take_all()), (std::vector{FrameStatus::Aborted, FrameStatus::Aborted}));
  EXPECT_TRUE(receiver.ended());
  const StreamStats& s = h.stats();
  EXPECT_EQ(s.aborted_frames, 2u);
  EXPECT_EQ(s.failed_frames, 0u);
  EXPECT_EQ(s.missing_packets, 0u);
  EXPECT_EQ(h.shared->snapshot(), s);
  EXPECT_EQ(h.pool->free_count(), 4u);
  EXPECT_EQ(capture.sink().with_message("gvsp worker shutting down").size(), 1u);

  // A subscription sent after the end ends at once.
  auto ends = make_subscription(1);
  EXPECT_FALSE(h.registrations->send(Registration{std::move(ends.sender)}));
  EXPECT_TRUE(ends.receiver.ended());
}

// ---- Bytes a frame must not show

// Data packet `id` of a device sending `length`-byte packets with `fill`.
Bytes data_of(std::uint64_t block, std::uint32_t id, std::size_t length, std::uint8_t fill) {
  return packet(block, proto::GVSP_FORMAT_DATA, id, Bytes(length, fill));
}

TEST(GvspWorkerLoop, PacketsPlacedBeforeALatePacketOneOfAnotherLengthAreAskedForAgain) {
  // The device rounds its data packets to 96 bytes (100 planned): 10 of 96
  // and one of 40, trailer 12. Packets 3 and 4 arrive before packet 1 and
  // were placed 4 and 8 bytes too far.
  for (const bool resend : {true, false}) {
    Harness h(resend);
    auto receiver = h.subscribe(4);
    auto fed = [&](std::uint32_t id, microseconds at) { h.feed(data_of(1, id, id == 11 ? 40 : 96, id), at); };
    h.feed(leader(1));
    fed(3, {});
    fed(4, {});
    fed(1, {});
    for (std::uint32_t id : {2u, 5u, 6u, 7u, 8u, 9u, 10u, 11u}) fed(id, microseconds(500));
    h.feed(trailer(1, 12), microseconds(500));
    h.loop.sweep(Harness::T0 + milliseconds(21), std::nullopt);
    if (resend) {
      ASSERT_EQ(h.sent->datagrams.size(), 1u);
      EXPECT_EQ(util::load_be32(h.sent->datagrams[0].data() + 12), 3u);
      EXPECT_EQ(util::load_be32(h.sent->datagrams[0].data() + 16), 4u);
      fed(3, milliseconds(22));
      fed(4, milliseconds(22));
    }
    h.loop.sweep(Harness::T0 + milliseconds(200), std::nullopt);
    const auto frames = receiver.take_all();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].status(), resend ? FrameStatus::Complete : FrameStatus::Timeout);
    const auto bytes = frames[0].data();
    ASSERT_EQ(bytes.size(), PAYLOAD);
    for (std::size_t i = 0; i < PAYLOAD; ++i) {
      const std::size_t id = i / 96 + 1;
      const bool lost = !resend && (id == 3 || id == 4);
      ASSERT_EQ(bytes[i], lost ? 0 : id) << "resend " << resend << " byte " << i;
    }
  }
}

TEST(GvspWorkerLoop, AFailedFrameShowsZerosWhereItsPacketsNeverArrived) {
  // One buffer, reused: frame 1 fills it with 0xAA. Frame 2 loses data
  // packet 5, and something else landed in the place of packet 2 before
  // packet 2 itself (a datagram the thread received there by mistake).
  Harness h(false, 1);
  auto receiver = h.subscribe(4);
  h.feed(leader(1));
  for (std::uint32_t id = 1; id < TRAILER; ++id) h.feed(data_of(1, id, 100, 0xAA));
  h.feed(trailer(1));
  ASSERT_EQ(statuses(receiver.take_all()), std::vector{FrameStatus::Complete});

  h.feed(leader(2));
  h.feed(data(2, 1));
  std::array<GvspWorkerLoop::PacketTarget, 4> targets;
  ASSERT_GE(h.loop.predict(targets), 1u);
  ASSERT_EQ(targets[0].packet_id, 2u);
  std::fill(targets[0].region.begin(), targets[0].region.end(), 0x55);
  for (std::uint32_t id = 3; id < TRAILER; ++id) {
    if (id != 5) h.feed(data(2, id));
  }
  h.feed(trailer(2));
  h.loop.sweep(Harness::T0 + milliseconds(100), std::nullopt);
  const auto frames = receiver.take_all();
  ASSERT_EQ(statuses(frames), std::vector{FrameStatus::Timeout});
  const auto bytes = frames[0].data();
  ASSERT_EQ(bytes.size(), PAYLOAD);
  for (std::size_t i = 0; i < PAYLOAD; ++i) {
    const std::size_t id = i / 100 + 1;
    ASSERT_EQ(bytes[i], id == 2 || id == 5 ? 0 : id) << i;
  }
}

// ---- Hostile packet counts

TEST(GvspWorkerLoop, HostilePacketCountsAreBounded) {
  Harness h;
  auto receiver = h.subscribe(4);
  // A trailer claiming 2^32 packets opens nothing.
  h.feed(packet(1, proto::GVSP_FORMAT_TRAILER, 0xFFFFFFFF, {}, 0, true));
  EXPECT_EQ(h.stats().unsupported_frames, 1u);
  EXPECT_FALSE(h.loop.has_open_frames());
  // A one-byte data packet 1 would make 1002 packets of a 1000-byte frame.
  h.feed(leader(2));
  h.feed(data(2, 1, 1));
  h.feed(data(2, 2, 1));
  h.loop.shut_down();
  const auto frames = receiver.take_all();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].status(), FrameStatus::WrongPacketId);
  EXPECT_LE(frames[0].buffer().packets().size(), proto::max_packet_count(PAYLOAD));
  EXPECT_EQ(frames[0].received_size(), 0u);
}

// ---- Chunk data

// A 1000-byte chunk payload: a 900-byte image (its tag 0x1, 900), then an
// 84-byte chunk 0xC0DE (its tag). `last_length` replaces the last tag's
// length (a layout that lies about it).
Bytes chunk_payload(std::uint32_t last_length = 84) {
  Bytes payload(PAYLOAD);
  for (std::size_t i = 0; i < 900; ++i) payload[i] = static_cast<std::uint8_t>(i);
  util::store_be32(payload.data() + 900, 0x1);
  util::store_be32(payload.data() + 904, 900);
  std::fill(payload.begin() + 908, payload.begin() + 992, 0xC5);
  util::store_be32(payload.data() + 992, 0xC0DE);
  util::store_be32(payload.data() + 996, last_length);
  return payload;
}

// `payload` as block `block` with the leader's payload type `type`, in data
// packets of the size the harness's packet size gives the header form, and
// a trailer with `trailer_payload`.
void feed_payload(Harness& h, std::uint64_t block, const Bytes& payload, std::uint16_t type, bool extended,
                  const Bytes& trailer_payload = Bytes(8, 0)) {
  const std::size_t per_packet = extended ? PACKET_SIZE - 48 : PACKET_SIZE - 36;
  h.feed(leader(block, type, extended));
  std::uint32_t id = 1;
  for (std::size_t offset = 0; offset < payload.size(); offset += per_packet, ++id) {
    const auto end = payload.begin() + static_cast<std::ptrdiff_t>(std::min(payload.size(), offset + per_packet));
    h.feed(packet(block, proto::GVSP_FORMAT_DATA, id, Bytes(payload.begin() + static_cast<std::ptrdiff_t>(offset), end),
                  0, extended));
  }
  h.feed(packet(block, proto::GVSP_FORMAT_TRAILER, id, trailer_payload, 0, extended));
}

// A frame announced as chunk data shows its chunks and its image (the first
// chunk), in either header form; the same bytes under a plain image type
// are all image; a layout whose length reaches past the payload fails the
// frame PayloadUnsupported and is counted, never read.
TEST(GvspWorkerLoop, ChunkDataIsLaidOutAtDeliveryAndALyingLayoutFailsTheFrame) {
  struct Case {
    const char* name;
    std::uint16_t type;
    bool extended;
    std::uint32_t last_length;
    FrameStatus status;
    std::size_t chunks;
    std::uint64_t layout_errors;
  };
  const Case cases[] = {
      {"image with chunks", 0x4001, false, 84, FrameStatus::Complete, 2, 0},
      {"extended ids", 0x4001, true, 84, FrameStatus::Complete, 2, 0},
      {"chunk data type", 0x0004, false, 84, FrameStatus::Complete, 2, 0},
      {"plain image", 0x0001, false, 84, FrameStatus::Complete, 0, 0},
      {"lying length", 0x4001, false, 0xFFFF'FF00, FrameStatus::PayloadUnsupported, 0, 1},
      {"lying length, extended", 0x4001, true, 993, FrameStatus::PayloadUnsupported, 0, 1},
      {"lying, plain image", 0x0001, false, 0xFFFF'FF00, FrameStatus::Complete, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    auto receiver = h.subscribe(4);
    const Bytes payload = chunk_payload(c.last_length);
    feed_payload(h, 7, payload, c.type, c.extended);
    auto frame = receiver.try_receive();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->status(), c.status);
    EXPECT_EQ(frame->chunks().size(), c.chunks);
    EXPECT_EQ(h.loop.chunk_layout_errors(), c.layout_errors);
    EXPECT_EQ(h.shared->chunk_layout_errors(), c.layout_errors);
    EXPECT_EQ(h.stats().failed_frames, c.layout_errors);
    if (c.chunks == 0) {
      EXPECT_FALSE(frame->chunk(0xC0DE));
      EXPECT_EQ(frame->image().size(), frame->data().size());
      continue;
    }
    EXPECT_EQ(frame->chunks()[0], (proto::Chunk{.id = 0x1, .length = 900, .offset = 0}));
    EXPECT_EQ(frame->chunks()[1], (proto::Chunk{.id = 0xC0DE, .length = 84, .offset = 908}));
    EXPECT_TRUE(std::ranges::equal(frame->image(), std::span(payload).first(900)));
    const auto chunk = frame->chunk(0xC0DE);
    ASSERT_TRUE(chunk);
    EXPECT_TRUE(std::ranges::equal(*chunk, std::span(payload).subspan(908, 84)));
  }
}

// The trailer of an image in chunk mode, as the standard lays it out (the
// chunk data length, then the layout id) or with the layout id alone.
Bytes image_trailer(std::optional<std::uint32_t> chunk_data_length, std::uint32_t layout_id = 500) {
  Bytes p(8, 0);
  util::store_be16(p.data() + 2, 0x4001);
  util::store_be32(p.data() + 4, 25);  // size_y
  const auto append_be32 = [&](std::uint32_t value) {
    p.resize(p.size() + 4);
    util::store_be32(p.data() + p.size() - 4, value);
  };
  if (chunk_data_length) append_be32(*chunk_data_length);
  append_be32(layout_id);
  return p;
}

// chunk_payload() with its chunk 0xC0DE four bytes shorter, followed by
// four bytes of padding: 996 bytes of chunk data. Walked from the end of
// the payload, the padding is read as the last tag's length.
Bytes padded_chunk_payload() {
  Bytes payload = chunk_payload(80);
  std::copy(payload.begin() + 992, payload.end(), payload.begin() + 988);
  std::fill(payload.begin() + 996, payload.end(), 0xEE);
  return payload;
}

// The chunk data length a trailer gives bounds the layout: bytes after it
// are not walked, a length past the bytes received fails the frame as a
// lying layout does, and a trailer without it (the layout id alone, or
// none) leaves the walk over everything received.
TEST(GvspWorkerLoop, TheTrailersChunkDataLengthBoundsTheLayout) {
  Bytes chunk_data_trailer(8, 0);
  util::store_be16(chunk_data_trailer.data() + 2, 0x0004);
  util::store_be32(chunk_data_trailer.data() + 4, 996);
  struct Case {
    const char* name;
    Bytes payload;
    std::uint16_t type;
    bool extended;
    Bytes trailer;
    FrameStatus status;
    std::uint32_t chunk_length;  // of chunk 0xC0DE; 0: no chunks
  };
  const Bytes padded = padded_chunk_payload();
  const Bytes unpadded = chunk_payload();
  constexpr auto COMPLETE = FrameStatus::Complete;
  constexpr auto FAILED = FrameStatus::PayloadUnsupported;
  const Case cases[] = {
      {"length, padded", padded, 0x4001, false, image_trailer(996), COMPLETE, 80},
      {"length, extended ids", padded, 0x4001, true, image_trailer(996), COMPLETE, 80},
      {"chunk data type", padded, 0x0004, false, chunk_data_trailer, COMPLETE, 80},
      {"length, unpadded", unpadded, 0x4001, false, image_trailer(1000), COMPLETE, 84},
      {"layout id alone", unpadded, 0x4001, false, image_trailer(std::nullopt), COMPLETE, 84},
      {"layout id alone, padded", padded, 0x4001, false, image_trailer(std::nullopt), FAILED, 0},
      {"length past the data", unpadded, 0x4001, false, image_trailer(1001), FAILED, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    auto receiver = h.subscribe(4);
    feed_payload(h, 7, c.payload, c.type, c.extended, c.trailer);
    auto frame = receiver.try_receive();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->status(), c.status);
    EXPECT_EQ(h.loop.chunk_layout_errors(), c.status == FrameStatus::Complete ? 0u : 1u);
    if (c.chunk_length == 0) {
      EXPECT_TRUE(frame->chunks().empty());
      continue;
    }
    ASSERT_EQ(frame->chunks().size(), 2u);
    EXPECT_EQ(frame->chunks()[0], (proto::Chunk{.id = 0x1, .length = 900, .offset = 0}));
    EXPECT_EQ(frame->chunks()[1], (proto::Chunk{.id = 0xC0DE, .length = c.chunk_length, .offset = 908}));
    EXPECT_TRUE(std::ranges::equal(frame->image(), std::span(c.payload).first(900)));
  }
}

// A buffer that held a chunk frame holds no chunks when it next carries a
// frame without them.
TEST(GvspWorkerLoop, ABufferReusedForAPlainFrameShowsNoChunks) {
  Harness h(true, 1);
  auto receiver = h.subscribe(4);
  feed_payload(h, 1, chunk_payload(), 0x4001, false);
  ASSERT_EQ(receiver.try_receive()->chunks().size(), 2u);
  feed_payload(h, 2, chunk_payload(), 0x0001, false);
  const auto plain = receiver.try_receive();
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->frame_id(), 2u);
  EXPECT_TRUE(plain->chunks().empty());
  EXPECT_EQ(plain->image().size(), PAYLOAD);
}

}  // namespace
}  // namespace corvantic::gige::stream
