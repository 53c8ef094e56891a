#include "gige/gvcp_worker.hpp"

#include <gtest/gtest.h>

#include "allocation_failure.hpp"
#include "fake_device.hpp"
#include "gige/proto/bootstrap.hpp"
#include "gige/gvcp_worker_loop.hpp"
#include "test_address.hpp"
#include "util/log.hpp"

namespace corvantic::gige {
namespace {

using namespace std::chrono_literals;
using testing::FakeDevice;

// Addresses of this process's own (test_address.hpp).
const std::uint32_t DEVICE_IP = testing::next_test_ip();
const std::uint32_t STRANGER_IP = testing::next_test_ip();

class GvcpWorkerTest : public ::testing::Test {
 protected:
  void start(std::chrono::milliseconds gvcp_timeout = 2000ms, std::uint8_t retries = 0,
             std::uint32_t heartbeat_ms = 60'000) {
    WorkerSettings settings{device_.address(), net::SocketAddress::ipv4(0x7F000001, 0), gvcp_timeout, retries,
                            heartbeat_ms};
    auto worker = GvcpWorker::start(settings, stats_);
    ASSERT_TRUE(worker) << worker.error().display();
    worker_ = std::move(*worker);
  }

  template <typename T>
  CameraResult<T> await(const ReplySlot<T>& reply) {
    auto answer = reply->wait_for(5s);
    if (!answer) return std::unexpected(CameraError::ack_timeout());
    return std::move(*answer);
  }

  ReplySlot<std::uint32_t> post_read(std::uint32_t address, Deadline deadline = NO_DEADLINE) {
    auto reply = make_reply_slot<std::uint32_t>();
    EXPECT_TRUE(worker_->post(request::ReadRegister{address, reply, deadline}));
    return reply;
  }

  // Waits (boundedly) until `done()` holds.
  template <typename F>
  static bool eventually(F done) {
    for (int i = 0; i < 600 && !done(); ++i) std::this_thread::sleep_for(5ms);
    return done();
  }

  FakeDevice device_{DEVICE_IP};
  std::shared_ptr<SharedLinkStats> stats_ = std::make_shared<SharedLinkStats>();
  std::unique_ptr<GvcpWorker> worker_;
};

TEST_F(GvcpWorkerTest, ReadRegisterRoundTripCountsCommandAndAck) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto reply = post_read(0x0934);
  auto cmd = device_.receive();
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->bytes, (std::vector<std::uint8_t>{0x42, 0x01, 0x00, 0x80, 0x00, 0x04, 0x00, 0x01, 0, 0, 0x09, 0x34}));
  device_.send(FakeDevice::ack(0, 0x0081, cmd->request_id(), FakeDevice::words({0x12345678})), cmd->from);
  EXPECT_EQ(await(reply).value(), 0x12345678u);
  const LinkStats s = stats_->snapshot();
  EXPECT_EQ(s.commands, 1u);
  EXPECT_EQ(s.acks, 1u);
  EXPECT_EQ(s.unsolicited, 0u);
}

TEST_F(GvcpWorkerTest, ForeignUnsolicitedAndMalformedAcksLeaveTheCommandInFlight) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto reply = post_read(0x0000);
  auto cmd = device_.receive();
  ASSERT_TRUE(cmd);
  FakeDevice stranger(STRANGER_IP);
  const auto good = FakeDevice::ack(0, 0x0081, cmd->request_id(), FakeDevice::words({7}));
  stranger.send(good, cmd->from);                                                          // other IP: ignored
  device_.send(FakeDevice::ack(0, 0x0081, 0, FakeDevice::words({1})), cmd->from);          // wrong id
  device_.send(FakeDevice::ack(0, 0x0081, cmd->request_id(), {}, 40), cmd->from);          // lying length
  device_.send({0x00, 0x00, 0x00}, cmd->from);                                              // too short
  device_.send(good, cmd->from);
  EXPECT_EQ(await(reply).value(), 7u);
  const LinkStats s = stats_->snapshot();
  EXPECT_EQ(s.unsolicited, 1u);
  EXPECT_EQ(s.acks, 1u);
}

TEST_F(GvcpWorkerTest, AcknowledgeFaultsFailTheOperationWithTheirTexts) {
  ASSERT_NO_FATAL_FAILURE(start());
  struct Case {
    std::vector<std::uint8_t> (*answer)(std::uint16_t id);
    std::string text;
  };
  const Case cases[] = {
      {[](std::uint16_t id) { return FakeDevice::ack(0, 0x0083, id); }, "malformed packet: expected ack 0x0081, got 0x0083"},
      {[](std::uint16_t id) { return FakeDevice::ack(0, 0x0081, id, {1, 2}); }, "malformed packet: empty read register ack"},
      {[](std::uint16_t id) { return FakeDevice::ack(0x8003, 0x0081, id); },
       "device answered command 0x0080 with invalid address (0x8003)"},
  };
  for (const auto& c : cases) {
    auto reply = post_read(0x0004);
    auto cmd = device_.receive();
    ASSERT_TRUE(cmd);
    device_.send(c.answer(cmd->request_id()), cmd->from);
    auto result = await(reply);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().display(), c.text);
  }
  EXPECT_EQ(stats_->snapshot().naks, 1u);
}

TEST_F(GvcpWorkerTest, ReadRegistersReportsAWrongValueCount) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto reply = make_reply_slot<std::vector<std::uint32_t>>();
  ASSERT_TRUE(worker_->post(request::ReadRegisters{{0x0000, 0x0A00, 0x0934}, reply}));
  auto cmd = device_.receive();
  ASSERT_TRUE(cmd);
  EXPECT_EQ(std::vector<std::uint8_t>(cmd->bytes.begin(), cmd->bytes.begin() + 8),
            (std::vector<std::uint8_t>{0x42, 0x01, 0x00, 0x80, 0x00, 0x0C, 0x00, 0x01}));
  device_.send(FakeDevice::ack(0, 0x0081, cmd->request_id(), FakeDevice::words({1})), cmd->from);
  const auto answer = await(reply);
  EXPECT_EQ(answer.error().display(), "malformed packet: read register ack carried 1 values, expected 3");
  EXPECT_EQ(answer.error().reason(), CameraError::Reason::WrongValueCount);
}

TEST_F(GvcpWorkerTest, MemoryReadsAreChunkedAndResumeWhereTheDeviceStopped) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto reply = make_reply_slot<std::vector<std::uint8_t>>();
  ASSERT_TRUE(worker_->post(request::ReadMemory{0x10000, 1300, reply}));
  std::vector<std::uint32_t> asked_addresses, asked_counts;
  std::vector<std::uint8_t> expected;
  for (int chunk = 0; chunk < 4; ++chunk) {
    auto cmd = device_.receive();
    ASSERT_TRUE(cmd);
    ASSERT_EQ(cmd->code(), 0x0084);
    asked_addresses.push_back(cmd->word(0));
    asked_counts.push_back(cmd->word(1));
    // The first answer carries only 100 bytes; the client asks again from there.
    const std::size_t give = chunk == 0 ? 100 : cmd->word(1);
    std::vector<std::uint8_t> payload(4 + give);
    util::store_be32(payload.data(), cmd->word(0));
    for (std::size_t i = 0; i < give; ++i) payload[4 + i] = static_cast<std::uint8_t>(cmd->word(0) + i);
    expected.insert(expected.end(), payload.begin() + 4, payload.end());
    device_.send(FakeDevice::ack(0, 0x0085, cmd->request_id(), payload), cmd->from);
  }
  EXPECT_EQ(asked_addresses, (std::vector<std::uint32_t>{0x10000, 0x10064, 0x10264, 0x10464}));
  EXPECT_EQ(asked_counts, (std::vector<std::uint32_t>{512, 512, 512, 176}));
  auto bytes = await(reply);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(*bytes, expected);
  EXPECT_EQ(stats_->snapshot().commands, 4u);
}

TEST_F(GvcpWorkerTest, ShortMemoryReadAsksForAWholeWordAndKeepsTheBytesWanted) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto reply = make_reply_slot<std::vector<std::uint8_t>>();
  ASSERT_TRUE(worker_->post(request::ReadMemory{0x0048, 6, reply}));
  auto cmd = device_.receive();
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->word(1), 8u);
  device_.send(FakeDevice::ack(0, 0x0085, cmd->request_id(), {0, 0, 0, 0x48, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}),
               cmd->from);
  EXPECT_EQ(await(reply).value(), (std::vector<std::uint8_t>{'a', 'b', 'c', 'd', 'e', 'f'}));
}

TEST_F(GvcpWorkerTest, MemoryWritesAreChunkedAt512Bytes) {
  ASSERT_NO_FATAL_FAILURE(start());
  std::vector<std::uint8_t> data(1300);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
  auto reply = make_reply_slot<Unit>();
  ASSERT_TRUE(worker_->post(request::WriteMemory{0x20000, data, reply}));
  std::vector<std::uint8_t> written;
  std::vector<std::uint32_t> addresses;
  for (int chunk = 0; chunk < 3; ++chunk) {
    auto cmd = device_.receive();
    ASSERT_TRUE(cmd);
    ASSERT_EQ(cmd->code(), 0x0086);
    ASSERT_EQ(util::load_be16(&cmd->bytes[4]), cmd->bytes.size() - 8) << "length field covers address and data";
    addresses.push_back(cmd->word(0));
    written.insert(written.end(), cmd->bytes.begin() + 12, cmd->bytes.end());
    device_.send(FakeDevice::ack(0, 0x0087, cmd->request_id(), FakeDevice::words({0})), cmd->from);
  }
  EXPECT_TRUE(await(reply));
  EXPECT_EQ(addresses, (std::vector<std::uint32_t>{0x20000, 0x20200, 0x20400}));
  EXPECT_EQ(written, data);
}

TEST_F(GvcpWorkerTest, ZeroLengthTransfersStillGoOutOnce) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto read = make_reply_slot<std::vector<std::uint8_t>>();
  ASSERT_TRUE(worker_->post(request::ReadMemory{0x100, 0, read}));
  auto cmd = device_.receive();
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->word(1), 0u);
  device_.send(FakeDevice::ack(0, 0x0085, cmd->request_id(), FakeDevice::words({0x100})), cmd->from);
  EXPECT_EQ(await(read).value(), std::vector<std::uint8_t>{});

  auto write = make_reply_slot<Unit>();
  ASSERT_TRUE(worker_->post(request::WriteMemory{0x100, {}, write}));
  cmd = device_.receive();
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->bytes.size(), 12u);
  device_.send(FakeDevice::ack(0x8004, 0x0087, cmd->request_id()), cmd->from);
  EXPECT_EQ(await(write).error().display(), "device answered command 0x0086 with write protect (0x8004)");
}

TEST_F(GvcpWorkerTest, RetransmitsThenTimesOut) {
  ASSERT_NO_FATAL_FAILURE(start(30ms, 2));
  auto reply = post_read(0x0000);
  std::vector<std::uint16_t> ids;
  while (auto cmd = device_.receive(300ms)) ids.push_back(cmd->request_id());
  EXPECT_EQ(ids, (std::vector<std::uint16_t>{1, 1, 1}));
  EXPECT_EQ(await(reply).error().kind(), CameraError::Kind::AckTimeout);
  const LinkStats s = stats_->snapshot();
  EXPECT_EQ(s.commands, 1u);
  EXPECT_EQ(s.retries, 2u);
  EXPECT_EQ(s.timeouts, 1u);
}

TEST_F(GvcpWorkerTest, PendingAckExtendsTheDeadlineWithoutRetransmission) {
  ASSERT_NO_FATAL_FAILURE(start(30ms, 1));
  auto reply = post_read(0x0000);
  auto cmd = device_.receive();
  ASSERT_TRUE(cmd);
  device_.send(FakeDevice::ack(0, 0x0089, cmd->request_id(), FakeDevice::words({400})), cmd->from);
  EXPECT_FALSE(device_.receive(200ms)) << "retransmitted during the pending time";
  device_.send(FakeDevice::ack(0, 0x0081, cmd->request_id(), FakeDevice::words({9})), cmd->from);
  EXPECT_EQ(await(reply).value(), 9u);
  const LinkStats s = stats_->snapshot();
  EXPECT_EQ(s.pending_acks, 1u);
  EXPECT_EQ(s.retries, 0u);
}

TEST_F(GvcpWorkerTest, EventsAreAcknowledgedWhenAskedAndCounted) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto worker_address = [&] {
    auto reply = post_read(0);
    auto cmd = device_.receive();
    device_.send(FakeDevice::ack(0, 0x0081, cmd->request_id(), FakeDevice::words({0})), cmd->from);
    (void)await(reply);
    return cmd->from;
  }();
  std::vector<std::uint8_t> event = {0x42, 0x01, 0x00, 0xC0, 0x00, 0x10, 0x12, 0x34};
  event.resize(8 + 16);
  device_.send(event, worker_address);
  auto ack = device_.receive();
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->bytes, (std::vector<std::uint8_t>{0x00, 0x00, 0x00, 0xC1, 0x00, 0x00, 0x12, 0x34}));
  event[1] = 0x00;  // no acknowledge wanted
  device_.send(event, worker_address);
  EXPECT_FALSE(device_.receive(100ms));
  EXPECT_EQ(stats_->snapshot().events, 2u);
}

TEST_F(GvcpWorkerTest, ShutdownFailsPendingOperationsAndReleasesControl) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto in_flight = post_read(0x0000);
  auto queued = post_read(0x0004);
  ASSERT_TRUE(device_.receive());
  // The worker may have stopped by the time post() looks again, so its answer is not checked.
  (void)worker_->post(request::Shutdown{});
  EXPECT_EQ(await(in_flight).error().kind(), CameraError::Kind::NotConnected);
  EXPECT_EQ(await(queued).error().kind(), CameraError::Kind::NotConnected);
  auto release = device_.receive();
  ASSERT_TRUE(release);
  EXPECT_EQ(release->code(), 0x0082);
  EXPECT_EQ(release->word(0), proto::REG_CCP);
  EXPECT_EQ(release->word(1), 0u);
  for (int i = 0; i < 100 && worker_->running(); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_FALSE(worker_->running());
  auto late = make_reply_slot<std::uint32_t>();
  EXPECT_FALSE(worker_->post(request::ReadRegister{0, late}));
}

TEST_F(GvcpWorkerTest, UnansweredHeartbeatEndsTheWorkerWithControlLost) {
  util::log::ScopedCapture capture;
  ASSERT_NO_FATAL_FAILURE(start(20ms, 1, 60));  // heartbeat every 20 ms
  auto heartbeat = device_.receive();
  ASSERT_TRUE(heartbeat);
  EXPECT_EQ(heartbeat->code(), 0x0080);
  EXPECT_EQ(heartbeat->word(0), proto::REG_CCP);
  for (int i = 0; i < 200 && worker_->running(); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_FALSE(worker_->running());
  EXPECT_TRUE(stats_->snapshot().control_lost);
  EXPECT_EQ(capture.sink().with_message("heartbeat timed out, considering control lost").size(), 1u);
  // No release write after a control loss.
  while (auto cmd = device_.receive(50ms)) EXPECT_NE(cmd->code(), 0x0082);
}

TEST_F(GvcpWorkerTest, HeartbeatSeeingTheControlBitClearedLosesControl) {
  util::log::ScopedCapture capture;
  ASSERT_NO_FATAL_FAILURE(start(2000ms, 0, 60));
  auto heartbeat = device_.receive();
  ASSERT_TRUE(heartbeat);
  device_.send(FakeDevice::ack(0, 0x0081, heartbeat->request_id(), FakeDevice::words({0})), heartbeat->from);
  for (int i = 0; i < 200 && worker_->running(); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_FALSE(worker_->running());
  EXPECT_EQ(stats_->snapshot().heartbeats, 1u);
  EXPECT_EQ(capture.sink().with_message("device control was lost (CCP cleared)").size(), 1u);
}

TEST_F(GvcpWorkerTest, RejectedHeartbeatLosesControlAndStillReleasesIt) {
  util::log::ScopedCapture capture;
  ASSERT_NO_FATAL_FAILURE(start(2000ms, 0, 60));
  auto heartbeat = device_.receive();
  ASSERT_TRUE(heartbeat);
  ASSERT_EQ(heartbeat->word(0), proto::REG_CCP);
  device_.send(FakeDevice::ack(0x8006, 0x0081, heartbeat->request_id()), heartbeat->from);
  // The device answered, so it may still count this host as the holder.
  auto release = device_.receive();
  ASSERT_TRUE(release);
  EXPECT_EQ(release->code(), 0x0082);
  EXPECT_EQ(release->word(0), proto::REG_CCP);
  EXPECT_EQ(release->word(1), 0u);
  ASSERT_TRUE(eventually([&] { return !worker_->running(); }));
  const LinkStats s = stats_->snapshot();
  EXPECT_TRUE(s.control_lost);
  EXPECT_EQ(s.naks, 1u);
  EXPECT_EQ(s.heartbeats, 0u);
  EXPECT_EQ(capture.sink().with_message("heartbeat rejected with access denied (0x8006), control lost").size(), 1u);
}

// A device announcing a pending time of 0xFFFFFFFF ms holds a command only
// until its caller stops waiting; the channel then serves the next command
// and heartbeats go out again.
TEST_F(GvcpWorkerTest, EndlessPendingIsGivenUpAtTheCallersDeadline) {
  ASSERT_NO_FATAL_FAILURE(start(2000ms, 4, 300));  // heartbeat every 100 ms
  std::atomic<bool> stalled_answered{false};
  std::jthread responder([&](std::stop_token stop) {
    while (!stop.stop_requested()) {
      auto cmd = device_.receive(50ms);
      if (!cmd) continue;
      const std::uint16_t id = cmd->request_id();
      if (cmd->word(0) == 0x0004) {
        device_.send(FakeDevice::ack(0, 0x0089, id, FakeDevice::words({0xFFFFFFFF})), cmd->from);
        stalled_answered = true;
      } else {
        const std::uint32_t value = cmd->word(0) == proto::REG_CCP ? proto::CCP_CONTROL : 0x77;
        device_.send(FakeDevice::ack(0, 0x0081, id, FakeDevice::words({value})), cmd->from);
      }
    }
  });
  auto stalled = post_read(0x0004, std::chrono::steady_clock::now() + 300ms);
  EXPECT_EQ(await(stalled).error().kind(), CameraError::Kind::AckTimeout);
  EXPECT_TRUE(stalled_answered);
  ASSERT_TRUE(eventually([&] { return stats_->snapshot().timeouts == 1; })) << "the command stays in flight";
  const std::uint64_t heartbeats = stats_->snapshot().heartbeats;
  EXPECT_TRUE(eventually([&] { return stats_->snapshot().heartbeats > heartbeats; })) << "no heartbeat went out";
  EXPECT_EQ(await(post_read(0x0008)).value(), 0x77u);
  EXPECT_TRUE(worker_->running());
  const LinkStats s = stats_->snapshot();
  EXPECT_EQ(s.pending_acks, 1u);
  EXPECT_EQ(s.retries, 0u);
  EXPECT_FALSE(s.control_lost);
}

// A device that keeps re-announcing a pending acknowledge before the last
// one runs out: the first announcement is free, each further one uses up a
// retry, and with none left the command times out.
TEST_F(GvcpWorkerTest, RepeatedPendingsCountAgainstTheRetries) {
  ASSERT_NO_FATAL_FAILURE(start(2000ms, 2));
  auto reply = post_read(0x0004);
  auto cmd = device_.receive();
  ASSERT_TRUE(cmd);
  std::optional<CameraResult<std::uint32_t>> answer;
  for (int i = 0; i < 200 && !answer; ++i) {
    device_.send(FakeDevice::ack(0, 0x0089, cmd->request_id(), FakeDevice::words({60})), cmd->from);
    answer = reply->wait_for(20ms);
  }
  ASSERT_TRUE(answer) << "re-announced pending acknowledges keep the command alive without end";
  EXPECT_EQ(answer->error().kind(), CameraError::Kind::AckTimeout);
  const LinkStats s = stats_->snapshot();
  EXPECT_EQ(s.timeouts, 1u);
  EXPECT_EQ(s.retries, 0u) << "nothing was retransmitted: every deadline was a pending one";
  EXPECT_GE(s.pending_acks, 4u) << "one free announcement and one per retry";
  EXPECT_FALSE(device_.receive(50ms)) << "no retransmission";
}

// Time-outs as large as Python accepts do not wrap the worker's deadlines
// into the past: the command is not retransmitted at once.
TEST_F(GvcpWorkerTest, HugeAcknowledgeTimeoutDoesNotRetransmitAtOnce) {
  WorkerSettings settings{device_.address(), net::SocketAddress::ipv4(0x7F000001, 0),
                          std::chrono::nanoseconds(5'000'000'000'000'000'000), 4, 60'000};
  auto worker = GvcpWorker::start(settings, stats_);
  ASSERT_TRUE(worker);
  worker_ = std::move(*worker);
  auto reply = post_read(0x0000);
  auto cmd = device_.receive();
  ASSERT_TRUE(cmd);
  EXPECT_FALSE(device_.receive(100ms)) << "retransmitted although the time-out is years away";
  device_.send(FakeDevice::ack(0, 0x0081, cmd->request_id(), FakeDevice::words({5})), cmd->from);
  EXPECT_EQ(await(reply).value(), 5u);
  EXPECT_EQ(stats_->snapshot().retries, 0u);
}

// An op whose caller gave up while it waited in the queue is not sent.
TEST_F(GvcpWorkerTest, OpsWhoseCallerGaveUpInTheQueueAreNotSent) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto expired = post_read(0x0004, std::chrono::steady_clock::now() - 1ms);
  EXPECT_EQ(await(expired).error().kind(), CameraError::Kind::AckTimeout);
  auto live = post_read(0x0008);
  auto cmd = device_.receive();
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->word(0), 0x0008u);
  device_.send(FakeDevice::ack(0, 0x0081, cmd->request_id(), FakeDevice::words({1})), cmd->from);
  EXPECT_EQ(await(live).value(), 1u);
  EXPECT_EQ(stats_->snapshot().commands, 1u);
}

// A heartbeat that falls due while a memory chunk is in flight goes out
// before the next chunk, and the transfer then resumes where it was. (The
// chunk is answered well within the heartbeat time-out: a device silent
// for all of it would lose control.)
TEST_F(GvcpWorkerTest, HeartbeatDueDuringAMemoryTransferGoesBeforeTheNextChunk) {
  ASSERT_NO_FATAL_FAILURE(start(2000ms, 0, 600));  // heartbeat every 200 ms
  auto reply = make_reply_slot<std::vector<std::uint8_t>>();
  ASSERT_TRUE(worker_->post(request::ReadMemory{0x10000, 1024, reply}));
  auto answer = [&](const testing::Command& cmd) {
    if (cmd.code() == 0x0080) {
      device_.send(FakeDevice::ack(0, 0x0081, cmd.request_id(), FakeDevice::words({proto::CCP_CONTROL})), cmd.from);
      return;
    }
    std::vector<std::uint8_t> payload(4 + cmd.word(1), 0xAB);
    util::store_be32(payload.data(), cmd.word(0));
    device_.send(FakeDevice::ack(0, 0x0085, cmd.request_id(), payload), cmd.from);
  };
  // Skip to the first chunk, answering heartbeats on the way.
  std::optional<testing::Command> cmd;
  while ((cmd = device_.receive()) && cmd->code() != 0x0084) answer(*cmd);
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->word(0), 0x10000u);
  std::this_thread::sleep_for(250ms);  // a heartbeat falls due while the chunk is in flight
  answer(*cmd);
  auto next = device_.receive();
  ASSERT_TRUE(next);
  EXPECT_EQ(next->code(), 0x0080) << "the heartbeat goes first";
  EXPECT_EQ(next->word(0), proto::REG_CCP);
  answer(*next);
  while ((cmd = device_.receive()) && cmd->code() != 0x0084) answer(*cmd);
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->word(0), 0x10200u) << "the transfer resumes where it stopped";
  answer(*cmd);
  const auto bytes = await(reply);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(*bytes, std::vector<std::uint8_t>(1024, 0xAB));
}

// An allocation failure on the worker thread fails the operation that
// needed the memory, with Io "out of memory", instead of ending the
// process; the worker goes on serving.
TEST_F(GvcpWorkerTest, AllocationFailureFailsTheOperationAndTheWorkerGoesOn) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto reply = make_reply_slot<std::vector<std::uint8_t>>();
  {
    testing::FailLargeAllocations guard("corvantic-gvcp", 64 * 1024);
    ASSERT_TRUE(worker_->post(request::ReadMemory{0x10000, 200'000, reply}));
    while (auto cmd = device_.receive(200ms)) {
      if (cmd->code() != 0x0084) continue;
      std::vector<std::uint8_t> payload(4 + cmd->word(1));
      util::store_be32(payload.data(), cmd->word(0));
      device_.send(FakeDevice::ack(0, 0x0085, cmd->request_id(), payload), cmd->from);
    }
    EXPECT_GE(guard.refused(), 1u);
  }
  const auto failed = await(reply);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().display(), "io error: out of memory");
  EXPECT_EQ(failed.error().os_error(), ENOMEM);
  EXPECT_TRUE(worker_->running());
  auto next = post_read(0x0008);
  auto cmd = device_.receive();
  ASSERT_TRUE(cmd);
  device_.send(FakeDevice::ack(0, 0x0081, cmd->request_id(), FakeDevice::words({3})), cmd->from);
  EXPECT_EQ(await(next).value(), 3u);
}

// The loop driven by hand with time passed in, against a device address no
// datagram can be sent to: a send to port 0 fails (EINVAL) as a send over a
// link that is down fails (ENETUNREACH).
class GvcpWorkerLoopTest : public ::testing::Test {
 protected:
  using Clock = GvcpWorkerLoop::Clock;

  GvcpWorkerLoopTest() {
    shared_->stats = std::make_shared<SharedLinkStats>();
    auto socket = net::UdpSocket::bind(net::SocketAddress::ipv4(0x7F000001, 0)).value();
    EXPECT_TRUE(socket.set_nonblocking(true));
    const WorkerSettings settings{net::SocketAddress::ipv4(0x7F000001, 0), net::SocketAddress::ipv4(0x7F000001, 0),
                                  20ms, 2, HEARTBEAT_TIMEOUT_MS};
    loop_.emplace(settings, std::move(socket), net::Poller::create().value(), shared_);
  }

  static constexpr std::uint32_t HEARTBEAT_TIMEOUT_MS = 300;
  const Clock::time_point start_ = Clock::now();
  std::shared_ptr<GvcpWorker::Shared> shared_ = std::make_shared<GvcpWorker::Shared>();
  std::optional<GvcpWorkerLoop> loop_;
};

TEST_F(GvcpWorkerLoopTest, AHeartbeatThatCannotBeSentCountsAsUnansweredAndLosesControlInTime) {
  util::log::ScopedCapture capture;
  auto now = start_;
  while (!loop_->control_lost() && now < start_ + std::chrono::milliseconds(HEARTBEAT_TIMEOUT_MS)) {
    now += 5ms;
    loop_->run_timers(now);
  }
  EXPECT_TRUE(loop_->control_lost()) << "control still held a heartbeat time-out after the link went";
  const LinkStats s = shared_->stats->snapshot();
  EXPECT_EQ(s.commands, 0u) << "nothing went out";
  EXPECT_EQ(s.retries, 2u);
  EXPECT_EQ(s.timeouts, 1u);
  EXPECT_EQ(capture.sink().with_message("heartbeat send failed: Invalid argument").size(), 1u);
  EXPECT_EQ(capture.sink().with_message("heartbeat timed out, considering control lost").size(), 1u);
}

// With any acknowledge time-out and retry count, a device that answers
// nothing loses control no later than the heartbeat time-out after it last
// answered (with the defaults the retries alone would run half a second
// past it), also while commands hold the channel so that no heartbeat goes
// out: their silence counts as the heartbeats'.
TEST(GvcpWorkerLoopHeartbeat, ControlIsLostWithinTheHeartbeatTimeoutWhateverTheRetries) {
  struct Case {
    std::chrono::milliseconds gvcp_timeout;
    std::uint8_t retries;
    std::uint32_t heartbeat_timeout_ms;
  };
  for (const bool commands : {false, true}) {
    for (const Case& c : {Case{500ms, 4, 3000}, Case{200ms, 9, 1000}, Case{20ms, 2, 300}, Case{100ms, 0, 3000},
                          Case{1000ms, 0, 3000}}) {
      SCOPED_TRACE(std::to_string(c.gvcp_timeout.count()) + " ms x " + std::to_string(c.retries) + ", " +
                   std::to_string(c.heartbeat_timeout_ms) + (commands ? " ms, commands" : " ms"));
      auto shared = std::make_shared<GvcpWorker::Shared>();
      shared->stats = std::make_shared<SharedLinkStats>();
      // A device that takes every datagram and answers none.
      auto device = net::UdpSocket::bind(net::SocketAddress::ipv4(0x7F000001, 0)).value();
      auto socket = net::UdpSocket::bind(net::SocketAddress::ipv4(0x7F000001, 0)).value();
      ASSERT_TRUE(socket.set_nonblocking(true));
      GvcpWorkerLoop loop(WorkerSettings{device.local_address().value(), net::SocketAddress::ipv4(0x7F000001, 0),
                                         c.gvcp_timeout, c.retries, c.heartbeat_timeout_ms},
                          std::move(socket), net::Poller::create().value(), shared);
      // Taken after the loop started its clock: the device "last answered"
      // no later than this.
      const auto start = GvcpWorkerLoop::Clock::now();
      const auto limit = start + std::chrono::milliseconds(c.heartbeat_timeout_ms) + 5ms;
      auto now = start;
      while (!loop.control_lost() && now < limit + 10s) {
        if (commands && !loop.in_flight()) {
          util::MutexLock lock(shared->queue_mutex);
          shared->queue.push_back(request::ReadRegister{0x0A00, make_reply_slot<std::uint32_t>()});
        }
        ASSERT_TRUE(loop.take_requests());
        now += 5ms;
        loop.run_timers(now);
      }
      EXPECT_TRUE(loop.control_lost());
      EXPECT_LE(now, limit);
      EXPECT_EQ(shared->stats->snapshot().heartbeats, 0u);
    }
  }
}

TEST_F(GvcpWorkerLoopTest, AUserCommandThatCannotBeSentFailsAtOnceWithTheSendError) {
  auto reply = make_reply_slot<std::uint32_t>();
  {
    util::MutexLock lock(shared_->queue_mutex);
    shared_->queue.push_back(request::ReadRegister{0x0934, reply});
  }
  ASSERT_TRUE(loop_->take_requests());
  loop_->run_timers(start_);
  const auto answer = reply->wait_for(0ms);
  ASSERT_TRUE(answer);
  ASSERT_FALSE(*answer);
  EXPECT_EQ(answer->error().os_error(), EINVAL);
  EXPECT_FALSE(loop_->in_flight());
  EXPECT_FALSE(loop_->control_lost());
}

TEST(ErrorFromException, AllocationFailuresAreOutOfMemoryAndOthersInternal) {
  EXPECT_EQ(error_from_exception(std::make_exception_ptr(std::bad_alloc())).display(), "io error: out of memory");
  EXPECT_EQ(error_from_exception(std::make_exception_ptr(std::length_error("vector"))).display(),
            "io error: out of memory");
  EXPECT_EQ(error_from_exception(std::make_exception_ptr(std::runtime_error("boom"))).display(),
            "malformed packet: internal failure: boom");
  EXPECT_EQ(error_from_exception(std::make_exception_ptr(7)).display(), "malformed packet: internal failure");
}

TEST(HeartbeatInterval, IsAThirdOfTheTimeoutWithin10msAnd1s) {
  EXPECT_EQ(heartbeat_interval(3000), 1000ms);
  EXPECT_EQ(heartbeat_interval(20), 10ms);
  EXPECT_EQ(heartbeat_interval(60'000), 1000ms);
  EXPECT_EQ(heartbeat_interval(300), 100ms);
}

}  // namespace
}  // namespace corvantic::gige
