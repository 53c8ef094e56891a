#include "gige/gvcp_worker.hpp"

#include <algorithm>

#include "gige/proto/bootstrap.hpp"
#include "gige/gvcp_worker_loop.hpp"
#include "util/thread_name.hpp"
#include "util/duration.hpp"
#include "util/log.hpp"
#include "util/text.hpp"

namespace corvantic::gige {
namespace {

using Clock = GvcpWorkerLoop::Clock;
constexpr std::uint64_t SOCKET_TOKEN = 1;
constexpr std::uint64_t WAKER_TOKEN = 2;
constexpr std::uint64_t MESSAGE_TOKEN = 3;
constexpr auto POLL_PERIOD = std::chrono::milliseconds(10);
constexpr std::size_t POLL_EVENTS = 16;
constexpr std::string_view TARGET = util::log::target::GIGE_RUNNER;

template <typename... F>
struct Overloaded : F... {
  using F::operator()...;
};

// The GVCP command a user op sends, as Status errors name it.
std::uint16_t command_of(const GvcpOp& op) {
  return std::visit(Overloaded{
                        [](const request::ReadRegister&) { return proto::GVCP_READREG; },
                        [](const request::ReadRegisters&) { return proto::GVCP_READREG; },
                        [](const request::WriteRegisters&) { return proto::GVCP_WRITEREG; },
                        [](const op::ReadMemory&) { return proto::GVCP_READMEM; },
                        [](const op::WriteMemory&) { return proto::GVCP_WRITEMEM; },
                        [](const op::Heartbeat&) { return proto::GVCP_READREG; },
                    },
                    op);
}

std::uint16_t expected_ack_of(const GvcpOp& op) { return static_cast<std::uint16_t>(command_of(op) + 1); }

// Answers a user op with `error`; a heartbeat has nobody to answer, nor
// has an op whose content was moved on.
void fail(GvcpOp& op, const CameraError& error) {
  std::visit(Overloaded{
                 [](op::Heartbeat&) {},
                 [&](auto& user) {
                   if (user.reply) user.reply->set(std::unexpected(error));
                 },
             },
             op);
}

bool is_heartbeat(const GvcpOp& op) { return std::holds_alternative<op::Heartbeat>(op); }

// When the caller of a user op stops waiting; a heartbeat has no caller.
Clock::time_point caller_deadline(const GvcpOp& op) {
  return std::visit(Overloaded{
                        [](const op::Heartbeat&) { return NO_DEADLINE; },
                        [](const auto& user) { return user.deadline; },
                    },
                    op);
}

// The datagram that starts or continues `op`, or nothing when its payload
// does not fit its kind.
std::optional<std::vector<std::uint8_t>> build_datagram(const GvcpOp& op, std::uint16_t id) {
  return std::visit(
      Overloaded{
          [&](const request::ReadRegister& r) -> std::optional<std::vector<std::uint8_t>> {
            return proto::encode_readreg(std::span(&r.address, 1), id);
          },
          [&](const request::ReadRegisters& r) -> std::optional<std::vector<std::uint8_t>> {
            if (r.addresses.empty()) return std::nullopt;
            return proto::encode_readreg(r.addresses, id);
          },
          [&](const request::WriteRegisters& r) -> std::optional<std::vector<std::uint8_t>> {
            if (r.writes.empty()) return std::nullopt;
            return proto::encode_writereg(r.writes, id);
          },
          [&](const op::ReadMemory& r) -> std::optional<std::vector<std::uint8_t>> {
            const std::size_t remaining = r.length - r.collected.size();
            return proto::encode_readmem(r.address, proto::mem_read_chunk_count(remaining), id);
          },
          [&](const op::WriteMemory& w) -> std::optional<std::vector<std::uint8_t>> {
            const std::size_t chunk = std::min(w.data.size() - w.offset, proto::MAX_MEM_CHUNK);
            const auto address = static_cast<std::uint32_t>(w.base + w.offset);
            return proto::encode_writemem(address, std::span(w.data).subspan(w.offset, chunk), id);
          },
          [&](const op::Heartbeat&) -> std::optional<std::vector<std::uint8_t>> {
            const std::uint32_t ccp = proto::REG_CCP;
            return proto::encode_readreg(std::span(&ccp, 1), id);
          },
      },
      op);
}

GvcpOp op_from_request(request::ReadRegister r) { return r; }
GvcpOp op_from_request(request::ReadRegisters r) { return r; }
GvcpOp op_from_request(request::WriteRegisters r) { return r; }
GvcpOp op_from_request(request::ReadMemory r) {
  return op::ReadMemory{r.address, r.length, {}, std::move(r.reply), r.deadline};
}
GvcpOp op_from_request(request::WriteMemory r) {
  return op::WriteMemory{r.address, std::move(r.data), 0, std::move(r.reply), r.deadline};
}

// A subscription's sender goes with its request, which ends the subscription.
void fail_request(Request& request, const CameraError& error) {
  std::visit(Overloaded{
                 [](request::Shutdown&) {},
                 [&](auto& r) {
                   if (r.reply) r.reply->set(std::unexpected(error));
                 },
             },
             request);
}

}  // namespace

std::chrono::milliseconds heartbeat_interval(std::uint32_t heartbeat_timeout_ms) {
  return std::chrono::milliseconds(std::clamp<std::uint32_t>(heartbeat_timeout_ms / 3, 10, 1000));
}

GvcpWorkerLoop::GvcpWorkerLoop(const WorkerSettings& settings, net::UdpSocket socket, net::Poller poller,
                               std::shared_ptr<GvcpWorker::Shared> shared)
    : settings_(settings),
      socket_(std::move(socket)),
      poller_(std::move(poller)),
      shared_(std::move(shared)),
      heartbeat_interval_(heartbeat_interval(settings.heartbeat_timeout_ms)),
      next_heartbeat_(Clock::now() + heartbeat_interval_),
      receive_buffer_(65535),
      retransmission_span_(util::saturating_mul(settings.gvcp_timeout, settings.retries + 1u)),
      heard_(Clock::now()) {}

Clock::time_point GvcpWorkerLoop::deadline_after(Clock::time_point now, std::chrono::nanoseconds span,
                                                 Clock::time_point limit) {
  return std::min(util::saturating_add<Clock>(now, span), limit);
}

// Nothing thrown inside the loop leaves the thread: an exception (in
// practice an allocation failure) fails what is pending with the error it
// stands for, and the worker goes on serving later requests.
void GvcpWorkerLoop::run() {
  std::array<epoll_event, POLL_EVENTS> events{};
  while (!shared_->stop.load() && !control_lost_) {
    try {
      auto ready = poller_.wait(events, POLL_PERIOD);
      if (!ready) {
        if (ready.error().code == EINTR) continue;
        CORVANTIC_LOG(util::log::Level::Error, TARGET, "gvcp worker poll error: " + ready.error().text());
        break;
      }
      bool readable = false;
      bool messages = false;
      for (std::size_t i = 0; i < *ready; ++i) {
        if (events[i].data.u64 == SOCKET_TOKEN) readable = true;
        if (events[i].data.u64 == MESSAGE_TOKEN) messages = true;
        if (events[i].data.u64 == WAKER_TOKEN) shared_->waker.drain();
      }
      if (readable) receive_all(Clock::now());
      if (messages) receive_messages();
      if (!take_requests()) break;
      drop_abandoned_subscriptions();
      run_timers(Clock::now());
    } catch (...) {
      fail_everything_pending(error_from_exception(std::current_exception()));
    }
  }
  try {
    shut_down();
  } catch (...) {
    // The orderly shutdown failed part way: whoever still waits gets the
    // error, and posters learn that the worker is gone.
    const CameraError error = error_from_exception(std::current_exception());
    fail_everything_pending(error);
    shared_->running.store(false);
    std::deque<Request> left;
    {
      util::MutexLock lock(shared_->queue_mutex);
      left.swap(shared_->queue);
    }
    for (Request& request : left) fail_request(request, error);
  }
}

void GvcpWorkerLoop::fail_everything_pending(const CameraError& error) noexcept {
  // Copying a long error text may itself fail; the allocation-free error
  // stands in then.
  auto answer = [&](auto& pending, auto fail_one) {
    try {
      fail_one(pending, error);
    } catch (...) {
      fail_one(pending, CameraError::out_of_memory());
    }
  };
  if (transaction_) answer(transaction_->op, fail);
  transaction_.reset();
  for (GvcpOp& op : ops_) answer(op, fail);
  ops_.clear();
  for (Request& request : incoming_) answer(request, fail_request);
  incoming_.clear();
}

void GvcpWorkerLoop::receive_all(Clock::time_point now) {
  for (;;) {
    auto datagram = socket_.receive_from(receive_buffer_);
    if (!datagram) {
      if (!datagram.error().would_block()) {
        CORVANTIC_LOG(util::log::Level::Warn, TARGET, "gvcp recv error: " + datagram.error().text());
      }
      return;
    }
    handle_datagram(datagram->source, std::span(receive_buffer_).first(datagram->size), now);
  }
}

void GvcpWorkerLoop::receive_messages() {
  if (!message_socket_) return;
  for (;;) {
    auto datagram = message_socket_->receive_from(receive_buffer_);
    if (!datagram) {
      if (!datagram.error().would_block()) {
        CORVANTIC_LOG(util::log::Level::Warn, TARGET, "message channel recv error: " + datagram.error().text());
      }
      return;
    }
    handle_message_datagram(datagram->source, std::span(receive_buffer_).first(datagram->size));
  }
}

bool GvcpWorkerLoop::take_requests() {
  std::deque<Request>& taken = incoming_;  // reused so that polling allocates nothing
  {
    util::MutexLock lock(shared_->queue_mutex);
    if (shared_->queue.empty()) return true;
    taken.swap(shared_->queue);
  }
  while (!taken.empty()) {
    Request request = std::move(taken.front());
    taken.pop_front();
    if (std::holds_alternative<request::Shutdown>(request)) {
      // Requests behind the shutdown go back for the final drain.
      util::MutexLock lock(shared_->queue_mutex);
      shared_->queue.insert(shared_->queue.begin(), std::make_move_iterator(taken.begin()),
                            std::make_move_iterator(taken.end()));
      taken.clear();
      return false;
    }
    std::visit(Overloaded{
                   [](request::Shutdown&) {},
                   [&](request::OpenMessageChannel& r) { open_message_channel(r); },
                   [&](request::SubscribeEvents& r) {
                     try {
                       subscribers_.push_back(std::move(r.events));
                       if (r.reply) r.reply->set(Unit{});
                     } catch (...) {
                       // Not subscribed: the sender left in the request ends
                       // the subscription, so its readers see the end.
                       CORVANTIC_LOG(util::log::Level::Warn, TARGET, "event subscription failed");
                       if (r.reply) r.reply->set(std::unexpected(error_from_exception(std::current_exception())));
                     }
                   },
                   [&](auto& r) {
                     GvcpOp op = op_from_request(std::move(r));
                     try {
                       ops_.push_back(std::move(op));  // on failure `op` is left as it was
                     } catch (...) {
                       fail(op, error_from_exception(std::current_exception()));
                     }
                   },
               },
               request);
  }
  return true;
}

void GvcpWorkerLoop::open_message_channel(request::OpenMessageChannel& request) {
  if (!message_socket_) {
    auto socket = net::UdpSocket::bind(request.local);
    if (!socket) {
      request.reply->set(std::unexpected(CameraError::io(socket.error().code)));
      return;
    }
    auto local = socket->local_address();
    if (!local) {
      request.reply->set(std::unexpected(CameraError::io(local.error().code)));
      return;
    }
    if (auto nonblocking = socket->set_nonblocking(true); !nonblocking) {
      request.reply->set(std::unexpected(CameraError::io(nonblocking.error().code)));
      return;
    }
    if (auto added = poller_.add_readable(socket->fd(), MESSAGE_TOKEN); !added) {
      request.reply->set(std::unexpected(CameraError::io(added.error().code)));
      return;
    }
    message_socket_.emplace(std::move(*socket));
    message_address_ = *local;
    CORVANTIC_LOG(util::log::Level::Debug, TARGET, "message channel open",
                  util::log::field("local", message_address_.to_string()));
  }
  request.reply->set(message_address_);
}

void GvcpWorkerLoop::run_timers(Clock::time_point now) {
  check_deadline(now);
  if (control_lost_) return;
  schedule_heartbeat(now);
  start_next_op(now);
}

void GvcpWorkerLoop::check_deadline(Clock::time_point now) {
  if (!transaction_) return;
  if (!is_heartbeat(transaction_->op) && !transaction_->pending_seen && now >= silence_limit()) {
    // A command holding the channel keeps heartbeats from going out, so its
    // own silence counts as theirs: the device has answered nothing for the
    // whole heartbeat time-out. (One it announced as pending is alive.)
    CORVANTIC_LOG(util::log::Level::Warn, TARGET, "device silent for the heartbeat time-out, considering control lost");
    lose_control();
    return;
  }
  if (now < transaction_->deadline) return;
  Transaction& tx = *transaction_;
  if (tx.tries_left > 0 && now < tx.expires) {
    --tx.tries_left;
    tx.deadline = deadline_after(now, settings_.gvcp_timeout, tx.expires);
    count(&LinkStats::retries);
    CORVANTIC_LOG(util::log::Level::Trace, TARGET, "ack overdue, retrying transaction", util::log::field("id", tx.request_id),
                  util::log::field("tries_left", tx.tries_left));
    if (auto sent = socket_.send_to(tx.datagram, settings_.device); !sent) {
      CORVANTIC_LOG(util::log::Level::Warn, TARGET, "retry send failed: " + sent.error().text());
    }
    return;
  }
  // Retransmissions exhausted, or the command given up at `expires`: a
  // device that keeps announcing pending acknowledges holds the channel no
  // longer than its caller waits, and heartbeats go out again.
  if (tx.tries_left > 0) {
    CORVANTIC_LOG(util::log::Level::Trace, TARGET, "transaction given up at its wait limit",
                  util::log::field("id", tx.request_id));
  }
  count(&LinkStats::timeouts);
  const bool announced_pending = tx.pending_seen;
  GvcpOp op = std::move(tx.op);
  transaction_.reset();
  if (is_heartbeat(op)) {
    CORVANTIC_LOG(util::log::Level::Warn, TARGET, "heartbeat timed out, considering control lost");
    lose_control();
  } else {
    // A device that announced the command as pending was heard until its
    // caller stopped waiting: the next heartbeat gets its full chance.
    if (announced_pending) heard_ = now;
    fail(op, CameraError::ack_timeout());
  }
}

void GvcpWorkerLoop::schedule_heartbeat(Clock::time_point now) {
  if (now < next_heartbeat_) return;
  next_heartbeat_ = now + heartbeat_interval_;
  const bool pending = (transaction_ && is_heartbeat(transaction_->op)) ||
                       std::any_of(ops_.begin(), ops_.end(), [](const GvcpOp& op) { return is_heartbeat(op); });
  if (!pending) ops_.push_front(op::Heartbeat{});
}

Clock::time_point GvcpWorkerLoop::heartbeat_expiry(Clock::time_point now) const {
  const Clock::time_point by_retries = util::saturating_add<Clock>(now, retransmission_span_);
  return std::min(by_retries, silence_limit());
}

Clock::time_point GvcpWorkerLoop::silence_limit() const {
  return util::saturating_add<Clock>(heard_, std::chrono::milliseconds(settings_.heartbeat_timeout_ms));
}

void GvcpWorkerLoop::start_next_op(Clock::time_point now) {
  if (transaction_ || ops_.empty()) return;
  GvcpOp op = std::move(ops_.front());
  ops_.pop_front();
  start_op(std::move(op), now);
}

void GvcpWorkerLoop::start_op(GvcpOp op, Clock::time_point now) {
  try {
    const Clock::time_point expires = is_heartbeat(op) ? heartbeat_expiry(now) : caller_deadline(op);
    if (now >= expires && is_heartbeat(op)) {
      // The device has not answered for the whole heartbeat time-out.
      CORVANTIC_LOG(util::log::Level::Warn, TARGET, "heartbeat timed out, considering control lost");
      lose_control();
      return;
    }
    if (now >= expires) {
      // Its caller stopped waiting while it was queued: nothing goes out.
      fail(op, CameraError::ack_timeout());
      return;
    }
    const std::uint16_t id = request_ids_.next();
    auto datagram = build_datagram(op, id);
    if (!datagram) {
      fail(op, CameraError::malformed("internal op/payload mismatch"));
      return;
    }
    if (auto sent = socket_.send_to(*datagram, settings_.device); !sent) {
      if (!is_heartbeat(op)) {
        fail(op, CameraError::io(sent.error().code));
        return;
      }
      // A heartbeat that cannot be sent (the host's own link is down, no
      // route) counts as one that got no answer: it stays in flight, its
      // retries and time-out run as for a lost one, and control loss is
      // reported within the heartbeat time-out whichever side the link
      // broke on.
      CORVANTIC_LOG(util::log::Level::Warn, TARGET, "heartbeat send failed: " + sent.error().text());
    } else {
      count(&LinkStats::commands);
    }
    const Clock::time_point deadline = deadline_after(now, settings_.gvcp_timeout, expires);
    transaction_ = Transaction{id, settings_.retries, deadline, expires, false, std::move(*datagram), std::move(op)};
  } catch (...) {
    fail(op, error_from_exception(std::current_exception()));
  }
}

void GvcpWorkerLoop::continue_transfer(GvcpOp op, Clock::time_point now) {
  if (!ops_.empty() && is_heartbeat(ops_.front())) {
    try {
      ops_.insert(ops_.begin() + 1, std::move(op));
    } catch (...) {
      fail(op, error_from_exception(std::current_exception()));
    }
  } else {
    start_op(std::move(op), now);
  }
}

void GvcpWorkerLoop::handle_datagram(const net::SocketAddress& source, std::span<const std::uint8_t> bytes,
                                     Clock::time_point now) {
  if (!source.same_ip(settings_.device)) return;
  if (proto::classify_datagram(bytes) == proto::GvcpDatagramKind::DeviceCommand) {
    handle_device_command(source, bytes, socket_);
    return;
  }
  const auto ack = proto::parse_ack(bytes);
  if (!ack) {
    CORVANTIC_LOG(util::log::Level::Trace, TARGET, "malformed ack (" + std::to_string(bytes.size()) + " bytes)");
    return;
  }
  handle_ack(*ack, now);
}

void GvcpWorkerLoop::handle_message_datagram(const net::SocketAddress& source, std::span<const std::uint8_t> bytes) {
  if (!message_socket_ || !source.same_ip(settings_.device)) return;
  if (proto::classify_datagram(bytes) != proto::GvcpDatagramKind::DeviceCommand) {
    CORVANTIC_LOG(util::log::Level::Trace, TARGET, "acknowledge on the message channel ignored");
    return;
  }
  handle_device_command(source, bytes, *message_socket_);
}

void GvcpWorkerLoop::handle_device_command(const net::SocketAddress& source, std::span<const std::uint8_t> bytes,
                                           net::UdpSocket& socket) {
  const auto command = proto::parse_device_command(bytes);
  if (!command) {
    CORVANTIC_LOG(util::log::Level::Trace, TARGET, "malformed inbound command");
    return;
  }
  std::size_t trailing = 0;
  auto events = proto::parse_device_events(*command, &trailing);
  if (events.empty()) {
    CORVANTIC_LOG(util::log::Level::Trace, TARGET, "unexpected inbound command " + util::hex4(command->header.command));
    return;
  }
  if (trailing != 0) {
    CORVANTIC_LOG(util::log::Level::Trace, TARGET, "bytes after the last event record left out",
                  util::log::field("bytes", trailing));
  }
  // Every accepted copy is counted once, as the device sent it; a copy the
  // device repeated because our acknowledge was lost is not delivered again.
  count(&LinkStats::events);
  if (command->header.ack_required()) {
    const auto ack = proto::encode_event_ack(command->header.command, command->header.request_id);
    if (auto sent = socket.send_to(ack, source); !sent) {
      CORVANTIC_LOG(util::log::Level::Warn, TARGET, "event ack send failed: " + sent.error().text());
    }
    if (recent_events_.seen_before(command->header.request_id, command->header.command, command->payload)) {
      CORVANTIC_LOG(util::log::Level::Trace, TARGET, "repeated event acknowledged again",
                    util::log::field("id", command->header.request_id));
      return;
    }
  }
  for (proto::DeviceEvent& event : events) deliver(std::move(event));
}

void GvcpWorkerLoop::drop_abandoned_subscriptions() {
  std::erase_if(subscribers_, [](const EventSender& subscriber) { return subscriber.abandoned(); });
  shared_->event_subscribers.store(subscribers_.size(), std::memory_order_relaxed);
}

void GvcpWorkerLoop::deliver(proto::DeviceEvent event) {
  if (subscribers_.empty()) return;
  const SharedEvent shared = std::make_shared<const proto::DeviceEvent>(std::move(event));
  std::erase_if(subscribers_, [&](const EventSender& subscriber) {
    const SendResult result = subscriber.try_send(shared);
    if (result == SendResult::Full) {
      CORVANTIC_LOG(util::log::Level::Trace, TARGET, "event channel full, event dropped");
    }
    return result == SendResult::ReceiverGone;
  });
}

void GvcpWorkerLoop::handle_ack(const proto::GvcpAck& ack, Clock::time_point now) {
  if (!transaction_ || ack.header.ack_id != transaction_->request_id) {
    count(&LinkStats::unsolicited);
    return;
  }
  heard_ = now;
  if (ack.header.acknowledge == proto::GVCP_PENDING_ACK) {
    if (const auto wait = proto::pending_ack_timeout(ack)) {
      count(&LinkStats::pending_acks);
      Transaction& tx = *transaction_;
      // The first pending acknowledge is free; each further one uses up a
      // retry, and with none left the deadline stands. No extension
      // reaches past the moment the command is given up.
      if (tx.pending_seen) {
        if (tx.tries_left == 0) return;
        --tx.tries_left;
      }
      tx.pending_seen = true;
      tx.deadline = deadline_after(now, *wait, tx.expires);
      return;
    }
  }
  GvcpOp op = std::move(transaction_->op);
  transaction_.reset();
  count(&LinkStats::acks);
  try {
    complete(op, ack, now);
  } catch (...) {
    // `op` is whole: the steps of complete() that can fail leave it as it was.
    fail(op, error_from_exception(std::current_exception()));
  }
}

void GvcpWorkerLoop::complete(GvcpOp& op, const proto::GvcpAck& ack, Clock::time_point now) {
  if (ack.header.status.is_error()) {
    count(&LinkStats::naks);
    if (is_heartbeat(op)) {
      CORVANTIC_LOG(util::log::Level::Warn, TARGET, "heartbeat rejected with " + ack.header.status.display() + ", control lost");
      // The device answered, so it may still list this host as the holder:
      // release control on the way out.
      lose_control(/*release=*/true);
    } else {
      fail(op, CameraError::status(command_of(op), ack.header.status));
    }
    return;
  }
  const std::uint16_t expected = expected_ack_of(op);
  if (ack.header.acknowledge != expected) {
    fail(op, CameraError::malformed("expected ack " + util::hex4(expected) + ", got " + util::hex4(ack.header.acknowledge)));
    return;
  }
  std::visit(
      Overloaded{
          [&](request::ReadRegister& r) {
            const auto values = proto::readreg_ack_values(ack.payload);
            if (values.empty()) {
              r.reply->set(std::unexpected(CameraError::malformed("empty read register ack")));
            } else {
              r.reply->set(values.front());
            }
          },
          [&](request::ReadRegisters& r) {
            auto values = proto::readreg_ack_values(ack.payload);
            if (values.size() != r.addresses.size()) {
              r.reply->set(std::unexpected(CameraError::wrong_value_count(values.size(), r.addresses.size())));
            } else {
              r.reply->set(std::move(values));
            }
          },
          [&](request::WriteRegisters& w) { w.reply->set(Unit{}); },
          [&](op::ReadMemory& r) {
            const auto data = proto::readmem_ack_data(ack.payload);
            if (!data) {
              r.reply->set(std::unexpected(CameraError::malformed("short read memory ack")));
              return;
            }
            const std::size_t wanted = r.length - r.collected.size();
            const std::size_t taken = std::min(data->size(), wanted);
            r.collected.insert(r.collected.end(), data->begin(), data->begin() + static_cast<std::ptrdiff_t>(taken));
            if (r.collected.size() == r.length) {
              r.reply->set(std::move(r.collected));
            } else if (taken == 0) {
              r.reply->set(std::unexpected(CameraError::malformed("empty read memory ack")));
            } else {
              r.address += static_cast<std::uint32_t>(taken);
              continue_transfer(std::move(r), now);
            }
          },
          [&](op::WriteMemory& w) {
            w.offset += std::min(w.data.size() - w.offset, proto::MAX_MEM_CHUNK);
            if (w.offset == w.data.size()) {
              w.reply->set(Unit{});
            } else {
              continue_transfer(std::move(w), now);
            }
          },
          [&](op::Heartbeat&) {
            count(&LinkStats::heartbeats);
            const auto values = proto::readreg_ack_values(ack.payload);
            if (values.empty() || (values.front() & proto::CCP_CONTROL) == 0) {
              CORVANTIC_LOG(util::log::Level::Warn, TARGET, "device control was lost (CCP cleared)");
              lose_control();
            }
          },
      },
      op);
}

void GvcpWorkerLoop::lose_control(bool release) {
  control_lost_ = true;
  release_after_loss_ = release;
}

void GvcpWorkerLoop::shut_down() {
  CORVANTIC_LOG(util::log::Level::Debug, TARGET, "gvcp worker shutting down", util::log::field("control_lost", control_lost_));
  const CameraError failure = control_lost_ ? CameraError::control_lost() : CameraError::not_connected();
  if (control_lost_) shared_->stats->set_control_lost();
  if (transaction_) fail(transaction_->op, failure);
  transaction_.reset();
  for (GvcpOp& op : ops_) fail(op, failure);
  ops_.clear();
  if (!control_lost_ || release_after_loss_) {
    // Release the control privilege; the outcome is not awaited.
    const proto::RegisterWrite release{proto::REG_CCP, 0};
    [[maybe_unused]] auto sent = socket_.send_to(proto::encode_writereg(std::span(&release, 1), request_ids_.next()),
                                                 settings_.device);
  }
  subscribers_.clear();
  shared_->event_subscribers.store(0, std::memory_order_relaxed);
  message_socket_.reset();
  shared_->running.store(false);
  std::deque<Request> left;
  {
    util::MutexLock lock(shared_->queue_mutex);
    left.swap(shared_->queue);
  }
  for (Request& request : left) fail_request(request, failure);
}

CameraResult<std::unique_ptr<GvcpWorker>> GvcpWorker::start(const WorkerSettings& settings,
                                                            std::shared_ptr<SharedLinkStats> stats) {
  auto socket = net::UdpSocket::bind(settings.local);
  if (!socket) {
    return std::unexpected(CameraError::worker_spawn("bind control socket " + settings.local.to_string() + ": " +
                                                     socket.error().text()));
  }
  auto spawn_error = [](const net::SysError& e) { return std::unexpected(CameraError::worker_spawn(e.text())); };
  if (auto nonblocking = socket->set_nonblocking(true); !nonblocking) return spawn_error(nonblocking.error());
  auto local = socket->local_address();
  if (!local) return spawn_error(local.error());
  auto poller = net::Poller::create();
  if (!poller) return spawn_error(poller.error());
  if (auto added = poller->add_readable(socket->fd(), SOCKET_TOKEN); !added) return spawn_error(added.error());
  auto waker = net::Waker::create(*poller, WAKER_TOKEN);
  if (!waker) return spawn_error(waker.error());

  auto shared = std::make_shared<Shared>();
  shared->waker = std::move(*waker);
  shared->stats = std::move(stats);

  std::unique_ptr<GvcpWorker> worker(new GvcpWorker());
  worker->shared_ = shared;
  worker->local_address_ = *local;
  auto loop = std::make_unique<GvcpWorkerLoop>(settings, std::move(*socket), std::move(*poller), shared);
  try {
    worker->thread_ = std::jthread([loop = std::move(loop)] {
      util::set_current_thread_name("corvantic-gvcp");
      loop->run();
    });
  } catch (const std::system_error& e) {
    return std::unexpected(CameraError::worker_spawn(e.what()));
  }
  return worker;
}

GvcpWorker::~GvcpWorker() {
  if (thread_.joinable()) {
    request_stop();
    thread_.join();
  }
}

bool GvcpWorker::post(Request request) {
  if (!running()) return false;
  {
    util::MutexLock lock(shared_->queue_mutex);
    shared_->queue.push_back(std::move(request));
  }
  // A failed wake only delays the request to the next poll tick.
  [[maybe_unused]] auto woken = shared_->waker.wake();
  return running();
}

bool GvcpWorker::running() const { return shared_->running.load(); }

std::shared_ptr<const std::atomic<bool>> GvcpWorker::running_flag() const {
  return {shared_, &shared_->running};
}

std::size_t GvcpWorker::event_subscribers() const {
  return shared_->event_subscribers.load(std::memory_order_relaxed);
}

void GvcpWorker::request_stop() {
  shared_->stop.store(true);
  [[maybe_unused]] auto woken = shared_->waker.wake();
}

}  // namespace corvantic::gige
