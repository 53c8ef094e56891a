// EVENT and EVENTDATA sent by VirtualCamera on demand. Cameras of this file
// use IP, an address of this process's own.
#include <gtest/gtest.h>

#include "sim/register_layout.hpp"
#include "sim_host.hpp"

namespace corvantic::sim::test {
namespace {

const std::string IP = testing::next_test_address();

class VirtualCameraEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    camera = start_camera(config_at(IP));
    // Events go to the control holder.
    ASSERT_EQ(host.transact(IP, writereg(1, {{reg::CCP, reg::CCP_CONTROL}}))->status, 0);
  }
  static EventMessage event(std::uint16_t id, bool ack) {
    EventMessage e;
    e.event_id = id;
    e.stream_channel = 0;
    e.block_id = 7;
    e.timestamp = 0x1122334455667788;
    e.ack_required = ack;
    return e;
  }

  std::unique_ptr<VirtualCamera> camera;
  RawHost host;
};

TEST_F(VirtualCameraEvents, SendsAnEventWithoutAcknowledgeOnce) {
  const auto id = camera->send_event(event(0x9001, false));
  ASSERT_TRUE(id) << id.error();
  const auto datagram = host.receive();
  ASSERT_TRUE(datagram);
  EXPECT_EQ(ntohs(datagram->from.sin_port), 3956);
  Bytes expected = {0x42, 0x00, 0x00, 0xC0, 0x00, 0x10};
  put16(expected, *id);
  expected.insert(expected.end(), {0x00, 0x00, 0x90, 0x01, 0x00, 0x00, 0x00, 0x07, 0x11, 0x22, 0x33, 0x44,
                                   0x55, 0x66, 0x77, 0x88});
  EXPECT_EQ(datagram->bytes, expected);
  EXPECT_TRUE(host.quiet(400ms));
  EXPECT_EQ(camera->status().counters.events_sent, 1u);
}

TEST_F(VirtualCameraEvents, WaitsForTheAcknowledgeOfAnEventThatAsksForOne) {
  const auto id = camera->send_event(event(0x9002, true));
  ASSERT_TRUE(id);
  const auto datagram = host.receive();
  ASSERT_TRUE(datagram);
  EXPECT_EQ(datagram->bytes.at(1), 0x01);  // acknowledge required
  EXPECT_EQ(get16(datagram->bytes, 6), *id);
  Bytes ack = {0x00, 0x00, 0x00, 0xC1, 0x00, 0x00};
  put16(ack, *id);
  host.send_to(IP, ack);
  EXPECT_TRUE(host.quiet(500ms));  // acknowledged: no retransmission
  host.send_to(IP, ack);           // a late duplicate is counted, not answered
  EXPECT_TRUE(host.quiet(100ms));
  const auto counters = camera->status().counters;
  EXPECT_EQ(counters.event_acks, 1u);
  EXPECT_EQ(counters.unexpected_acks, 1u);
  EXPECT_EQ(counters.event_retransmissions, 0u);
  EXPECT_EQ(counters.malformed, 0u);
}

TEST_F(VirtualCameraEvents, RetransmitsAnUnacknowledgedEvent) {
  // Time-out 100 ms, two retransmissions.
  ASSERT_EQ(host.transact(IP, writereg(2, {{reg::MCTT, 100}, {reg::MCRC, 2}}))->status, 0);
  const auto id = camera->send_event(event(0x9003, true));
  ASSERT_TRUE(id);
  const auto first = host.receive();
  const auto second = host.receive();
  const auto third = host.receive();
  ASSERT_TRUE(first && second && third);
  EXPECT_EQ(second->bytes, first->bytes);
  EXPECT_EQ(third->bytes, first->bytes);
  EXPECT_TRUE(host.quiet(300ms));
  const auto counters = camera->status().counters;
  EXPECT_EQ(counters.event_retransmissions, 2u);
  EXPECT_EQ(counters.event_timeouts, 1u);
  EXPECT_EQ(counters.event_acks, 0u);
}

TEST_F(VirtualCameraEvents, SendsEventDataWithItsData) {
  auto message = event(0x9004, false);
  message.with_data = true;
  message.data = {1, 2, 3, 4, 5};
  const auto id = camera->send_event(message);
  ASSERT_TRUE(id);
  const auto datagram = host.receive();
  ASSERT_TRUE(datagram);
  EXPECT_EQ(get16(datagram->bytes, 2), 0x00C2);
  EXPECT_EQ(get16(datagram->bytes, 4), 16 + 5);
  EXPECT_EQ(Bytes(datagram->bytes.begin() + 24, datagram->bytes.end()), (Bytes{1, 2, 3, 4, 5}));
}

// Further records of an EVENT follow the first, in the standard form or in
// the extended one (24 bytes each, their size first, a 64-bit block id).
TEST_F(VirtualCameraEvents, SendsSeveralRecordsInOneEvent) {
  auto message = event(0x9001, false);
  message.further = {{0x9002, 0, 8, 0x10}, {0x4FFF, 0, 9, 0x11}};
  ASSERT_TRUE(camera->send_event(message));
  const auto standard = host.receive();
  ASSERT_TRUE(standard);
  EXPECT_EQ(standard->bytes.at(1), 0x00);
  ASSERT_EQ(standard->bytes.size(), 8u + 3 * 16);
  EXPECT_EQ(get16(standard->bytes, 4), 48);
  const Bytes third(standard->bytes.begin() + 40, standard->bytes.end());
  EXPECT_EQ(third, (Bytes{0, 0, 0x4F, 0xFF, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0x11}));

  message.extended = true;
  message.block_id = 0x100000007;
  ASSERT_TRUE(camera->send_event(message));
  const auto extended = host.receive();
  ASSERT_TRUE(extended);
  EXPECT_EQ(extended->bytes.at(1), 0x10);
  ASSERT_EQ(extended->bytes.size(), 8u + 3 * 24);
  const Bytes first(extended->bytes.begin() + 8, extended->bytes.begin() + 32);
  EXPECT_EQ(first, (Bytes{0, 0x18, 0x90, 0x01, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 7, 0x11, 0x22, 0x33, 0x44, 0x55,
                          0x66, 0x77, 0x88}));
}

TEST_F(VirtualCameraEvents, UsesTheMessageChannelWhenConfigured) {
  RawHost listener;
  ASSERT_EQ(host.transact(IP, writereg(2, {{reg::MCDA, 0x7F000001}, {reg::MCP, listener.port()}}))->status,
            0);
  ASSERT_TRUE(camera->send_event(event(0x9005, false)));
  const auto datagram = listener.receive();
  ASSERT_TRUE(datagram);
  EXPECT_EQ(get16(datagram->bytes, 10), 0x9005);
  EXPECT_TRUE(host.quiet(100ms));
}

// The events the camera raises itself: EVENTDATA asking for an
// acknowledge; an ExposureEnd carries the frame id after its record header.
struct RaisedEvent {
  std::uint16_t request_id = 0;
  std::uint16_t event_id = 0;
  std::uint16_t block_id = 0;
  std::uint64_t data_frame_id = 0;
};

std::uint64_t get64(const Bytes& b, std::size_t at) {
  return std::uint64_t{get32(b, at)} << 32 | get32(b, at + 4);
}

std::optional<RaisedEvent> raised(const std::optional<Datagram>& datagram) {
  if (!datagram) return std::nullopt;
  const Bytes& b = datagram->bytes;
  EXPECT_EQ(b.at(1), 0x01);        // acknowledge required
  EXPECT_EQ(get16(b, 2), 0x00C2);  // EVENTDATA
  const bool exposure = get16(b, 10) == reg::EXPOSURE_END_EVENT_ID;
  EXPECT_EQ(b.size(), 8u + 16 + (exposure ? reg::EXPOSURE_END_DATA_SIZE : 0));
  return RaisedEvent{get16(b, 6), get16(b, 10), get16(b, 14), exposure ? get64(b, 24) : 0};
}

void acknowledge(RawHost& host, const RaisedEvent& event) {
  Bytes ack = {0x00, 0x00, 0x00, 0xC3, 0x00, 0x00};
  put16(ack, event.request_id);
  host.send_to(IP, ack);
}

TEST_F(VirtualCameraEvents, TestEventCommandSendsTheTestEventWhileItsNotificationIsOn) {
  ASSERT_EQ(host.transact(IP, writereg(2, {{reg::TEST_EVENT_GENERATE, 1}}))->status, 0);
  const auto event = raised(host.receive());
  ASSERT_TRUE(event);
  EXPECT_EQ(event->event_id, reg::TEST_EVENT_ID);
  acknowledge(host, *event);
  ASSERT_EQ(host.transact(IP, writereg(3, {{reg::EVENT_SELECTOR, reg::TEST_EVENT_ID}, {reg::EVENT_NOTIFICATION, 0}}))
                ->status,
            0);
  ASSERT_EQ(host.transact(IP, writereg(4, {{reg::TEST_EVENT_GENERATE, 1}}))->status, 0);
  EXPECT_TRUE(host.quiet(200ms));
  EXPECT_EQ(camera->status().counters.events_sent, 1u);
}

TEST_F(VirtualCameraEvents, SoftwareTriggersAreMissedWhileTheNotificationIsOn) {
  ASSERT_EQ(host.transact(IP, writereg(2, {{reg::TRIGGER_SOFTWARE, 1}}))->status, 0);
  EXPECT_TRUE(host.quiet(200ms)) << "off at first";
  ASSERT_EQ(host.transact(IP, writereg(3, {{reg::EVENT_SELECTOR, reg::FRAME_TRIGGER_MISSED_EVENT_ID},
                                           {reg::EVENT_NOTIFICATION, 1},
                                           {reg::TRIGGER_SOFTWARE, 1}}))
                ->status,
            0);
  const auto datagram = host.receive();
  const auto event = raised(datagram);
  ASSERT_TRUE(event);
  EXPECT_EQ(event->event_id, reg::FRAME_TRIGGER_MISSED_EVENT_ID);
}

TEST_F(VirtualCameraEvents, EachFrameEndsItsExposureWithAnEventCarryingItsFrameId) {
  RawHost stream;
  ASSERT_EQ(host.transact(IP, writereg(2, {{reg::EVENT_SELECTOR, reg::EXPOSURE_END_EVENT_ID},
                                           {reg::EVENT_NOTIFICATION, 1},
                                           {reg::stream_register(0, reg::SCDA), 0x7F000001},
                                           {reg::stream_register(0, reg::SCP), stream.port()},
                                           {reg::ACQUISITION_START, 1}}))
                ->status,
            0);
  std::vector<RaisedEvent> events;
  while (events.size() < 3) {
    const auto event = raised(host.receive());
    ASSERT_TRUE(event);
    acknowledge(host, *event);
    events.push_back(*event);
  }
  ASSERT_EQ(host.transact(IP, writereg(3, {{reg::ACQUISITION_STOP, 1}}))->status, 0);
  for (std::size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i].event_id, reg::EXPOSURE_END_EVENT_ID);
    EXPECT_EQ(events[i].block_id, events[0].block_id + i);
    EXPECT_EQ(events[i].data_frame_id, events[i].block_id);
  }
}

TEST_F(VirtualCameraEvents, AnIgnoredAcknowledgeIsAnsweredByTheSameEventAgain) {
  ASSERT_EQ(host.transact(IP, writereg(2, {{reg::MCTT, 100}})) ->status, 0);
  camera->ignore_event_acks(1);
  ASSERT_EQ(host.transact(IP, writereg(3, {{reg::TEST_EVENT_GENERATE, 1}}))->status, 0);
  const auto first = host.receive();
  ASSERT_TRUE(first);
  acknowledge(host, *raised(first));
  const auto again = host.receive();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->bytes, first->bytes);
  acknowledge(host, *raised(again));
  EXPECT_TRUE(host.quiet(300ms));
  const auto counters = camera->status().counters;
  EXPECT_EQ(counters.event_acks_ignored, 1u);
  EXPECT_EQ(counters.event_acks, 1u);
  EXPECT_EQ(counters.event_retransmissions, 1u);
}

TEST(VirtualCameraEventLimits, RefusesEventsItCannotSend) {
  auto config = config_at(IP);
  config.capabilities &= ~reg::cap::EVENTDATA;
  auto camera = start_camera(config);
  EventMessage message;
  message.event_id = 1;
  // Nobody has talked to the camera yet.
  const auto nowhere = camera->send_event(message);
  ASSERT_FALSE(nowhere);
  EXPECT_EQ(nowhere.error(), "no host to send events to");
  message.with_data = true;
  const auto unsupported = camera->send_event(message);
  ASSERT_FALSE(unsupported);
  EXPECT_EQ(unsupported.error(), "EVENTDATA not offered");
}

}  // namespace
}  // namespace corvantic::sim::test
