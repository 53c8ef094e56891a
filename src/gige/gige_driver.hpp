// GigeDriver: the session with one connected device. It connects (starts the
// control worker, takes control, arms the heartbeat, reads the identity),
// offers register and memory access with the alignment rules and scaled
// waits, and disconnects within a deadline. The owner serialises calls (the
// Camera's session lock); the driver itself holds no lock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "gige/camera_error.hpp"
#include "gige/link_stats.hpp"
#include "gige/proto/bootstrap.hpp"
#include "gige/gvcp_worker.hpp"
#include "net/address.hpp"
#include "util/interrupt.hpp"

namespace corvantic::gige {

struct DriverConfig {
  net::SocketAddress device;  // IP with port 3956
  std::chrono::nanoseconds gvcp_timeout = std::chrono::milliseconds(500);
  std::uint8_t retries = 4;
  std::uint32_t heartbeat_timeout_ms = 3000;
  bool exclusive = false;
  std::optional<net::SocketAddress> local_ip;  // none = 0.0.0.0
};

class GigeDriver {
 public:
  explicit GigeDriver(DriverConfig config) : config_(std::move(config)) {}
  // Releases a live connection without waiting: the worker sees the stop
  // flag, runs its shutdown (including the release write) and is joined.
  ~GigeDriver() = default;
  GigeDriver(const GigeDriver&) = delete;
  GigeDriver& operator=(const GigeDriver&) = delete;

  // While an Interruption lives, every wait for the device's answer runs in
  // 100 ms slices and asks its check between them. Once the check says stop,
  // that wait and every later request of the guard's life end at once as a
  // timed-out one would (AckTimeout; ConnectTimeout when taking control),
  // later ones without being posted. Guards nest; the inner one rules.
  class Interruption {
   public:
    Interruption(GigeDriver& driver, const util::InterruptCheck& check)
        : driver_(driver), outer_(std::exchange(driver.interrupted_, &check)),
          outer_stopped_(std::exchange(driver.stop_asked_, false)) {}
    ~Interruption() {
      driver_.interrupted_ = outer_;
      driver_.stop_asked_ = outer_stopped_;
    }
    Interruption(const Interruption&) = delete;
    Interruption& operator=(const Interruption&) = delete;

   private:
    GigeDriver& driver_;
    const util::InterruptCheck* outer_;
    bool outer_stopped_;
  };

  // `interrupted`, when set, interrupts the connect as an Interruption
  // would; a connect that ends so discards the half-built connection.
  [[nodiscard]] CameraResult<Unit> connect(const util::InterruptCheck& interrupted = {});
  // Never fails; returns once the worker has been joined.
  void disconnect(std::chrono::nanoseconds deadline);
  [[nodiscard]] bool is_connected() const;
  // What is_connected() says, readable without the owner's lock while the
  // connection lasts: the running flag of its worker; null without one.
  [[nodiscard]] std::shared_ptr<const std::atomic<bool>> running_flag() const;
  // NotConnected without a connection; ControlLost or NotConnected when the
  // connection's worker has stopped.
  [[nodiscard]] CameraResult<Unit> check_link() const;

  [[nodiscard]] CameraResult<std::uint32_t> read_register(std::uint32_t address);
  [[nodiscard]] CameraResult<std::vector<std::uint32_t>> read_registers(std::span<const std::uint32_t> addresses);
  [[nodiscard]] CameraResult<Unit> write_register(std::uint32_t address, std::uint32_t value);
  [[nodiscard]] CameraResult<std::vector<std::uint8_t>> read_memory(std::uint64_t address, std::size_t length);
  // The same with an explicit wait limit for the whole transfer.
  [[nodiscard]] CameraResult<std::vector<std::uint8_t>> read_memory(std::uint64_t address, std::size_t length,
                                                                    std::chrono::nanoseconds wait_limit);
  [[nodiscard]] CameraResult<Unit> write_memory(std::uint64_t address, std::span<const std::uint8_t> data);
  // One memory read of `count` bytes at `address`, posted as given: no
  // alignment rule and no single-register shortcut, so the device alone
  // judges the request. Waits up to `wait_limit` for the whole transfer;
  // any other length than `count` is a short read. `interrupted`, when set,
  // is asked between 100 ms slices of the wait; when it says so the read
  // ends as a timed-out one would (AckTimeout).
  [[nodiscard]] CameraResult<std::vector<std::uint8_t>> read_memory_block(
      std::uint32_t address, std::uint32_t count, std::chrono::nanoseconds wait_limit,
      const util::InterruptCheck& interrupted = {});

  [[nodiscard]] const DriverConfig& config() const { return config_; }
  // Set while connected (also in link down), cleared by disconnect.
  [[nodiscard]] std::optional<proto::DeviceInfo> device_info() const;
  [[nodiscard]] std::optional<std::uint32_t> capabilities() const;
  [[nodiscard]] std::optional<LinkStats> link_stats() const;
  // The connection's own counters record, shared: whoever keeps it (a
  // stream opened on this connection) can still tell, after a reconnect
  // replaced the connection, whether control of this one was lost. Null
  // without a connection.
  [[nodiscard]] std::shared_ptr<const SharedLinkStats> shared_link_stats() const;
  // The bound address of the control socket while connected.
  [[nodiscard]] std::optional<net::SocketAddress> control_local_address() const;
  // Where a socket that receives from the device binds (port 0): the
  // control socket's address, or the one the host's routing picks towards
  // the device when the control socket is bound to the unspecified address.
  [[nodiscard]] CameraResult<net::SocketAddress> receive_address() const;
  // gvcp_timeout x (retries + 1) + 0.5 s, at most the largest duration.
  [[nodiscard]] std::chrono::nanoseconds wait_budget() const;
  // `count` wait budgets, at most the largest duration.
  [[nodiscard]] std::chrono::nanoseconds wait_budgets(std::uint64_t count) const;
  // The wait for a memory transfer of `length` bytes: one budget per
  // 512-byte chunk, plus one.
  [[nodiscard]] std::chrono::nanoseconds transfer_budget(std::size_t length) const;

  // Opens the connection's message channel unless it is open: a socket of
  // its own for device events, beside the control socket, which the device
  // is pointed at (MCDA, MCP). Returns the socket's address. Disconnect
  // clears MCP and MCDA again while control is still held.
  [[nodiscard]] CameraResult<net::SocketAddress> open_message_channel();
  // A new subscription, holding up to `capacity` events, to every device
  // event the connection accepts from now on (the message channel is opened
  // first). It ends when the connection ends.
  [[nodiscard]] CameraResult<EventReceiver> subscribe_events(std::size_t capacity);
  // Feeds the queue of `events`, a subscription made on an earlier
  // connection, with every device event this connection accepts from now
  // on (the message channel is opened first).
  [[nodiscard]] CameraResult<Unit> resume_events(const EventReceiver& events);

  // Identifies the current connection: 0 without one, and a number of its
  // own for each connection made in the process, so state kept per connection
  // above this layer (the fetched description) can tell when it is stale.
  [[nodiscard]] std::uint64_t connection_id() const { return connection_ ? connection_->id : 0; }

 private:
  struct Connection {
    std::shared_ptr<SharedLinkStats> stats;
    std::unique_ptr<GvcpWorker> worker;
    std::uint32_t capabilities = 0;
    proto::DeviceInfo info;
    std::uint64_t id = 0;
    bool message_channel = false;  // the device was pointed at the message socket
  };

  // Opens the message channel and hands `sender` to the worker, waiting
  // until it holds it.
  [[nodiscard]] CameraResult<Unit> add_event_subscriber(EventSender sender);
  template <typename T>
  [[nodiscard]] CameraResult<T> call(Request request, const ReplySlot<T>& reply, std::chrono::nanoseconds budget);
  template <typename T>
  [[nodiscard]] std::optional<CameraResult<T>> wait_answer(const ReplySlot<T>& reply, Deadline deadline);
  [[nodiscard]] CameraResult<Unit> take_control();
  [[nodiscard]] CameraResult<std::vector<std::uint32_t>> read_identity_registers();
  [[nodiscard]] CameraResult<std::vector<std::uint8_t>> read_text_register(const proto::TextRegister& reg);
  [[nodiscard]] CameraResult<proto::DeviceInfo> read_identity();
  void clear_message_channel(std::chrono::nanoseconds budget);

  DriverConfig config_;
  std::unique_ptr<Connection> connection_;
  // The check of the innermost Interruption; null without one.
  const util::InterruptCheck* interrupted_ = nullptr;
  // Whether that check said stop.
  bool stop_asked_ = false;
};

}  // namespace corvantic::gige
