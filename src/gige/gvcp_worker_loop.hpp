// The inside of the control worker: the state its thread owns and the steps
// of its loop. Split from gvcp_worker.cpp so that tests and the fuzz target can
// drive datagram handling without a thread.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <deque>
#include <exception>
#include <optional>
#include <span>
#include <variant>

#include "gige/gvcp_worker.hpp"
#include "net/poller.hpp"
#include "net/udp_socket.hpp"
#include "util/mutex.hpp"

namespace corvantic::gige {

struct GvcpWorker::Shared {
  util::Mutex queue_mutex;
  std::deque<Request> queue GUARDED_BY(queue_mutex);
  net::Waker waker;
  std::atomic<bool> running{true};
  std::atomic<bool> stop{false};
  std::shared_ptr<SharedLinkStats> stats;
  std::atomic<std::size_t> event_subscribers{0};  // as the loop's event_subscribers()
};

namespace op {
struct Heartbeat {};
struct ReadMemory {
  std::uint32_t address = 0;  // where the next chunk starts
  std::uint32_t length = 0;   // total bytes wanted
  std::vector<std::uint8_t> collected;
  ReplySlot<std::vector<std::uint8_t>> reply;
  Deadline deadline = NO_DEADLINE;  // for the whole transfer
};
struct WriteMemory {
  std::uint32_t base = 0;
  std::vector<std::uint8_t> data;
  std::size_t offset = 0;  // bytes already written
  ReplySlot<Unit> reply;
  Deadline deadline = NO_DEADLINE;  // for the whole transfer
};
}  // namespace op

// The latest events that asked for an acknowledge, each remembered by its
// request id and a fingerprint of its bytes. A device resends such an event
// until it sees the acknowledge, so a copy whose acknowledge was lost
// arrives again with the same id and the same bytes: it is acknowledged
// again but delivered once. Another event under a request id seen before (a
// device that restarted its counter, say) is new. The window spans far more
// events than a device retransmits over (MCRC times MCTT) at any plausible
// event rate.
class RecentEvents {
 public:
  static constexpr std::size_t WINDOW = 512;
  // Whether the command `command` with request id `id` and `payload` is
  // remembered; remembers it when it is not.
  [[nodiscard]] bool seen_before(std::uint16_t id, std::uint16_t command, std::span<const std::uint8_t> payload) {
    const Seen seen{id, fingerprint(command, payload)};
    const auto remembered = std::span(seen_).first(count_);
    if (std::ranges::find(remembered, seen) != remembered.end()) return true;
    seen_[next_] = seen;
    next_ = (next_ + 1) % WINDOW;
    count_ = std::min(count_ + 1, WINDOW);
    return false;
  }

 private:
  struct Seen {
    std::uint16_t id = 0;
    std::uint64_t fingerprint = 0;
    bool operator==(const Seen&) const = default;
  };
  // 64-bit FNV-1a over the command code and the payload: two different
  // events under one request id collide with negligible odds.
  [[nodiscard]] static std::uint64_t fingerprint(std::uint16_t command, std::span<const std::uint8_t> payload) {
    std::uint64_t hash = 0xcbf29ce484222325u;
    const auto mix = [&](std::uint8_t byte) { hash = (hash ^ byte) * 0x100000001b3u; };
    mix(static_cast<std::uint8_t>(command >> 8));
    mix(static_cast<std::uint8_t>(command));
    for (const std::uint8_t byte : payload) mix(byte);
    return hash;
  }

  std::array<Seen, WINDOW> seen_{};
  std::size_t next_ = 0;   // where the next one goes, overwriting the oldest
  std::size_t count_ = 0;  // events remembered
};

using GvcpOp = std::variant<request::ReadRegister, request::ReadRegisters, request::WriteRegisters, op::ReadMemory,
                            op::WriteMemory, op::Heartbeat>;

class GvcpWorkerLoop {
 public:
  using Clock = std::chrono::steady_clock;

  GvcpWorkerLoop(const WorkerSettings& settings, net::UdpSocket socket, net::Poller poller,
                 std::shared_ptr<GvcpWorker::Shared> shared);

  // The thread body: the loop, then the shutdown.
  void run();

  // One received datagram from `source` on the control socket.
  void handle_datagram(const net::SocketAddress& source, std::span<const std::uint8_t> bytes, Clock::time_point now);
  // One received datagram from `source` on the message channel socket:
  // only device events are expected there.
  void handle_message_datagram(const net::SocketAddress& source, std::span<const std::uint8_t> bytes);
  // Takes the requests waiting on the queue; false when a shutdown asks the loop to end.
  [[nodiscard]] bool take_requests();
  // Lets go of the subscriptions whose readers are all gone, each within a
  // turn of the loop rather than at the next event, which may never come.
  void drop_abandoned_subscriptions();
  // The deadline and heartbeat checks, then the start of the next op.
  void run_timers(Clock::time_point now);
  void start_next_op(Clock::time_point now);
  // Fails what is pending, releases control unless it was lost, and clears
  // the running flag.
  void shut_down();

  [[nodiscard]] bool control_lost() const { return control_lost_; }
  [[nodiscard]] bool in_flight() const { return transaction_.has_value(); }
  [[nodiscard]] std::size_t event_subscribers() const { return subscribers_.size(); }

 private:
  // One command in flight. `deadline` is when its acknowledge is overdue;
  // it never passes `expires`, the moment the command is given up whatever
  // the device announces: the caller's deadline for a user op, the end of
  // the retransmission schedule for a heartbeat.
  struct Transaction {
    std::uint16_t request_id = 0;
    std::uint8_t tries_left = 0;
    Clock::time_point deadline;
    Clock::time_point expires;
    bool pending_seen = false;  // a PENDING_ACK extended it already
    std::vector<std::uint8_t> datagram;
    GvcpOp op;
  };

  void receive_all(Clock::time_point now);
  void receive_messages();
  // An EVENT or EVENTDATA (or another command) from the device, arrived on
  // `socket`, which sends the acknowledge.
  void handle_device_command(const net::SocketAddress& source, std::span<const std::uint8_t> bytes,
                             net::UdpSocket& socket);
  void deliver(proto::DeviceEvent event);
  void open_message_channel(request::OpenMessageChannel& request);
  void handle_ack(const proto::GvcpAck& ack, Clock::time_point now);
  void complete(GvcpOp& op, const proto::GvcpAck& ack, Clock::time_point now);
  void check_deadline(Clock::time_point now);
  void schedule_heartbeat(Clock::time_point now);
  // When a heartbeat sent at `now` is given up: when its retransmissions run
  // out, and no later than silence_limit(), by when the device has released
  // control whatever became of this heartbeat. So control loss is reported
  // within the time-out whichever side the link broke on.
  [[nodiscard]] Clock::time_point heartbeat_expiry(Clock::time_point now) const;
  // The heartbeat time-out after the device last answered (`heard_`): a
  // transaction in flight then, a user command's included, loses control.
  [[nodiscard]] Clock::time_point silence_limit() const;
  void start_op(GvcpOp op, Clock::time_point now);
  void continue_transfer(GvcpOp op, Clock::time_point now);
  // Control is lost; `release` sends the release write on the way out all
  // the same (the device refused a heartbeat but may still list us).
  void lose_control(bool release = false);
  // An exception escaped a step: every operation pending fails with the
  // error it stands for, and the loop goes on with a clean slate.
  void fail_everything_pending(const CameraError& error) noexcept;
  // A deadline `span` after `now`, never past `limit`.
  [[nodiscard]] static Clock::time_point deadline_after(Clock::time_point now, std::chrono::nanoseconds span,
                                                        Clock::time_point limit);
  void count(SharedLinkStats::Counter counter) { shared_->stats->increment(counter); }

  WorkerSettings settings_;
  net::UdpSocket socket_;
  net::Poller poller_;
  std::shared_ptr<GvcpWorker::Shared> shared_;
  std::chrono::milliseconds heartbeat_interval_;
  Clock::time_point next_heartbeat_;
  proto::RequestIds request_ids_;
  std::deque<GvcpOp> ops_;
  std::deque<Request> incoming_;  // requests taken off the shared queue, reused
  std::optional<Transaction> transaction_;
  std::optional<net::UdpSocket> message_socket_;  // open once asked for
  net::SocketAddress message_address_;            // its bound address
  std::vector<EventSender> subscribers_;
  RecentEvents recent_events_;
  std::vector<std::uint8_t> receive_buffer_;
  // gvcp_timeout x (retries + 1): how long an unanswered command lasts; a
  // heartbeat is never in flight longer.
  std::chrono::nanoseconds retransmission_span_;
  // The device's last acknowledge of a transaction, pending ones included
  // (the loop's start before the first).
  Clock::time_point heard_;
  bool control_lost_ = false;
  bool release_after_loss_ = false;
};

// The heartbeat period for a device heartbeat time-out: a third of it,
// within 10 ms and 1 s.
[[nodiscard]] std::chrono::milliseconds heartbeat_interval(std::uint32_t heartbeat_timeout_ms);

}  // namespace corvantic::gige
