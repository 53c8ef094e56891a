#include "gige/gige_driver.hpp"

#include <atomic>
#include <thread>

#include "net/udp_socket.hpp"
#include "util/bytes.hpp"
#include "util/duration.hpp"
#include "util/log.hpp"
#include "util/text.hpp"
#include "util/try.hpp"

namespace corvantic::gige {
namespace {

// Connection ids, unique in the process; 0 means no connection.
std::uint64_t next_connection_id() {
  static std::atomic<std::uint64_t> last{0};
  return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

constexpr std::string_view TARGET = util::log::target::GIGE;
constexpr auto DISCONNECT_POLL = std::chrono::milliseconds(5);

std::string hex8(std::uint32_t value) {
  std::string digits = util::hex(value).substr(2);
  return "0x" + std::string(8 - digits.size(), '0') + digits;
}

CameraResult<std::uint32_t> checked_address(std::uint64_t address) {
  if (address >> 32 != 0) return std::unexpected(CameraError::malformed("address " + util::hex(address) + " beyond 32 bit"));
  return static_cast<std::uint32_t>(address);
}

}  // namespace

std::chrono::nanoseconds GigeDriver::wait_budget() const {
  return util::saturating_add(util::saturating_mul(config_.gvcp_timeout, config_.retries + 1u),
                              std::chrono::milliseconds(500));
}

std::chrono::nanoseconds GigeDriver::wait_budgets(std::uint64_t count) const {
  return util::saturating_mul(wait_budget(), count);
}

// How long to wait for a memory transfer of `length` bytes: one budget per
// chunk it may take.
std::chrono::nanoseconds GigeDriver::transfer_budget(std::size_t length) const {
  return wait_budgets(length / proto::MAX_MEM_CHUNK + 1);
}

bool GigeDriver::is_connected() const { return connection_ && connection_->worker->running(); }

std::shared_ptr<const std::atomic<bool>> GigeDriver::running_flag() const {
  return connection_ ? connection_->worker->running_flag() : nullptr;
}

CameraResult<Unit> GigeDriver::check_link() const {
  if (!connection_) return std::unexpected(CameraError::not_connected());
  if (connection_->worker->running()) return Unit{};
  if (connection_->stats->snapshot().control_lost) return std::unexpected(CameraError::control_lost());
  return std::unexpected(CameraError::not_connected());
}

// The worker gives the request up when this caller stops waiting, so a
// device that stalls one command cannot hold the channel beyond its budget.
template <typename T>
CameraResult<T> GigeDriver::call(Request request, const ReplySlot<T>& reply, std::chrono::nanoseconds budget) {
  const Deadline deadline = util::saturating_add<std::chrono::steady_clock>(std::chrono::steady_clock::now(), budget);
  std::visit(
      [&](auto& r) {
        if constexpr (requires { r.deadline; }) r.deadline = deadline;
      },
      request);
  if (stop_asked_) return std::unexpected(CameraError::ack_timeout());
  if (!connection_ || !connection_->worker->post(std::move(request))) {
    return std::unexpected(CameraError::not_connected());
  }
  if (auto answer = wait_answer(reply, deadline)) return std::move(*answer);
  return std::unexpected(CameraError::ack_timeout());
}

// In slices while an Interruption lives; nothing when the deadline passed
// or the check said stop.
template <typename T>
std::optional<CameraResult<T>> GigeDriver::wait_answer(const ReplySlot<T>& reply, Deadline deadline) {
  if (interrupted_ == nullptr || !*interrupted_) return reply->wait_until(deadline);
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    const Deadline slice_end = deadline - now > util::WAIT_SLICE ? now + util::WAIT_SLICE : deadline;
    if (auto answer = reply->wait_until(slice_end)) return answer;
    if (slice_end == deadline) return std::nullopt;
    if ((*interrupted_)()) {
      stop_asked_ = true;
      return std::nullopt;
    }
  }
}

CameraResult<std::uint32_t> GigeDriver::read_register(std::uint32_t address) {
  auto reply = make_reply_slot<std::uint32_t>();
  return call(request::ReadRegister{address, reply}, reply, wait_budget());
}

CameraResult<std::vector<std::uint32_t>> GigeDriver::read_registers(std::span<const std::uint32_t> addresses) {
  auto reply = make_reply_slot<std::vector<std::uint32_t>>();
  return call(request::ReadRegisters{{addresses.begin(), addresses.end()}, reply}, reply, wait_budget());
}

CameraResult<Unit> GigeDriver::write_register(std::uint32_t address, std::uint32_t value) {
  CORVANTIC_LOG(util::log::Level::Trace, TARGET, "write register " + util::hex4(address) + " := " + hex8(value));
  auto reply = make_reply_slot<Unit>();
  return call(request::WriteRegisters{{proto::RegisterWrite{address, value}}, reply}, reply, wait_budget());
}

CameraResult<std::vector<std::uint8_t>> GigeDriver::read_memory(std::uint64_t address, std::size_t length) {
  return read_memory(address, length, transfer_budget(length));
}

CameraResult<std::vector<std::uint8_t>> GigeDriver::read_memory(std::uint64_t address, std::size_t length,
                                                                std::chrono::nanoseconds wait_limit) {
  CORVANTIC_TRY(const std::uint32_t start, checked_address(address));
  if (length == 4 && start % 4 == 0) {
    CORVANTIC_TRY(const std::uint32_t value, read_register(start));
    std::vector<std::uint8_t> bytes(4);
    util::store_be32(bytes.data(), value);
    return bytes;
  }
  if (start % 4 != 0) return std::unexpected(CameraError::malformed("read address must be 4-byte aligned"));
  if (length > UINT32_MAX) return std::unexpected(CameraError::malformed("read length beyond 32 bit"));
  auto reply = make_reply_slot<std::vector<std::uint8_t>>();
  CORVANTIC_TRY(auto bytes,
                call(request::ReadMemory{start, static_cast<std::uint32_t>(length), reply}, reply, wait_limit));
  if (bytes.size() != length) return std::unexpected(CameraError::malformed("short memory read"));
  return bytes;
}

CameraResult<std::vector<std::uint8_t>> GigeDriver::read_memory_block(
    std::uint32_t address, std::uint32_t count, std::chrono::nanoseconds wait_limit,
    const util::InterruptCheck& interrupted) {
  std::optional<Interruption> interruption;
  if (interrupted) interruption.emplace(*this, interrupted);
  auto reply = make_reply_slot<std::vector<std::uint8_t>>();
  CORVANTIC_TRY(auto bytes, call(request::ReadMemory{address, count, reply}, reply, wait_limit));
  if (bytes.size() != count) return std::unexpected(CameraError::malformed("short memory read"));
  return bytes;
}

CameraResult<Unit> GigeDriver::write_memory(std::uint64_t address, std::span<const std::uint8_t> data) {
  CORVANTIC_TRY(const std::uint32_t start, checked_address(address));
  if (data.size() == 4 && start % 4 == 0) return write_register(start, util::load_be32(data.data()));
  CORVANTIC_LOG(util::log::Level::Trace, TARGET,
                "write memory " + util::hex4(start) + " (" + std::to_string(data.size()) + " bytes)");
  if (start % 4 != 0 || data.size() % 4 != 0) {
    return std::unexpected(CameraError::malformed("write address and length must be 4-byte aligned"));
  }
  auto reply = make_reply_slot<Unit>();
  return call(request::WriteMemory{start, {data.begin(), data.end()}, reply}, reply,
              transfer_budget(data.size()));
}

CameraResult<Unit> GigeDriver::take_control() {
  const std::uint32_t privilege = config_.exclusive ? (proto::CCP_CONTROL | proto::CCP_EXCLUSIVE) : proto::CCP_CONTROL;
  auto written = write_register(proto::REG_CCP, privilege);
  if (written) return written;
  const CameraError& e = written.error();
  if (e.kind() == CameraError::Kind::AckTimeout) return std::unexpected(CameraError::connect_timeout());
  if (e.kind() == CameraError::Kind::Status && (e.gvcp_status().code == proto::GvcpStatus::ACCESS_DENIED ||
                                                e.gvcp_status().code == proto::GvcpStatus::WRITE_PROTECT)) {
    return std::unexpected(CameraError::control_denied());
  }
  return written;
}

// The nine identity registers: one READREG where the device concatenates,
// else one register at a time (a device without concatenation may answer a
// multi-address READREG with its first value only).
CameraResult<std::vector<std::uint32_t>> GigeDriver::read_identity_registers() {
  if ((connection_->capabilities & proto::CAPABILITY_CONCATENATION) != 0) {
    auto values = read_registers(proto::IDENTITY_REGISTERS);
    // A reply with the wrong number of values is, at connect, a short
    // bootstrap read.
    if (!values && values.error().reason() == CameraError::Reason::WrongValueCount) {
      return std::unexpected(CameraError::malformed("short bootstrap register read"));
    }
    return values;
  }
  std::vector<std::uint32_t> values;
  for (const std::uint32_t address : proto::IDENTITY_REGISTERS) {
    CORVANTIC_TRY(const std::uint32_t value, read_register(address));
    values.push_back(value);
  }
  return values;
}

// The raw bytes of a text register; a register the device refuses with an
// error status reads as empty text.
CameraResult<std::vector<std::uint8_t>> GigeDriver::read_text_register(const proto::TextRegister& reg) {
  auto bytes = read_memory(reg.address, reg.size);
  if (bytes || bytes.error().kind() != CameraError::Kind::Status) return bytes;
  CORVANTIC_LOG(util::log::Level::Trace, TARGET,
                "string register " + util::hex4(reg.address) + " unreadable: " + bytes.error().display());
  return std::vector<std::uint8_t>();
}

CameraResult<proto::DeviceInfo> GigeDriver::read_identity() {
  CORVANTIC_TRY(const auto registers, read_identity_registers());
  std::array<std::vector<std::uint8_t>, proto::IDENTITY_TEXT_REGISTERS.size()> texts;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    CORVANTIC_TRY(texts[i], read_text_register(proto::IDENTITY_TEXT_REGISTERS[i]));
  }
  proto::IdentityRegisterValues values;
  std::copy(registers.begin(), registers.end(), values.registers.begin());
  std::copy(texts.begin(), texts.end(), values.texts.begin());
  return proto::device_info_from_registers(values);
}

CameraResult<Unit> GigeDriver::connect(const util::InterruptCheck& interrupted) {
  if (is_connected()) return Unit{};
  connection_.reset();
  std::optional<Interruption> interruption;
  if (interrupted) interruption.emplace(*this, interrupted);

  auto stats = std::make_shared<SharedLinkStats>();
  WorkerSettings settings{config_.device, config_.local_ip.value_or(net::SocketAddress::ipv4(0, 0)),
                          config_.gvcp_timeout, config_.retries, config_.heartbeat_timeout_ms};
  CORVANTIC_TRY(auto worker, GvcpWorker::start(settings, stats));
  connection_ = std::make_unique<Connection>(Connection{stats, std::move(worker), 0, {}, next_connection_id()});

  auto established = [&]() -> CameraResult<Unit> {
    CORVANTIC_TRY_VOID(take_control());
    CORVANTIC_TRY_VOID(write_register(proto::REG_HEARTBEAT_TIMEOUT, config_.heartbeat_timeout_ms));
    CORVANTIC_TRY(connection_->capabilities, read_register(proto::REG_GVCP_CAPABILITY));
    CORVANTIC_TRY(connection_->info, read_identity());
    return Unit{};
  }();
  if (!established) {
    connection_.reset();  // stops and joins the worker, which releases control
    return established;
  }
  CORVANTIC_LOG(util::log::Level::Debug, TARGET, "connected", util::log::field("addr", config_.device.to_string()),
                util::log::field("model", connection_->info.model), util::log::field("serial", connection_->info.serial));
  return Unit{};
}

CameraResult<net::SocketAddress> GigeDriver::open_message_channel() {
  CORVANTIC_TRY_VOID(check_link());
  CORVANTIC_TRY(const net::SocketAddress host, receive_address());
  if (!host.is_ipv4()) return std::unexpected(CameraError::unsupported("IPv6 event destinations"));
  auto reply = make_reply_slot<net::SocketAddress>();
  CORVANTIC_TRY(const net::SocketAddress local, call(request::OpenMessageChannel{host, reply}, reply, wait_budget()));
  if (!connection_->message_channel) {
    // MCP last: a non-zero port is what turns the channel on.
    CORVANTIC_TRY_VOID(write_register(proto::REG_MCDA, local.ipv4_address()));
    CORVANTIC_TRY_VOID(write_register(proto::REG_MCP, local.port()));
    connection_->message_channel = true;
  }
  return local;
}

CameraResult<EventReceiver> GigeDriver::subscribe_events(std::size_t capacity) {
  EventSubscriptionEnds ends = make_event_subscription(capacity);
  CORVANTIC_TRY_VOID(add_event_subscriber(std::move(ends.sender)));
  return std::move(ends.receiver);
}

CameraResult<Unit> GigeDriver::resume_events(const EventReceiver& events) {
  return add_event_subscriber(another_sender(events));
}

// Returns once the worker holds the subscriber: an event the device sends
// after this call is delivered.
CameraResult<Unit> GigeDriver::add_event_subscriber(EventSender sender) {
  CORVANTIC_TRY_VOID(open_message_channel());
  auto reply = make_reply_slot<Unit>();
  return call(request::SubscribeEvents{std::move(sender), reply}, reply, wait_budget());
}

// Points the device's message channel away (MCP first, which turns it off),
// waiting at most `budget`: a disconnect keeps to its deadline.
void GigeDriver::clear_message_channel(std::chrono::nanoseconds budget) {
  const proto::RegisterWrite clear[] = {{proto::REG_MCP, 0}, {proto::REG_MCDA, 0}};
  auto reply = make_reply_slot<Unit>();
  if (auto cleared = call(request::WriteRegisters{{std::begin(clear), std::end(clear)}, reply}, reply, budget); !cleared) {
    CORVANTIC_LOG(util::log::Level::Debug, TARGET, "message channel not cleared: " + cleared.error().display());
  }
}

void GigeDriver::disconnect(std::chrono::nanoseconds deadline) {
  if (!connection_) return;
  CORVANTIC_LOG(util::log::Level::Debug, TARGET, "disconnecting", util::log::field("addr", config_.device.to_string()));
  const auto start = std::chrono::steady_clock::now();
  if (connection_->message_channel && connection_->worker->running()) clear_message_channel(deadline);
  std::unique_ptr<Connection> connection = std::move(connection_);
  GvcpWorker& worker = *connection->worker;
  if (worker.running()) {
    [[maybe_unused]] const bool posted = worker.post(request::Shutdown{});
  }
  while (worker.running() && std::chrono::steady_clock::now() - start < deadline) {
    std::this_thread::sleep_for(DISCONNECT_POLL);
  }
  worker.request_stop();
  connection.reset();  // joins the worker
}

std::optional<proto::DeviceInfo> GigeDriver::device_info() const {
  if (!connection_) return std::nullopt;
  return connection_->info;
}

std::optional<std::uint32_t> GigeDriver::capabilities() const {
  if (!connection_) return std::nullopt;
  return connection_->capabilities;
}

std::optional<LinkStats> GigeDriver::link_stats() const {
  if (!connection_) return std::nullopt;
  return connection_->stats->snapshot();
}

std::shared_ptr<const SharedLinkStats> GigeDriver::shared_link_stats() const {
  if (!connection_) return nullptr;
  return connection_->stats;
}

CameraResult<net::SocketAddress> GigeDriver::receive_address() const {
  const auto control = control_local_address();
  if (!control) return std::unexpected(CameraError::not_connected());
  if (!control->is_unspecified()) return control->with_port(0);
  auto io_error = [](const net::SysError& e) { return std::unexpected(CameraError::io(e.code)); };
  auto probe = net::UdpSocket::bind(net::SocketAddress::ipv4(0, 0));
  if (!probe) return io_error(probe.error());
  if (auto connected = probe->connect(config_.device); !connected) return io_error(connected.error());
  auto routed = probe->local_address();
  if (!routed) return io_error(routed.error());
  return routed->with_port(0);
}

std::optional<net::SocketAddress> GigeDriver::control_local_address() const {
  if (!connection_) return std::nullopt;
  return connection_->worker->local_address();
}

}  // namespace corvantic::gige
