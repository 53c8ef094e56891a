// Connecting again after control of a camera was lost (the camera restarted,
// its link went away, a heartbeat went unanswered): a fresh session, tried
// again with a growing pause until the camera answers or the time is up.
//
// Runs with the camera's session lock held by the caller, like the
// acquisition sequences, and uses the driver directly.
#pragma once

#include <chrono>

#include "camera/result.hpp"
#include "genicam/features.hpp"
#include "gige/gige_driver.hpp"
#include "util/interrupt.hpp"

namespace corvantic::camera {

// The pause after a failed attempt: FIRST after the first failure, then
// doubled after each further one, never more than CAP. A camera that comes
// back is found within CAP of its return, and one that stays away is asked
// at most once per CAP.
inline constexpr std::chrono::milliseconds RECONNECT_FIRST_PAUSE{100};
inline constexpr std::chrono::milliseconds RECONNECT_PAUSE_CAP{1600};

// The pause to take after a failed attempt that followed a pause of
// `previous` (zero before the first attempt).
[[nodiscard]] std::chrono::nanoseconds next_reconnect_pause(std::chrono::nanoseconds previous);

// Ends a live connection first (control released, as disconnect does), so
// the result is always a fresh session with a freshly loaded feature model;
// a connection whose control was lost is simply replaced. Then connects and
// loads the feature model, attempt after attempt with the pauses above,
// until one succeeds or `timeout` has passed; every wait, inside an attempt
// or between two, ends at that deadline, so the call returns within about
// 100 ms of it. The first attempt is made whatever the timeout.
//
// Fails with the last attempt's error: a CameraError (as Transport) from
// connecting or from reading the description. A description the camera
// serves but that cannot be used is returned at once, with the driver left
// connected without a model, as a plain connect leaves it.
//
// `interrupted`, when set, is asked between 100 ms slices of every wait;
// when it says so the reconnect ends at once with the last error seen (or
// the interrupted attempt's), and the caller reports the interruption.
[[nodiscard]] GenicamResult<void> reconnect(genicam::Device device, std::chrono::nanoseconds timeout,
                                            const util::InterruptCheck& interrupted = {});

}  // namespace corvantic::camera
