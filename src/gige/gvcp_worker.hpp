// GvcpWorker: the one thread per connected device that owns the control
// socket. Requests arrive through its queue and waker; the worker keeps one
// command in flight, retransmits, honours pending acknowledges, sends
// heartbeats, counts LinkStats, and on shutdown fails what is pending and
// releases control. Device events arrive on the control socket or, once it
// is opened on request, on the message channel socket; the worker
// acknowledges every copy and hands each event once to its subscribers.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <variant>
#include <vector>

#include "gige/camera_error.hpp"
#include "gige/event_subscription.hpp"
#include "gige/link_stats.hpp"
#include "gige/proto/gvcp.hpp"
#include "net/address.hpp"
#include "util/one_shot.hpp"

namespace corvantic::gige {

struct WorkerSettings {
  net::SocketAddress device;  // the device's IP and GVCP port
  net::SocketAddress local;   // where the control socket binds (port 0 = any)
  std::chrono::nanoseconds gvcp_timeout = std::chrono::milliseconds(500);
  std::uint8_t retries = 4;
  std::uint32_t heartbeat_timeout_ms = 3000;
};

// The reply of an operation that returns nothing.
using Unit = std::monostate;

template <typename T>
using ReplySlot = std::shared_ptr<util::OneShot<CameraResult<T>>>;

template <typename T>
[[nodiscard]] ReplySlot<T> make_reply_slot() {
  return std::make_shared<util::OneShot<CameraResult<T>>>();
}

// When the caller stops waiting for an operation (monotonic clock). The
// worker gives the operation up at that moment: it is answered with
// AckTimeout and the next one goes out, whatever the device announced.
using Deadline = std::chrono::steady_clock::time_point;
inline constexpr Deadline NO_DEADLINE = Deadline::max();

namespace request {
struct ReadRegister {
  std::uint32_t address = 0;
  ReplySlot<std::uint32_t> reply;
  Deadline deadline = NO_DEADLINE;
};
struct ReadRegisters {
  std::vector<std::uint32_t> addresses;
  ReplySlot<std::vector<std::uint32_t>> reply;
  Deadline deadline = NO_DEADLINE;
};
struct WriteRegisters {
  std::vector<proto::RegisterWrite> writes;
  ReplySlot<Unit> reply;
  Deadline deadline = NO_DEADLINE;
};
struct ReadMemory {
  std::uint32_t address = 0;
  std::uint32_t length = 0;
  ReplySlot<std::vector<std::uint8_t>> reply;
  Deadline deadline = NO_DEADLINE;
};
struct WriteMemory {
  std::uint32_t address = 0;
  std::vector<std::uint8_t> data;
  ReplySlot<Unit> reply;
  Deadline deadline = NO_DEADLINE;
};
// Opens the message channel socket, bound to `local`, unless it is open;
// the reply is its bound address. The device is told where it is by the
// session (MCDA, MCP).
struct OpenMessageChannel {
  net::SocketAddress local;
  ReplySlot<net::SocketAddress> reply;
  Deadline deadline = NO_DEADLINE;
};
// Every event accepted from now on is offered to `events`. The reply, when
// given, is set once the worker holds the subscription, so that the caller
// knows no event accepted afterwards passes it by.
struct SubscribeEvents {
  EventSender events;
  ReplySlot<Unit> reply;
};
struct Shutdown {};
}  // namespace request

using Request = std::variant<request::ReadRegister, request::ReadRegisters, request::WriteRegisters,
                             request::ReadMemory, request::WriteMemory, request::OpenMessageChannel,
                             request::SubscribeEvents, request::Shutdown>;

// The handle of a running worker. Destroying it sets the stop flag, wakes the
// worker and joins its thread; the worker then runs its shutdown.
class GvcpWorker {
 public:
  // Binds the control socket, creates the poller and waker and starts the
  // thread "corvantic-gvcp". Failures are WorkerSpawn.
  [[nodiscard]] static CameraResult<std::unique_ptr<GvcpWorker>> start(const WorkerSettings& settings,
                                                                       std::shared_ptr<SharedLinkStats> stats);
  ~GvcpWorker();
  GvcpWorker(const GvcpWorker&) = delete;
  GvcpWorker& operator=(const GvcpWorker&) = delete;

  // Queues `request` and wakes the worker. False when the worker was not
  // running before the post or is no longer running right after the wake;
  // the caller then answers its own reply slot (a reply slot is set once,
  // so a late answer from the worker's final drain does no harm).
  [[nodiscard]] bool post(Request request);
  // True while the worker loop runs.
  [[nodiscard]] bool running() const;
  // The flag running() reads, for readers that outlive this handle or
  // cannot reach it.
  [[nodiscard]] std::shared_ptr<const std::atomic<bool>> running_flag() const;
  // The event subscriptions the worker holds, as of its last turn.
  [[nodiscard]] std::size_t event_subscribers() const;
  // Sets the stop flag and wakes the worker; it leaves its loop within one poll period.
  void request_stop();
  // The bound address of the control socket.
  [[nodiscard]] const net::SocketAddress& local_address() const { return local_address_; }

  struct Shared;

 private:
  GvcpWorker() = default;
  std::shared_ptr<Shared> shared_;
  net::SocketAddress local_address_;
  std::jthread thread_;
};

}  // namespace corvantic::gige
