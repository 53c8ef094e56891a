// What a send to, and a wait on, a bounded subscription queue can come to:
// shared by the stream's frame subscriptions and the control worker's event
// subscriptions.
#pragma once

#include <cstdint>

namespace corvantic::util {

enum class SendResult : std::uint8_t {
  Accepted,
  Full,          // the item was not queued; the subscription stays
  ReceiverGone,  // every receiver was released; the subscription can go
};

enum class ReceiveStatus : std::uint8_t {
  Received,
  TimedOut,     // nothing arrived before the deadline
  Ended,        // the queue is empty and every sender is gone: nothing will arrive
  Interrupted,  // the caller's interruption check ended the wait
};

}  // namespace corvantic::util
