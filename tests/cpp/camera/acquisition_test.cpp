#include "camera/acquisition.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "genicam/features.hpp"
#include "gige/proto/gvcp_status.hpp"
#include "gige/stream/buffer_pool.hpp"
#include "gige/stream/pool_frames.hpp"
#include "sim/device.hpp"
#include "sim/register_layout.hpp"
#include "test_address.hpp"
#include "util/log.hpp"

namespace corvantic::camera {
namespace {

using namespace std::chrono_literals;
using gige::stream::ReceiveStatus;
using util::log::Level;

constexpr std::uint32_t SCP0 = 0x0D00;
constexpr std::uint16_t ACCESS_DENIED = 0x8006;

using Clock = gige::stream::FrameReceiver::Clock;
constexpr auto FOREVER = Clock::time_point::max();

// A FrameSource's wait ends once control of its connection is lost.
TEST(FrameSource, AWaitEndsOnceControlIsLostAfterTheQueuedFrames) {
  auto pool = gige::stream::BufferPool::create(2, 4);
  auto [sender, receiver] = gige::stream::make_subscription(2);
  auto link = std::make_shared<gige::SharedLinkStats>();
  const FrameSource frames{receiver, nullptr, link};
  ASSERT_EQ(sender.try_send(corvantic::testing::close_frame(*pool, 7)), gige::stream::SendResult::Accepted);
  link->set_control_lost();
  EXPECT_TRUE(frames.control_lost());
  const gige::stream::ReceiveResult queued = frames.receive_until(FOREVER, {});
  ASSERT_EQ(queued.status, ReceiveStatus::Received);
  EXPECT_EQ(queued.frame.frame_id(), 7u);
  // The sender is still there: only the loss can end this wait.
  bool asked = false;
  const auto ask = [&] {
    asked = true;
    return false;
  };
  EXPECT_EQ(frames.receive_until(FOREVER, ask).status, ReceiveStatus::Ended);
  EXPECT_FALSE(asked);  // a loss needs no interruption check
}

TEST(FrameSource, WithoutALossTheWaitRunsItsCourse) {
  auto [sender, receiver] = gige::stream::make_subscription(2);
  const FrameSource linked{receiver, nullptr, std::make_shared<gige::SharedLinkStats>()};
  const FrameSource unlinked{receiver, nullptr, nullptr};
  for (const FrameSource* frames : {&linked, &unlinked}) {
    EXPECT_FALSE(frames->control_lost());
    EXPECT_EQ(frames->receive_until(Clock::now() + 150ms, {}).status, ReceiveStatus::TimedOut);
    EXPECT_EQ(frames->receive_until(FOREVER, [] { return true; }).status, ReceiveStatus::Interrupted);
  }
}

class AcquisitionTest : public ::testing::Test {
 protected:
  static inline const std::string CAMERA_IP = testing::next_test_address();

  void start(sim::VirtualCameraConfig config = {}) {
    config.address = CAMERA_IP;
    config.frame_rate = 100.0;
    camera_ = std::make_unique<sim::VirtualCamera>(config);
    ASSERT_TRUE(camera_->start());
    gige::DriverConfig driver_config;
    driver_config.device = *net::SocketAddress::parse_ip(CAMERA_IP, gige::proto::GVCP_PORT);
    driver_config.local_ip = net::SocketAddress::ipv4(0x7F000001, 0);
    driver_ = std::make_unique<gige::GigeDriver>(driver_config);
    ASSERT_TRUE(driver_->connect());
    const auto loaded = load_feature_model(device());
    ASSERT_TRUE(loaded) << loaded.error().display();
  }

  void TearDown() override {
    if (driver_) driver_->disconnect(2s);
    if (camera_) camera_->stop();
  }

  void refuse_writes(std::uint32_t address) {
    camera_->inject_status(address, sim::InjectedStatus{ACCESS_DENIED, false, true});
  }

  [[nodiscard]] std::uint32_t reg(std::uint32_t address) { return driver_->read_register(address).value_or(0xDEAD); }
  [[nodiscard]] bool acquiring() { return camera_->status().acquisition_active; }
  [[nodiscard]] std::uint64_t device_commands() { return camera_->status().counters.commands; }

  std::unique_ptr<sim::VirtualCamera> camera_;
  std::unique_ptr<gige::GigeDriver> driver_;
  genicam::DeviceDescription description_;

  [[nodiscard]] genicam::Device device() { return {*driver_, description_}; }
};

TEST_F(AcquisitionTest, StartDeliversFromTheFirstFrameAndStopUndoesIt) {
  start();
  auto stream = start_acquisition(device(), {});
  ASSERT_TRUE(stream) << stream.error().display();
  EXPECT_EQ(reg(sim::reg::TL_PARAMS_LOCKED), 1u);
  const auto first = stream->frames.receiver.receive_for(5s);
  ASSERT_EQ(first.status, ReceiveStatus::Received);
  EXPECT_EQ(first.frame.frame_id(), 1u);
  const gige::stream::FrameReceiver frames = stream->frames.receiver;
  ASSERT_TRUE(stop_acquisition(device(), std::move(*stream)));
  EXPECT_FALSE(acquiring());
  EXPECT_EQ(reg(sim::reg::TL_PARAMS_LOCKED), 0u);
  EXPECT_EQ(reg(SCP0), 0u);
  // The worker is gone: what is left drains, then the queue ends.
  while (frames.try_receive()) {
  }
  EXPECT_EQ(frames.receive_for(5s).status, ReceiveStatus::Ended);
}

TEST_F(AcquisitionTest, AFailedStartUnlocksAndClosesAndReturnsItsError) {
  start();
  refuse_writes(sim::reg::ACQUISITION_START);
  auto stream = start_acquisition(device(), {});
  ASSERT_FALSE(stream);
  ASSERT_NE(stream.error().transport(), nullptr);
  EXPECT_NE(stream.error().display().find("0x8006"), std::string::npos) << stream.error().display();
  EXPECT_EQ(reg(sim::reg::TL_PARAMS_LOCKED), 0u);
  EXPECT_EQ(reg(SCP0), 0u);
}

TEST_F(AcquisitionTest, TransportLockFailuresAreLoggedNotReturned) {
  start();
  refuse_writes(sim::reg::TL_PARAMS_LOCKED);
  util::log::ScopedCapture capture;
  auto stream = start_acquisition(device(), {});
  ASSERT_TRUE(stream) << stream.error().display();
  const auto stopped = stop_acquisition(device(), std::move(*stream));
  EXPECT_TRUE(stopped);
  for (const char* prefix : {"TLParamsLocked not set: ", "TLParamsLocked not cleared: "}) {
    int found = 0;
    for (const auto& event : capture.sink().events()) {
      if (event.message.rfind(prefix, 0) != 0) continue;
      ++found;
      EXPECT_EQ(event.level, Level::Debug);
      EXPECT_EQ(event.target, util::log::target::GENICAM_SNAPSHOT);
      EXPECT_NE(event.message.find("0x8006"), std::string::npos) << event.message;
    }
    EXPECT_EQ(found, 1) << prefix;
  }
}

TEST_F(AcquisitionTest, StopReturnsTheAcquisitionStopErrorAfterCleaningUp) {
  start();
  auto stream = start_acquisition(device(), {});
  ASSERT_TRUE(stream);
  refuse_writes(sim::reg::ACQUISITION_STOP);
  const auto stopped = stop_acquisition(device(), std::move(*stream));
  ASSERT_FALSE(stopped);
  EXPECT_NE(stopped.error().display().find("0x8006"), std::string::npos);
  EXPECT_EQ(reg(sim::reg::TL_PARAMS_LOCKED), 0u);
  EXPECT_EQ(reg(SCP0), 0u);
}

TEST_F(AcquisitionTest, AnAbandonedStreamOnlyStopsItsWorker) {
  start();
  auto stream = start_acquisition(device(), {});
  ASSERT_TRUE(stream);
  const gige::stream::FrameReceiver frames = stream->frames.receiver;
  util::log::ScopedCapture capture;
  const auto commands = device_commands();
  abandon_stream(std::move(*stream), ACQUISITION_ABANDONED);
  EXPECT_EQ(device_commands(), commands);  // the device was not touched
  EXPECT_TRUE(acquiring());
  const auto warnings = capture.sink().with_message(ACQUISITION_ABANDONED);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].level, Level::Warn);
  while (frames.try_receive()) {
  }
  EXPECT_EQ(frames.receive_for(5s).status, ReceiveStatus::Ended);
}

TEST_F(AcquisitionTest, ASessionSnapWhoseStartFailsSendsNothingElse) {
  start();
  auto session = open_snapshot_session(device(), {});
  ASSERT_TRUE(session) << session.error().display();
  EXPECT_TRUE(session->single_frame);
  EXPECT_EQ(session->previous_mode, "Continuous");
  refuse_writes(sim::reg::ACQUISITION_START);
  const auto commands = device_commands();
  const auto snapped = snap(device(), *session, 1s);
  ASSERT_FALSE(snapped);
  EXPECT_EQ(device_commands(), commands + 1);
  camera_->clear_statuses();
  close_snapshot_session(device(), std::move(*session));
  EXPECT_EQ(reg(sim::reg::ACQUISITION_MODE), 0u);
}

TEST_F(AcquisitionTest, AnInterruptedSnapStopsTheCameraAndEndsAsTimedOut) {
  sim::VirtualCameraConfig config;
  config.single_frame_entry = false;  // the camera streams until stopped
  start(config);
  camera_->set_stream_faults(0, sim::StreamFaults{.loss = 1.0});
  int asked = 0;
  const auto snapped = snap_once(device(), {}, 60s, [&asked] { return ++asked == 2; });
  ASSERT_FALSE(snapped);
  EXPECT_EQ(snapped.error(), GenicamError::snap_timeout());
  EXPECT_EQ(asked, 2);
  EXPECT_FALSE(acquiring());
  EXPECT_EQ(reg(sim::reg::TL_PARAMS_LOCKED), 0u);
}

TEST_F(AcquisitionTest, ASessionSnapNeverReturnsTheFrameOfAnEarlierTrigger) {
  start();
  gige::StreamOptions options;
  options.packet_size = 576;  // 8 packets a frame
  options.no_resend = true;
  auto session = open_snapshot_session(device(), options);
  ASSERT_TRUE(session) << session.error().display();
  // The first trigger's frame loses packets and is still open when its snap
  // gives up; it closes (MissingPackets) once the next trigger's frame
  // begins, and reaches the queue during the second snap.
  camera_->set_stream_faults(0, sim::StreamFaults{.loss = 0.5, .seed = 5});
  const auto first = snap(device(), *session, 30ms);
  ASSERT_FALSE(first);
  camera_->set_stream_faults(0, sim::StreamFaults{});
  util::log::ScopedCapture capture;
  const auto second = snap(device(), *session, 5s);
  ASSERT_TRUE(second) << second.error().display();
  EXPECT_EQ(second->status(), gige::stream::FrameStatus::Complete);
  const auto dropped = capture.sink().with_message("discarding a frame of an earlier trigger");
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0].fields, (std::vector<util::log::Field>{{"frame_id", std::to_string(second->frame_id() - 1)}}));
  close_snapshot_session(device(), std::move(*session));
}

TEST_F(AcquisitionTest, ASnapOnACameraThatCannotSwitchModeRestoresNothing) {
  start();
  refuse_writes(sim::reg::ACQUISITION_MODE);
  util::log::ScopedCapture capture;
  auto session = open_snapshot_session(device(), {});
  ASSERT_TRUE(session);
  EXPECT_FALSE(session->single_frame);
  EXPECT_FALSE(session->previous_mode);
  const auto logged = capture.sink().events();
  const bool found = std::any_of(logged.begin(), logged.end(), [](const auto& event) {
    return event.message.rfind("SingleFrame mode unavailable, stopping per snap: ", 0) == 0 &&
           event.level == Level::Debug;
  });
  EXPECT_TRUE(found);
  const auto frame = snap(device(), *session, 5s);
  ASSERT_TRUE(frame) << frame.error().display();
  EXPECT_FALSE(acquiring());  // stopped after the frame
  close_snapshot_session(device(), std::move(*session));
}

}  // namespace
}  // namespace corvantic::camera
