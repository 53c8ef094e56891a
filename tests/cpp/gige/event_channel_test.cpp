// Device events through the control worker: the message channel socket,
// acknowledges of every copy, delivery once, and bounded subscriptions.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <thread>

#include "fake_device.hpp"
#include "gige/event_subscription.hpp"
#include "gige/gvcp_worker.hpp"
#include "test_address.hpp"

namespace corvantic::gige {
namespace {

using namespace std::chrono_literals;
using testing::FakeDevice;

const std::uint32_t DEVICE_IP = testing::next_test_ip();

// An EVENTDATA with one event record, then `data`.
std::vector<std::uint8_t> eventdata(std::uint16_t request_id, std::uint16_t event_id, std::uint16_t block_id,
                                    std::vector<std::uint8_t> data = {}, std::uint8_t flags = 0x01) {
  std::vector<std::uint8_t> d(8 + 16 + data.size());
  d[0] = 0x42;
  d[1] = flags;
  util::store_be16(&d[2], 0x00C2);
  util::store_be16(&d[4], static_cast<std::uint16_t>(16 + data.size()));
  util::store_be16(&d[6], request_id);
  util::store_be16(&d[10], event_id);
  util::store_be16(&d[12], 0);  // stream channel
  util::store_be16(&d[14], block_id);
  util::store_be64(&d[16], 0x0102030405060708);
  std::ranges::copy(data, d.begin() + 24);
  return d;
}

class WorkerEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    WorkerSettings settings{device_.address(), net::SocketAddress::ipv4(0x7F000001, 0), 2000ms, 0, 60'000};
    auto worker = GvcpWorker::start(settings, stats_);
    ASSERT_TRUE(worker) << worker.error().display();
    worker_ = std::move(*worker);
    auto reply = make_reply_slot<net::SocketAddress>();
    ASSERT_TRUE(worker_->post(request::OpenMessageChannel{net::SocketAddress::ipv4(0x7F000001, 0), reply}));
    auto opened = reply->wait_for(5s);
    ASSERT_TRUE(opened && *opened) << "message channel not opened";
    message_ = **opened;
  }

  // A subscription the worker has taken: a register read posted after it
  // goes out only once the worker took every request before it.
  EventReceiver subscribe(std::size_t capacity) {
    auto ends = make_event_subscription(capacity);
    EXPECT_TRUE(worker_->post(request::SubscribeEvents{std::move(ends.sender)}));
    auto reply = make_reply_slot<std::uint32_t>();
    EXPECT_TRUE(worker_->post(request::ReadRegister{0x0A00, reply}));
    if (auto read = device_.receive()) {
      device_.send(FakeDevice::ack(0, 0x0081, read->request_id(), FakeDevice::words({2})), read->from);
    }
    EXPECT_TRUE(reply->wait_for(5s));
    return std::move(ends.receiver);
  }

  // Sends `datagram` to the message socket and returns the acknowledge.
  std::optional<testing::Command> send_and_await_ack(const std::vector<std::uint8_t>& datagram) {
    device_.send(datagram, message_);
    return device_.receive(2s);
  }

  static EventReceiveResult next(const EventReceiver& events, std::chrono::milliseconds wait = 2000ms) {
    return events.receive_until(EventReceiver::Clock::now() + wait);
  }

  FakeDevice device_{DEVICE_IP};
  std::shared_ptr<SharedLinkStats> stats_ = std::make_shared<SharedLinkStats>();
  std::unique_ptr<GvcpWorker> worker_;
  net::SocketAddress message_;
};

TEST_F(WorkerEvents, TheMessageChannelAcknowledgesEveryCopyAndDeliversTheEventOnce) {
  EXPECT_NE(message_.port(), worker_->local_address().port()) << "a socket of its own";
  const EventReceiver events = subscribe(8);
  const auto datagram = eventdata(0x0100, 0x9001, 7, {0xAA, 0xBB});
  for (int copy = 0; copy < 3; ++copy) {
    const auto ack = send_and_await_ack(datagram);
    ASSERT_TRUE(ack) << "copy " << copy;
    EXPECT_EQ(ack->bytes, (std::vector<std::uint8_t>{0x00, 0x00, 0x00, 0xC3, 0x00, 0x00, 0x01, 0x00}));
    EXPECT_EQ(ack->from, message_) << "answered from the message socket";
  }
  const auto first = next(events);
  ASSERT_EQ(first.status, ReceiveStatus::Received);
  EXPECT_EQ(first.event->command, 0x00C2);
  EXPECT_EQ(first.event->event_id, 0x9001);
  EXPECT_EQ(first.event->block_id, 7);
  EXPECT_EQ(first.event->timestamp, 0x0102030405060708u);
  EXPECT_EQ(std::vector<std::uint8_t>(first.event->data().begin(), first.event->data().end()),
            (std::vector<std::uint8_t>{0xAA, 0xBB}));
  EXPECT_EQ(next(events, 100ms).status, ReceiveStatus::TimedOut) << "copies are not delivered again";
  EXPECT_EQ(stats_->snapshot().events, 3u) << "every copy the device sent is counted";

  // An event that asks for no acknowledge is never resent, so the same id
  // is a new event.
  device_.send(eventdata(0x0100, 0x9002, 8, {}, 0x00), message_);
  EXPECT_EQ(next(events).status, ReceiveStatus::Received);
  EXPECT_EQ(stats_->snapshot().events, 4u);
}

// A copy is a repeat only when it carries the same bytes: a device that
// restarted its request ids sends new events under ids seen before.
TEST_F(WorkerEvents, ADifferentEventUnderARepeatedRequestIdIsDelivered) {
  const EventReceiver events = subscribe(8);
  ASSERT_TRUE(send_and_await_ack(eventdata(0x0200, 0x9001, 1)));
  ASSERT_TRUE(send_and_await_ack(eventdata(0x0200, 0x9001, 2)));
  ASSERT_TRUE(send_and_await_ack(eventdata(0x0200, 0x9001, 1)));  // the first again: a repeat
  for (const std::uint64_t block : {1u, 2u}) {
    const auto got = next(events);
    ASSERT_EQ(got.status, ReceiveStatus::Received);
    EXPECT_EQ(got.event->block_id, block);
  }
  EXPECT_EQ(next(events, 100ms).status, ReceiveStatus::TimedOut);
  EXPECT_EQ(stats_->snapshot().events, 3u);
}

// An EVENT of three records: acknowledged and counted once, each record
// delivered as an event of its own, in order.
TEST_F(WorkerEvents, EachRecordOfAnEventIsDelivered) {
  const EventReceiver events = subscribe(8);
  std::vector<std::uint8_t> datagram(8 + 3 * 16);
  datagram[0] = 0x42;
  datagram[1] = 0x01;
  util::store_be16(&datagram[2], 0x00C0);
  util::store_be16(&datagram[4], 48);
  util::store_be16(&datagram[6], 0x0300);
  for (std::uint16_t i = 0; i < 3; ++i) {
    util::store_be16(&datagram[8 + 16 * i + 2], static_cast<std::uint16_t>(0x9001 + i));
    util::store_be16(&datagram[8 + 16 * i + 6], static_cast<std::uint16_t>(10 + i));
  }
  const auto ack = send_and_await_ack(datagram);
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->bytes, (std::vector<std::uint8_t>{0x00, 0x00, 0x00, 0xC1, 0x00, 0x00, 0x03, 0x00}));
  for (std::uint16_t i = 0; i < 3; ++i) {
    const auto got = next(events);
    ASSERT_EQ(got.status, ReceiveStatus::Received) << i;
    EXPECT_EQ(got.event->event_id, 0x9001 + i);
    EXPECT_EQ(got.event->block_id, 10u + i);
    EXPECT_TRUE(got.event->data().empty());
  }
  EXPECT_EQ(next(events, 100ms).status, ReceiveStatus::TimedOut);
  EXPECT_EQ(stats_->snapshot().events, 1u);
  EXPECT_FALSE(device_.receive(50ms)) << "one acknowledge for the command";
}

TEST_F(WorkerEvents, EverySubscriberSeesEveryEventAndAFullOneDropsAndCounts) {
  // Subscribers are offered an event in the order they came: once `roomy`
  // holds an event, `small` has been offered it.
  const EventReceiver small = subscribe(1);
  const EventReceiver roomy = subscribe(8);
  for (std::uint16_t id = 1; id <= 3; ++id) ASSERT_TRUE(send_and_await_ack(eventdata(id, 0x9001, id)));
  for (std::uint16_t block = 1; block <= 3; ++block) {
    const auto got = next(roomy);
    ASSERT_EQ(got.status, ReceiveStatus::Received);
    EXPECT_EQ(got.event->block_id, block);
  }
  const auto only = next(small);
  ASSERT_EQ(only.status, ReceiveStatus::Received);
  EXPECT_EQ(only.event->block_id, 1);
  EXPECT_EQ(next(small, 50ms).status, ReceiveStatus::TimedOut);
  EXPECT_EQ(small.dropped(), 2u);
  EXPECT_EQ(roomy.dropped(), 0u);
  EXPECT_EQ(stats_->snapshot().events, 3u);
}

TEST_F(WorkerEvents, EventsOnTheControlSocketReachSubscribersToo) {
  const EventReceiver events = subscribe(4);
  device_.send(eventdata(9, 0x9000, 0), worker_->local_address());
  const auto ack = device_.receive(2s);
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->from, worker_->local_address());
  EXPECT_EQ(next(events).status, ReceiveStatus::Received);
}

TEST_F(WorkerEvents, TheEndOfTheWorkerEndsTheSubscriptionsAfterWhatIsQueued) {
  const EventReceiver events = subscribe(4);
  ASSERT_TRUE(send_and_await_ack(eventdata(1, 0x9001, 1)));
  ASSERT_TRUE(send_and_await_ack(eventdata(2, 0x9001, 2)));
  worker_.reset();  // joins the worker, which delivered each event right after acknowledging it
  EXPECT_EQ(next(events).status, ReceiveStatus::Received);
  EXPECT_EQ(next(events).status, ReceiveStatus::Received);
  EXPECT_EQ(next(events).status, ReceiveStatus::Ended);
  EXPECT_TRUE(events.ended());
}

// Readers that let go of their subscriptions free them at once: the worker
// holds on to no sender until an event comes to find it abandoned.
TEST_F(WorkerEvents, SubscriptionsWhoseReadersAreGoneAreLetGoWithoutAnEvent) {
  const EventReceiver kept = subscribe(4);
  {
    const EventReceiver closed = subscribe(4);
    const EventReceiver also_closed = subscribe(4);
    EXPECT_EQ(worker_->event_subscribers(), 3u);
  }
  for (int i = 0; i < 400 && worker_->event_subscribers() != 1; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(worker_->event_subscribers(), 1u);
  EXPECT_EQ(stats_->snapshot().events, 0u);
  ASSERT_TRUE(send_and_await_ack(eventdata(1, 0x9001, 1)));
  EXPECT_EQ(next(kept).status, ReceiveStatus::Received);
}

// A reconnect feeds an earlier connection's subscription from the new one.
TEST(EventSubscription, AFurtherSenderKeepsTheQueueOpenAndOpensAnEndedOneAgain) {
  auto event = std::make_shared<const proto::DeviceEvent>();
  auto ends = make_event_subscription(4);
  std::optional<EventSender> further = another_sender(ends.receiver);
  { EventSender first = std::move(ends.sender); }
  EXPECT_EQ(ends.receiver.receive_until(EventReceiver::Clock::now()).status, ReceiveStatus::TimedOut);
  EXPECT_EQ(further->try_send(event), SendResult::Accepted);
  further.reset();
  EXPECT_EQ(ends.receiver.receive_until(EventReceiver::Clock::now()).status, ReceiveStatus::Received);
  EXPECT_TRUE(ends.receiver.ended());

  const EventSender again = another_sender(ends.receiver);
  EXPECT_FALSE(ends.receiver.ended());
  EXPECT_EQ(again.try_send(event), SendResult::Accepted);
  EXPECT_EQ(ends.receiver.receive_until(EventReceiver::Clock::now()).status, ReceiveStatus::Received);
  EXPECT_FALSE(again.abandoned());
  { EventReceiver gone = std::move(ends.receiver); }
  EXPECT_TRUE(again.abandoned());
  EXPECT_EQ(again.try_send(event), SendResult::ReceiverGone);
}

TEST(EventSubscription, RefusesWhenFullOrUnreadAndEndsWithItsSender) {
  auto event = std::make_shared<const proto::DeviceEvent>();
  auto none = make_event_subscription(0);
  EXPECT_EQ(none.sender.try_send(event), SendResult::Full);
  EXPECT_EQ(none.receiver.dropped(), 1u);

  auto ends = make_event_subscription(2);
  {
    const EventReceiver clone = ends.receiver;
    EXPECT_EQ(ends.sender.try_send(event), SendResult::Accepted);
  }
  EXPECT_FALSE(ends.receiver.ended());
  {
    EventSender sender = std::move(ends.sender);
  }
  EXPECT_EQ(ends.receiver.receive_until(EventReceiver::Clock::now()).status, ReceiveStatus::Received);
  EXPECT_EQ(ends.receiver.receive_until(EventReceiver::Clock::now() + 1s).status, ReceiveStatus::Ended);

  auto unread = make_event_subscription(2);
  { EventReceiver gone = std::move(unread.receiver); }
  EXPECT_EQ(unread.sender.try_send(event), SendResult::ReceiverGone);
}

TEST(EventSubscription, ASlicedWaitEndsWhenTheCheckSaysSo) {
  auto ends = make_event_subscription(1);
  int asked = 0;
  const auto got = receive_until(ends.receiver, EventReceiver::Clock::now() + 10s, [&] { return ++asked == 2; });
  EXPECT_EQ(got.status, ReceiveStatus::Interrupted);
  EXPECT_EQ(asked, 2);
}

}  // namespace
}  // namespace corvantic::gige
