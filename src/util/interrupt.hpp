// Long waits that a caller can cut short: the wait runs in slices and asks
// an InterruptCheck between them, so a caller waiting for seconds (on a
// frame, on a device's answer, between reconnect attempts) still reacts
// within about one slice, to Ctrl-C for example.
#pragma once

#include <chrono>
#include <functional>

namespace corvantic::util {

// Asked between the slices of a long wait; true ends the wait.
using InterruptCheck = std::function<bool()>;
inline constexpr std::chrono::milliseconds WAIT_SLICE{100};

}  // namespace corvantic::util
