#include "camera/camera.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "sim/device.hpp"
#include "test_address.hpp"
#include "util/log.hpp"

namespace corvantic::camera {
namespace {

using namespace std::chrono_literals;

// What a call returned, as the tests compare it: "ok", "busy: <activity>",
// "ended" or the error's text.
template <typename T>
std::string outcome(const Result<T>& result) {
  if (result) return "ok";
  if (const auto* busy = std::get_if<Busy>(&result.error())) return "busy: " + std::string(busy->activity);
  if (std::holds_alternative<Ended>(result.error())) return "ended";
  return std::get<GenicamError>(result.error()).display();
}

class CameraTest : public ::testing::Test {
 protected:
  static inline const std::string CAMERA_IP = testing::next_test_address();

  void SetUp() override {
    sim::VirtualCameraConfig config;
    config.address = CAMERA_IP;
    config.frame_rate = 50.0;
    config.single_frame_entry = single_frame_entry();
    sim_ = std::make_unique<sim::VirtualCamera>(config);
    ASSERT_TRUE(sim_->start());
    gige::DriverConfig driver_config;
    driver_config.device = *net::SocketAddress::parse_ip(CAMERA_IP, gige::proto::GVCP_PORT);
    driver_config.local_ip = net::SocketAddress::ipv4(0x7F000001, 0);
    camera_ = Camera::create(driver_config);
    const auto connected = camera_->connect();
    ASSERT_EQ(outcome(connected), "ok");
  }

  void TearDown() override {
    if (camera_) (void)camera_->disconnect(2s);
    camera_.reset();
    sim_->stop();
  }

  // Whether AcquisitionMode offers SingleFrame, in which a snap's camera
  // sends one frame and stops by itself.
  [[nodiscard]] virtual bool single_frame_entry() const { return true; }

  [[nodiscard]] std::int64_t integer(std::string_view name) {
    const auto value = camera_->features([&](genicam::Device d) { return genicam::get_integer(d, name); });
    EXPECT_EQ(outcome(value), "ok") << name;
    return value.value_or(-1);
  }
  [[nodiscard]] std::string text(std::string_view name) {
    const auto value = camera_->features([&](genicam::Device d) { return genicam::get_string(d, name); });
    EXPECT_EQ(outcome(value), "ok") << name;
    return value.value_or("");
  }
  [[nodiscard]] bool acquiring() const { return sim_->status().acquisition_active; }
  // Every first transmission lost: a snap waits until `loss` is lowered.
  void set_loss(double loss) { sim_->set_stream_faults(0, sim::StreamFaults{.loss = loss}); }

  // The calls that each claim the camera for a long operation, by name.
  [[nodiscard]] std::vector<std::pair<std::string, std::function<std::string()>>> claiming_calls() {
    Camera& c = *camera_;
    return {
        {"connect", [&c] { return outcome(c.connect()); }},
        {"disconnect", [&c] { return outcome(c.disconnect(100ms)); }},
        {"reconnect", [&c] { return outcome(c.reconnect(100ms, {})); }},
        {"snap", [&c] { return outcome(c.snap({}, 100ms, {})); }},
        {"snapshot session", [&c] { return outcome(c.open_snapshot_session({})); }},
        {"acquisition", [&c] { return outcome(c.start_acquisition({})); }},
    };
  }

  std::unique_ptr<sim::VirtualCamera> sim_;
  std::shared_ptr<Camera> camera_;
};

TEST_F(CameraTest, AnAcquisitionRefusesEveryOtherLongOperationUntilItStops) {
  auto acquisition = camera_->start_acquisition({});
  ASSERT_EQ(outcome(acquisition), "ok");
  for (const auto& [name, call] : claiming_calls()) EXPECT_EQ(call(), "busy: an acquisition") << name;
  // Feature access goes on beside it.
  EXPECT_EQ(integer("Width"), 64);
  EXPECT_TRUE(acquiring());

  ASSERT_EQ(outcome((*acquisition)->stop()), "ok");
  EXPECT_FALSE(acquiring());
  EXPECT_EQ(outcome((*acquisition)->stats()), "ended");
  EXPECT_EQ(outcome((*acquisition)->stop()), "ok");  // a second stop does nothing
  EXPECT_EQ(outcome(camera_->snap({}, 5s, {})), "ok");
}

// A camera that streams until it is stopped, so a snap whose frames are lost
// goes on waiting.
class FreeRunningCameraTest : public CameraTest {
 protected:
  [[nodiscard]] bool single_frame_entry() const override { return false; }
};

// The check of a snap's wait runs on the snapping thread, which holds the
// session lock: every call it makes on the camera is refused at once, while
// a call from another thread waits for the snap and then runs.
TEST_F(FreeRunningCameraTest, CallsFromInsideASnapAreRefusedAndOtherThreadsWaitForIt) {
  set_loss(1.0);
  std::vector<std::string> inside;
  std::atomic<bool> waiting{false};
  std::string other_thread;
  std::thread other;
  const util::InterruptCheck check = [&] {
    if (!acquiring() || !inside.empty()) return false;
    inside.push_back(outcome(camera_->features([](genicam::Device d) { return genicam::get_integer(d, "Width"); })));
    inside.push_back(outcome(camera_->is_connected()));
    inside.push_back(outcome(camera_->subscribe_events(4)));
    inside.push_back(outcome(camera_->snap({}, 100ms, {})));
    other = std::thread([&] {
      waiting = true;
      other_thread = outcome(camera_->features([](genicam::Device d) { return genicam::get_integer(d, "Width"); }));
    });
    while (!waiting) std::this_thread::yield();
    set_loss(0.0);  // the next frame ends the snap
    return false;
  };
  const auto frame = camera_->snap({}, 30s, check);
  ASSERT_TRUE(other.joinable()) << "the snap never waited";
  other.join();
  EXPECT_EQ(outcome(frame), "ok");
  EXPECT_EQ(inside, std::vector<std::string>(4, "busy: a snap"));
  EXPECT_EQ(other_thread, "ok");
  EXPECT_FALSE(acquiring());
}

// A dropped acquisition whose camera another thread holds past the release
// wait leaves the device alone (AcquisitionStop not sent), and still frees
// the camera for the next long operation.
TEST_F(CameraTest, ReleaseWhileAnotherThreadHoldsTheCameraAbandonsTheStream) {
  auto acquisition = camera_->start_acquisition({});
  ASSERT_EQ(outcome(acquisition), "ok");
  std::atomic<bool> holding{false};
  std::atomic<bool> let_go{false};
  std::thread holder([&] {
    (void)camera_->features([&](genicam::Device) {
      holding = true;
      while (!let_go) std::this_thread::sleep_for(1ms);
      return 0;
    });
  });
  while (!holding) std::this_thread::yield();
  {
    util::log::ScopedCapture capture;
    acquisition->reset();
    EXPECT_EQ(capture.sink().with_message(ACQUISITION_ABANDONED).size(), 1u);
  }
  let_go = true;
  holder.join();
  EXPECT_TRUE(acquiring());

  auto next = camera_->start_acquisition({});
  ASSERT_EQ(outcome(next), "ok");
  ASSERT_EQ(outcome((*next)->stop()), "ok");
  EXPECT_FALSE(acquiring());
}

// Dropped unstopped and unclosed with the camera free, an acquisition and a
// session undo what they did to the device.
TEST_F(CameraTest, ReleaseWithTheCameraFreeRunsTheStopAndCloseSequences) {
  const std::string mode = text("AcquisitionMode");
  {
    auto acquisition = camera_->start_acquisition({});
    ASSERT_EQ(outcome(acquisition), "ok");
    EXPECT_EQ(integer("TLParamsLocked"), 1);
  }
  EXPECT_FALSE(acquiring());
  EXPECT_EQ(integer("TLParamsLocked"), 0);
  {
    auto session = camera_->open_snapshot_session({});
    ASSERT_EQ(outcome(session), "ok");
    EXPECT_EQ(text("AcquisitionMode"), "SingleFrame");
  }
  EXPECT_EQ(text("AcquisitionMode"), mode);
  EXPECT_EQ(integer("TLParamsLocked"), 0);
  EXPECT_EQ(outcome(camera_->start_acquisition({})), "ok");
}

// A close from another thread waits for the snap in flight; snaps after it
// find the session ended, and the camera is free and restored.
TEST_F(CameraTest, CloseRacingSnapsEndsTheSessionCleanly) {
  const std::string mode = text("AcquisitionMode");
  auto opened = camera_->open_snapshot_session({});
  ASSERT_EQ(outcome(opened), "ok");
  std::shared_ptr<SnapshotSession> session = *opened;
  std::atomic<int> snaps{0};
  std::vector<std::string> outcomes;
  // Snaps until one fails: after the close, at the latest (the give-up time
  // only keeps a broken close from hanging the test).
  std::thread snapper([&] {
    const auto give_up = std::chrono::steady_clock::now() + 60s;
    do {
      outcomes.push_back(outcome(session->snap(2s, {})));
      ++snaps;
    } while (outcomes.back() == "ok" && std::chrono::steady_clock::now() < give_up);
  });
  while (snaps < 2) std::this_thread::yield();
  EXPECT_EQ(outcome(camera_->snap({}, 100ms, {})), "busy: a snapshot session");
  EXPECT_EQ(outcome(session->close()), "ok");
  snapper.join();

  ASSERT_FALSE(outcomes.empty());
  EXPECT_EQ(outcomes.back(), "ended");
  EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), "ok"), std::ssize(outcomes) - 1);
  EXPECT_EQ(outcome(session->is_closed()), "ok");
  EXPECT_TRUE(session->is_closed().value_or(false));
  EXPECT_EQ(text("AcquisitionMode"), mode);
  EXPECT_EQ(outcome(camera_->snap({}, 5s, {})), "ok");
}

}  // namespace
}  // namespace corvantic::camera
