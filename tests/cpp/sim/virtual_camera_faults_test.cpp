// Pending acknowledges and injected acknowledge faults of VirtualCamera
// over raw UDP. Cameras of this file use IP, an address of this process's
// own.
#include <gtest/gtest.h>

#include "sim/register_layout.hpp"
#include "sim_host.hpp"

namespace corvantic::sim::test {
namespace {

const std::string IP = testing::next_test_address();

class VirtualCameraFaults : public ::testing::Test {
 protected:
  void SetUp() override { camera = start_camera(config_at(IP)); }

  std::unique_ptr<VirtualCamera> camera;
  RawHost host;
};

TEST_F(VirtualCameraFaults, AnswersSlowOperationsWithAPendingAcknowledge) {
  camera->add_pending(PendingRule{0x0082, reg::ACQUISITION_MODE, 600, 300});
  // Another command is not slow.
  EXPECT_EQ(host.transact(IP, writereg(1, {{reg::WIDTH, 128}}))->code, 0x0083);

  const auto start = std::chrono::steady_clock::now();
  host.send_to(IP, writereg(2, {{reg::ACQUISITION_MODE, 1}}));
  const auto pending = host.receive_ack();
  ASSERT_TRUE(pending);
  EXPECT_EQ(pending->status, 0);
  EXPECT_EQ(pending->code, 0x0089);
  EXPECT_EQ(pending->id, 2);
  EXPECT_EQ(pending->payload, (Bytes{0x00, 0x00, 0x02, 0x58}));  // reserved, 600 ms
  // While it is pending the device is busy for other commands...
  EXPECT_EQ(host.transact(IP, readreg(3, {reg::WIDTH}))->status, 0x8007);
  // ...and a repeat of the slow command is told again that it is coming.
  host.send_to(IP, writereg(2, {{reg::ACQUISITION_MODE, 1}}));
  const auto again = host.receive_ack();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->code, 0x0089);
  EXPECT_GT(get16(again->payload, 2), 0);
  EXPECT_LE(get16(again->payload, 2), 300);

  const auto final_ack = host.receive_ack(2s);
  ASSERT_TRUE(final_ack);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 280ms);
  EXPECT_EQ(final_ack->code, 0x0083);
  EXPECT_EQ(final_ack->id, 2);
  EXPECT_EQ(final_ack->status, 0);
  EXPECT_TRUE(host.quiet(200ms));  // one final acknowledge only
  EXPECT_EQ(host.transact(IP, readreg(4, {reg::ACQUISITION_MODE}))->values(), std::vector<std::uint32_t>{1});
  const auto counters = camera->status().counters;
  EXPECT_EQ(counters.pending_acks, 2u);
  EXPECT_EQ(counters.busy, 1u);
}

TEST_F(VirtualCameraFaults, PendingRuleForACommandKindMatchesEveryAddress) {
  camera->add_pending(PendingRule{0x0084, std::nullopt, 100, 50});
  host.send_to(IP, readmem(1, reg::FIRST_URL, 16));
  EXPECT_EQ(host.receive_ack()->code, 0x0089);
  const auto final_ack = host.receive_ack();
  ASSERT_TRUE(final_ack);
  EXPECT_EQ(final_ack->code, 0x0085);
  EXPECT_EQ(final_ack->payload.size(), 20u);
  camera->clear_pending();
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(host.transact(IP, readmem(2, reg::FIRST_URL, 16))->code, 0x0085);
}

TEST_F(VirtualCameraFaults, LosesTheNextAcknowledges) {
  camera->drop_acks(2);
  host.send_to(IP, readreg(1, {reg::WIDTH}));
  host.send_to(IP, readreg(2, {reg::WIDTH}));
  EXPECT_TRUE(host.quiet());
  EXPECT_EQ(host.transact(IP, readreg(3, {reg::WIDTH}))->id, 3);
  EXPECT_EQ(camera->status().counters.acks_dropped, 2u);
}

TEST_F(VirtualCameraFaults, DuplicatesTheNextAcknowledge) {
  camera->duplicate_acks(1);
  host.send_to(IP, readreg(7, {reg::WIDTH}));
  const auto first = host.receive_ack();
  const auto second = host.receive_ack();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->id, 7);
  EXPECT_EQ(second->id, 7);
  EXPECT_EQ(second->values(), first->values());
  EXPECT_TRUE(host.quiet(200ms));
}

TEST_F(VirtualCameraFaults, DelaysAcknowledges) {
  camera->set_ack_delay(250);
  const auto start = std::chrono::steady_clock::now();
  const auto ack = host.transact(IP, readreg(1, {reg::WIDTH}));
  ASSERT_TRUE(ack);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 240ms);
  camera->set_ack_delay(0);
  EXPECT_TRUE(host.transact(IP, readreg(2, {reg::WIDTH})));
  EXPECT_EQ(camera->status().counters.acks_delayed, 1u);
}

TEST_F(VirtualCameraFaults, ReordersAcknowledges) {
  camera->reorder_acks(1);
  host.send_to(IP, readreg(1, {reg::WIDTH}));
  EXPECT_TRUE(host.quiet(200ms));  // held back
  host.send_to(IP, readreg(2, {reg::HEIGHT}));
  const auto first = host.receive_ack();
  const auto second = host.receive_ack();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->id, 2);
  EXPECT_EQ(second->id, 1);
  EXPECT_EQ(second->values(), std::vector<std::uint32_t>{64});
}

TEST_F(VirtualCameraFaults, SilentCameraAnswersNothing) {
  camera->set_silent(true);
  host.send_to(IP, Bytes{0x42, 0x11, 0x00, 0x02, 0x00, 0x00, 0xFF, 0xFF});
  host.send_to(IP, readreg(1, {reg::WIDTH}));
  host.send_to(IP, writereg(2, {{reg::WIDTH, 128}}));
  EXPECT_TRUE(host.quiet());
  camera->set_silent(false);
  // Nothing was executed while silent.
  EXPECT_EQ(host.transact(IP, readreg(3, {reg::WIDTH}))->values(), std::vector<std::uint32_t>{64});
  EXPECT_EQ(camera->status().counters.silenced, 3u);
}

TEST_F(VirtualCameraFaults, InjectedStatusAnswersForTheChosenRegister) {
  camera->inject_status(reg::HEIGHT, InjectedStatus{0x8007, false, true});
  EXPECT_EQ(host.transact(IP, writereg(1, {{reg::HEIGHT, 64}}))->status, 0x8007);
  EXPECT_EQ(host.transact(IP, readreg(2, {reg::HEIGHT}))->status, 0);
  camera->inject_status(reg::USER_DEFINED_NAME, InjectedStatus{0x8FFF, true, true});
  EXPECT_EQ(host.transact(IP, readmem(3, reg::USER_DEFINED_NAME, 16))->status, 0x8FFF);
  camera->clear_faults();
  EXPECT_EQ(host.transact(IP, writereg(4, {{reg::HEIGHT, 64}}))->status, 0);
}

TEST_F(VirtualCameraFaults, RepeatedWriteIsAnsweredWithoutWritingTwice) {
  // A write whose acknowledge is lost is retransmitted with the same bytes.
  // Its visible effect here: the test event command sends one event to the
  // requester (acknowledged here, so that it is not sent again).
  camera->drop_acks(1);
  const Bytes write = writereg(9, {{reg::TEST_EVENT_GENERATE, 1}, {reg::WIDTH, 200}});
  host.send_to(IP, write);
  const auto event = host.receive();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->bytes.at(0), 0x42);
  EXPECT_EQ(get16(event->bytes, 2), 0x00C2);
  Bytes event_ack = {0x00, 0x00, 0x00, 0xC3, 0x00, 0x00};
  put16(event_ack, get16(event->bytes, 6));
  host.send_to(IP, event_ack);
  EXPECT_TRUE(host.quiet(100ms));  // the acknowledge was lost
  const auto ack = host.transact(IP, write);
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->status, 0);
  EXPECT_EQ(ack->id, 9);
  EXPECT_EQ(ack->payload, (Bytes{0, 0, 0, 2}));
  EXPECT_TRUE(host.quiet(200ms));  // no second event
  EXPECT_EQ(camera->status().counters.retransmissions, 1u);
  // A new command with another id is executed again.
  EXPECT_EQ(host.transact(IP, writereg(10, {{reg::WIDTH, 204}}))->status, 0);
  EXPECT_EQ(host.transact(IP, readreg(11, {reg::WIDTH}))->values(), std::vector<std::uint32_t>{204});
}

}  // namespace
}  // namespace corvantic::sim::test
