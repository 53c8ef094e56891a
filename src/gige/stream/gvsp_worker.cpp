#include "gige/stream/gvsp_worker.hpp"

#include <array>
#include <chrono>
#include <optional>

#include "net/poller.hpp"
#include "util/thread_name.hpp"
#include "util/log.hpp"

namespace corvantic::gige::stream {
namespace {

using Clock = GvspWorkerLoop::Clock;
constexpr std::uint64_t SOCKET_TOKEN = 1;
constexpr std::uint64_t WAKER_TOKEN = 2;
constexpr std::size_t POLL_EVENTS = 16;
// Poll time-out while no frame is open; with frames open it is the resend interval.
constexpr auto IDLE_POLL = std::chrono::milliseconds(100);
constexpr std::string_view TARGET = util::log::target::STREAM_RUNNER;

// Resend requests leave from the stream socket, towards the device's
// control address.
class SocketResendSender final : public ResendSender {
 public:
  SocketResendSender(net::UdpSocket& socket, const net::SocketAddress& device) : socket_(socket), device_(device) {}
  net::SysResult<void> send(std::span<const std::uint8_t> datagram) override {
    auto sent = socket_.send_to(datagram, device_);
    if (!sent) return std::unexpected(sent.error());
    return {};
  }

 private:
  net::UdpSocket& socket_;
  net::SocketAddress device_;
};

// Everything the thread owns. The socket is declared before the loop, whose
// resend sender refers to it.
class GvspThread {
 public:
  GvspThread(net::UdpSocket socket, net::Poller poller, const GvspWorkerSettings& settings,
             std::shared_ptr<BufferPool> pool, std::shared_ptr<SharedStreamStats> stats,
             std::shared_ptr<RegistrationQueue> registrations, std::shared_ptr<std::atomic<bool>> stop,
             std::shared_ptr<std::atomic<bool>> running)
      : socket_(std::move(socket)),
        poller_(std::move(poller)),
        registrations_(registrations),
        stop_(std::move(stop)),
        running_(std::move(running)),
        batch_(GvspWorker::RECEIVE_BATCH),
        loop_(settings, std::move(pool), std::move(stats), std::move(registrations),
              std::make_unique<SocketResendSender>(socket_, settings.device)) {}

  // Nothing thrown inside leaves the thread: an exception (in practice an
  // allocation failure) ends the stream as a poller failure does, so open
  // frames close as aborted and every subscription sees the end.
  void run() {
    try {
      loop();
    } catch (...) {
      log_failure(std::current_exception());
    }
    try {
      loop_.shut_down();
    } catch (...) {
      loop_.end_subscriptions();
      log_failure(std::current_exception());
    }
    running_->store(false);
  }

 private:
  static void log_failure(std::exception_ptr failure) noexcept {
    try {
      CORVANTIC_LOG(util::log::Level::Error, TARGET,
                    "gvsp worker stopped by a failure: " + error_from_exception(failure).display());
    } catch (...) {  // no memory to say so
    }
  }

  void loop() {
    std::array<epoll_event, POLL_EVENTS> events{};
    while (!stop_->load() && !loop_.stop_requested()) {
      const auto timeout = loop_.has_open_frames()
                               ? std::chrono::duration_cast<std::chrono::milliseconds>(loop_.settings().timings.resend_interval)
                               : IDLE_POLL;
      auto ready = poller_.wait(events, timeout);
      if (!ready) {
        if (ready.error().code == EINTR) continue;
        CORVANTIC_LOG(util::log::Level::Error, TARGET, "gvsp worker poll error: " + ready.error().text());
        break;
      }
      bool readable = false;
      for (std::size_t i = 0; i < *ready; ++i) {
        if (events[i].data.u64 == SOCKET_TOKEN) readable = true;
        if (events[i].data.u64 == WAKER_TOKEN) registrations_->drain_wakes();
      }
      // Pending registrations are taken at every wake-up, whatever caused it.
      if (loop_.drain_registrations()) break;
      if (readable) receive_all();
      loop_.sweep(Clock::now(), std::nullopt);
      loop_.publish();
    }
  }

  // Receives until the socket would block; each batch is handled with one
  // reading of the clock.
  void receive_all() {
    for (;;) {
      aim_batch();
      auto received = socket_.receive_batch(batch_);
      if (!received) {
        if (!received.error().would_block()) {
          CORVANTIC_LOG(util::log::Level::Warn, TARGET, "gvsp recv error: " + received.error().text());
        }
        return;
      }
      handle_batch(*received);
      if (*received < batch_.capacity()) return;
    }
  }

  // Aims the first slots at the places the loop expects the next payloads
  // of the newest frame to go.
  void aim_batch() {
    aimed_ = loop_.predict(targets_);
    for (std::size_t i = 0; i < aimed_; ++i) {
      const auto& target = targets_[i];
      batch_.aim(i, target.extended ? proto::GVSP_EXTENDED_HEADER_SIZE : proto::GVSP_HEADER_SIZE, target.region);
    }
  }

  // First every datagram that did not land where it was aimed is made
  // whole, before any is handled: handling one may write a payload into a
  // region another datagram of the batch was received into.
  void handle_batch(std::size_t received) {
    for (std::size_t i = 0; i < received; ++i) {
      in_place_[i] = i < aimed_ ? landed_in_place(i) : std::nullopt;
      if (i < aimed_ && !in_place_[i]) batch_.gather(i);
    }
    const auto now = Clock::now();
    for (std::size_t i = 0; i < received; ++i) {
      if (in_place_[i]) {
        loop_.handle_received(*in_place_[i], batch_.length(i), now);
      } else {
        loop_.handle_datagram(batch_.source(i), batch_.payload(i), now);
      }
    }
  }

  // The header of datagram `i` with its payload in place, when it is the
  // device's data packet the slot was aimed at and fits its region.
  std::optional<proto::GvspHeader> landed_in_place(std::size_t i) const {
    const auto& target = targets_[i];
    if (!batch_.source(i).same_ip(loop_.settings().device) || batch_.past_region(i) > 0) return std::nullopt;
    auto header = proto::parse_header(batch_.head(i));
    if (!header || header->extended != target.extended || header->is_error() ||
        header->format != proto::GVSP_FORMAT_DATA || header->block_id != target.block_id ||
        header->packet_id != target.packet_id) {
      return std::nullopt;
    }
    header->payload = batch_.in_region(i);
    if (header->payload.empty()) return std::nullopt;
    return header;
  }

  net::UdpSocket socket_;
  net::Poller poller_;
  std::shared_ptr<RegistrationQueue> registrations_;
  std::shared_ptr<std::atomic<bool>> stop_;
  std::shared_ptr<std::atomic<bool>> running_;
  net::DatagramBatch batch_;
  GvspWorkerLoop loop_;
  // The targets the batch's first `aimed_` slots were aimed at, and for
  // each datagram of the batch its header when its payload landed there.
  std::array<GvspWorkerLoop::PacketTarget, GvspWorker::RECEIVE_BATCH> targets_{};
  std::size_t aimed_ = 0;
  std::array<std::optional<proto::GvspHeader>, GvspWorker::RECEIVE_BATCH> in_place_{};
};

}  // namespace

std::string gvsp_thread_name(std::uint16_t channel) {
  return (channel < 10 ? "corvantic-gvsp" : "corv-gvsp") + std::to_string(channel);
}

CameraResult<std::unique_ptr<GvspWorker>> GvspWorker::start(const std::string& thread_name, net::UdpSocket socket,
                                                            const GvspWorkerSettings& settings,
                                                            std::shared_ptr<BufferPool> pool,
                                                            std::shared_ptr<SharedStreamStats> stats) {
  auto spawn_error = [](const net::SysError& e) { return std::unexpected(CameraError::worker_spawn(e.text())); };
  if (auto nonblocking = socket.set_nonblocking(true); !nonblocking) return spawn_error(nonblocking.error());
  auto poller = net::Poller::create();
  if (!poller) return spawn_error(poller.error());
  if (auto added = poller->add_readable(socket.fd(), SOCKET_TOKEN); !added) return spawn_error(added.error());
  auto waker = net::Waker::create(*poller, WAKER_TOKEN);
  if (!waker) return spawn_error(waker.error());

  std::unique_ptr<GvspWorker> worker(new GvspWorker());
  worker->registrations_ = std::make_shared<RegistrationQueue>(std::move(*waker));
  worker->stop_ = std::make_shared<std::atomic<bool>>(false);
  worker->running_ = std::make_shared<std::atomic<bool>>(true);
  auto body = std::make_unique<GvspThread>(std::move(socket), std::move(*poller), settings, std::move(pool),
                                           std::move(stats), worker->registrations_, worker->stop_,
                                           worker->running_);
  try {
    worker->thread_ = std::jthread([name = thread_name, body = std::move(body)] {
      util::set_current_thread_name(name);
      body->run();
    });
  } catch (const std::system_error& e) {
    return std::unexpected(CameraError::worker_spawn(e.what()));
  }
  return worker;
}

GvspWorker::~GvspWorker() { join(); }

void GvspWorker::request_stop() {
  stop_->store(true);
  registrations_->wake();
}

void GvspWorker::join() {
  if (!thread_.joinable()) return;
  request_stop();
  thread_.join();
}

}  // namespace corvantic::gige::stream
