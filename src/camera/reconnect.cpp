#include "camera/reconnect.hpp"

#include <algorithm>
#include <cstdint>
#include <thread>

#include "genicam/features.hpp"
#include "util/duration.hpp"
#include "util/log.hpp"

namespace corvantic::camera {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view TARGET = util::log::target::GENICAM;
// How long a live connection may take to release control before it is
// replaced; as the Python disconnect's default.
constexpr auto LIVE_CONNECTION_DEADLINE = std::chrono::milliseconds(500);

// Sleeps until `until` in slices; false as soon as `stop` says so.
bool pause_until(Clock::time_point until, const util::InterruptCheck& stop) {
  for (;;) {
    const auto now = Clock::now();
    if (now >= until) return true;
    std::this_thread::sleep_for(std::min<Clock::duration>(until - now, util::WAIT_SLICE));
    if (stop()) return false;
  }
}

// One attempt: the driver connection, then the feature model, as connect
// does them, each ending its waits when `stop` says so.
GenicamResult<void> attempt(genicam::Device device, const util::InterruptCheck& stop) {
  if (auto connected = device.driver.connect(stop); !connected) return std::unexpected(GenicamError(connected.error()));
  return load_feature_model(device, stop);
}

}  // namespace

std::chrono::nanoseconds next_reconnect_pause(std::chrono::nanoseconds previous) {
  if (previous <= std::chrono::nanoseconds::zero()) return RECONNECT_FIRST_PAUSE;
  return std::min<std::chrono::nanoseconds>(util::saturating_mul(previous, 2), RECONNECT_PAUSE_CAP);
}

GenicamResult<void> reconnect(genicam::Device device, std::chrono::nanoseconds timeout,
                              const util::InterruptCheck& interrupted) {
  const Clock::time_point started = Clock::now();
  const Clock::time_point deadline = util::saturating_add<Clock>(started, timeout);
  bool stopped_by_caller = false;
  // Ends every wait, inside an attempt or between two, at the deadline or
  // when the caller interrupts.
  const util::InterruptCheck stop = [&] {
    if (interrupted && interrupted()) {
      stopped_by_caller = true;
      return true;
    }
    return Clock::now() >= deadline;
  };

  if (device.driver.is_connected()) {
    CORVANTIC_LOG(util::log::Level::Debug, TARGET, "reconnect: ending the live connection first");
    device.driver.disconnect(LIVE_CONNECTION_DEADLINE);
  }
  std::chrono::nanoseconds pause{0};
  for (std::uint64_t attempts = 1;; ++attempts) {
    GenicamResult<void> result = attempt(device, stop);
    if (result) {
      CORVANTIC_LOG(util::log::Level::Debug, TARGET, "reconnected", util::log::field("attempts", attempts),
                    util::log::field("seconds", util::to_secs(Clock::now() - started)));
      return result;
    }
    // Asking again cannot mend a description the camera serves but that
    // cannot be used.
    if (result.error().kind() != GenicamError::Kind::Transport) return result;
    CORVANTIC_LOG(util::log::Level::Debug, TARGET, "reconnect attempt failed: " + result.error().display(),
                  util::log::field("attempt", attempts));
    if (stopped_by_caller || Clock::now() >= deadline) return result;
    pause = next_reconnect_pause(pause);
    const Clock::time_point resume = util::saturating_add<Clock>(Clock::now(), pause);
    if (!pause_until(std::min(resume, deadline), stop) || Clock::now() >= deadline) return result;
  }
}

}  // namespace corvantic::camera
