#include "camera/reconnect.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "genicam/features.hpp"
#include "sim/device.hpp"
#include "test_address.hpp"
#include "util/log.hpp"

namespace corvantic::camera {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(ReconnectPause, GrowsFromTheFirstPauseByDoublingUpToTheCap) {
  const struct {
    std::chrono::nanoseconds previous, next;
  } cases[] = {
      {0ns, 100ms},     {-5ms, 100ms},    {100ms, 200ms},   {200ms, 400ms},
      {800ms, 1600ms},  {1200ms, 1600ms}, {1600ms, 1600ms}, {std::chrono::nanoseconds::max(), 1600ms},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(next_reconnect_pause(c.previous), c.next) << c.previous.count() << " ns before";
  }
}

// A camera that goes silent plays one that was switched off; answering again
// with its heartbeat expired (control free) plays its restart.
class ReconnectTest : public ::testing::Test {
 protected:
  static inline const std::string CAMERA_IP = testing::next_test_address();

  void SetUp() override {
    sim::VirtualCameraConfig config;
    config.address = CAMERA_IP;
    config.frame_rate = 100.0;
    camera_ = std::make_unique<sim::VirtualCamera>(config);
    ASSERT_TRUE(camera_->start());
    gige::DriverConfig driver_config;
    driver_config.device = *net::SocketAddress::parse_ip(CAMERA_IP, gige::proto::GVCP_PORT);
    driver_config.local_ip = net::SocketAddress::ipv4(0x7F000001, 0);
    driver_config.gvcp_timeout = 20ms;
    driver_config.retries = 1;
    driver_config.heartbeat_timeout_ms = 90;
    driver_ = std::make_unique<gige::GigeDriver>(driver_config);
    ASSERT_TRUE(driver_->connect());
    ASSERT_TRUE(load_feature_model(device()));
  }

  void TearDown() override {
    if (driver_) driver_->disconnect(1s);
    if (camera_) camera_->stop();
  }

  void lose_control() {
    camera_->set_silent(true);
    for (int i = 0; i < 400 && driver_->is_connected(); ++i) std::this_thread::sleep_for(5ms);
    ASSERT_FALSE(driver_->is_connected());
    ASSERT_TRUE(driver_->link_stats()->control_lost);
  }

  void restart_camera() {
    camera_->expire_heartbeat();
    camera_->set_silent(false);
  }

  std::unique_ptr<sim::VirtualCamera> camera_;
  std::unique_ptr<gige::GigeDriver> driver_;
  genicam::DeviceDescription description_;

  [[nodiscard]] genicam::Device device() { return {*driver_, description_}; }
};

TEST_F(ReconnectTest, ACameraBackWithinTheTimeoutIsAFreshSessionWithItsFeatures) {
  ASSERT_NO_FATAL_FAILURE(lose_control());
  std::jthread restart([this] {
    std::this_thread::sleep_for(400ms);
    restart_camera();
  });
  util::log::ScopedCapture capture;
  const auto reconnected = reconnect(device(), 5s);
  ASSERT_TRUE(reconnected) << reconnected.error().display();
  EXPECT_TRUE(driver_->is_connected());
  EXPECT_FALSE(driver_->link_stats()->control_lost);
  EXPECT_EQ(get_integer(device(), "Width").value_or(-1), static_cast<std::int64_t>(sim::VirtualCameraConfig{}.width));
  const auto failures = capture.sink().with_message("reconnect attempt failed: connect timed out");
  EXPECT_GE(failures.size(), 1u) << "the camera was away for the first attempts";
  EXPECT_EQ(capture.sink().with_message("reconnected").size(), 1u);
}

TEST_F(ReconnectTest, ACameraThatStaysAwayGivesTheLastConnectErrorAtTheDeadline) {
  ASSERT_NO_FATAL_FAILURE(lose_control());
  const auto started = Clock::now();
  const auto reconnected = reconnect(device(), 700ms);
  const auto took = Clock::now() - started;
  ASSERT_FALSE(reconnected);
  ASSERT_EQ(reconnected.error().kind(), GenicamError::Kind::Transport);
  EXPECT_EQ(reconnected.error().transport()->kind(), gige::CameraError::Kind::ConnectTimeout);
  EXPECT_GE(took, 700ms) << "attempts went on until the deadline";
  EXPECT_LT(took, 3s) << "no wait ran far past the deadline";
  EXPECT_FALSE(driver_->is_connected());
}

TEST_F(ReconnectTest, AnInterruptionEndsTheRetriesAtOnce) {
  ASSERT_NO_FATAL_FAILURE(lose_control());
  std::atomic<int> asked = 0;
  const auto reconnected = reconnect(device(), 60s, [&] { return ++asked >= 3; });
  EXPECT_FALSE(reconnected);
  EXPECT_EQ(asked, 3) << "nothing more was waited for once the check said stop";
}

TEST_F(ReconnectTest, ALiveConnectionIsEndedAndReplaced) {
  util::log::ScopedCapture capture;
  const auto reconnected = reconnect(device(), 5s);
  ASSERT_TRUE(reconnected) << reconnected.error().display();
  EXPECT_TRUE(driver_->is_connected());
  // Disconnected as disconnect() does (control released), then a new session.
  EXPECT_EQ(capture.sink().with_message("disconnecting").size(), 1u);
  EXPECT_EQ(capture.sink().with_message("connected").size(), 1u);
}

}  // namespace
}  // namespace corvantic::camera
