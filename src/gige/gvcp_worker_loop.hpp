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

// Request ids of the latest events that asked for an acknowledge. A device
// resends such an event until it sees the acknowledge, so a copy whose
// acknowledge was lost arrives again with the same id: it is acknowledged
// again but delivered once. The window spans far more events than a device
// retransmits over (MCRC times MCTT) at any plausible event rate.
class RecentEventIds {
 public:
  static constexpr std::size_t WINDOW = 512;
  // Whether `id` is among the remembered ids; remembers it when it is not.
  [[nodiscard]] bool seen_before(std::uint16_t id) {
    if (std::find(ids_.begin(), ids_.begin() + static_cast<std::ptrdiff_t>(count_), id) !=
        ids_.begin() + static_cast<std::ptrdiff_t>(count_)) {
      return true;
    }
    ids_[next_] = id;
    next_ = (next_ + 1) % WINDOW;
    count_ = std::min(count_ + 1, WINDOW);
    return false;
  }

 private:
  std::array<std::uint16_t, WINDOW> ids_{};
  std::size_t next_ = 0;   // where the next id goes, overwriting the oldest
  std::size_t count_ = 0;  // ids remembered
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
  // out, and no later than the heartbeat time-out after `heard_or_free_`, by
  // when the device has released control whatever became of this heartbeat.
  // So control loss is reported within the time-out whichever side the link
  // broke on.
  [[nodiscard]] Clock::time_point heartbeat_expiry(Clock::time_point now) const;
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
  RecentEventIds recent_events_;
  std::vector<std::uint8_t> receive_buffer_;
  // gvcp_timeout x (retries + 1): how long an unanswered command lasts; a
  // heartbeat is never in flight longer.
  std::chrono::nanoseconds retransmission_span_;
  // The later of the device's last acknowledge of a transaction (pending
  // ones included) and the end of the last command given up unanswered,
  // which held the channel so that no heartbeat could go out meanwhile.
  Clock::time_point heard_or_free_;
  bool control_lost_ = false;
  bool release_after_loss_ = false;
};

// The heartbeat period for a device heartbeat time-out: a third of it,
// within 10 ms and 1 s.
[[nodiscard]] std::chrono::milliseconds heartbeat_interval(std::uint32_t heartbeat_timeout_ms);

}  // namespace corvantic::gige
