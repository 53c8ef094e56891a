#include "gige/stream/stream_channel.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "gige/proto/bootstrap.hpp"
#include "gige/stream/buffer_pool.hpp"
#include "gige/stream/registration_queue.hpp"
#include "net/udp_socket.hpp"
#include "util/log.hpp"
#include "util/try.hpp"

namespace corvantic::gige {
namespace {

using util::log::Level;
constexpr auto TARGET = util::log::target::GIGE;

// Fire-test probing: each probe waits for up to PROBE_RECEIVES datagrams of
// PROBE_WAIT each; late test packets are drained with DRAIN_WAIT.
constexpr auto PROBE_WAIT = std::chrono::milliseconds(25);
constexpr int PROBE_RECEIVES = 3;
constexpr auto DRAIN_WAIT = std::chrono::milliseconds(5);
// The drain ends after this long even while datagrams keep coming (a flood
// from another host must not hold the open).
constexpr auto DRAIN_LIMIT = std::chrono::milliseconds(100);
constexpr std::uint32_t SCPS_FIRE_TEST = 0x80000000;
constexpr std::uint32_t SCPS_DO_NOT_FRAGMENT = 0x40000000;
// IPv4 and UDP headers around a stream packet's payload.
constexpr std::uint32_t IP_UDP_HEADERS = 28;
constexpr std::array<std::uint16_t, 3> FIRE_TEST_CANDIDATES = {1488, 1008, 560};

CameraError io_error(const net::SysError& e) { return CameraError::io(e.code); }

CameraError ipv6_refused() { return CameraError::unsupported("IPv6 stream destinations"); }

// Where the stream socket binds when no destination is given.
CameraResult<net::SocketAddress> choose_host_address(const GigeDriver& driver) {
  auto host = driver.receive_address();
  if (host && !host->is_ipv4()) return std::unexpected(ipv6_refused());
  return host;
}

// Applies the requested receive-buffer size, beyond the rmem_max cap where
// the process may (SO_RCVBUFFORCE), and warns when the kernel grants less.
// Never fails: a small buffer only costs packets under load.
void size_receive_buffer(net::UdpSocket& socket, std::uint64_t requested) {
  const int bytes = static_cast<int>(std::min<std::uint64_t>(requested, INT_MAX / 2));
  // Linux reports twice the size it was given; half of it is comparable to
  // the request. A failed read back counts as nothing granted.
  auto granted = [&socket] {
    const auto reported = socket.receive_buffer();
    return reported ? static_cast<std::uint64_t>(*reported) / 2 : 0;
  };
  // A refused SO_RCVBUF leaves the default, which the read back shows.
  (void)socket.set_receive_buffer(bytes);
  std::uint64_t effective = granted();
  if (effective < static_cast<std::uint64_t>(bytes)) {
    // EPERM without CAP_NET_ADMIN; the read back shows what stayed.
    (void)socket.set_receive_buffer_force(bytes);
    effective = granted();
  }
  if (effective < static_cast<std::uint64_t>(bytes)) {
    CORVANTIC_LOG(Level::Warn, TARGET,
                  "stream socket receive buffer is " + std::to_string(effective) + " bytes, below the " +
                      std::to_string(bytes) + " requested; raise the net.core.rmem_max sysctl to allow more",
                  util::log::field("effective", effective), util::log::field("requested", bytes));
  }
}

// One probe of size `size`: the SCPS write with the fire-test and
// do-not-fragment bits, then up to PROBE_RECEIVES receives.
std::optional<std::uint32_t> probe_packet_size(GigeDriver& driver, std::uint16_t channel, net::UdpSocket& socket,
                                               const net::SocketAddress& device, std::span<std::uint8_t> buffer,
                                               std::uint16_t size) {
  if (!driver.write_register(proto::reg_scps(channel), size | SCPS_FIRE_TEST | SCPS_DO_NOT_FRAGMENT)) {
    return std::nullopt;
  }
  std::optional<std::uint32_t> measured;
  // Datagrams of other hosts use up no attempt (a flood must not crowd out
  // the test packets); the deadline bounds the probe all the same.
  const auto give_up = std::chrono::steady_clock::now() + PROBE_RECEIVES * PROBE_WAIT;
  for (int attempt = 0; attempt < PROBE_RECEIVES && std::chrono::steady_clock::now() < give_up;) {
    const auto datagram = socket.receive_from(buffer);
    if (datagram && !datagram->source.same_ip(device)) continue;
    ++attempt;
    // A time-out or receive error uses up the attempt.
    if (!datagram) continue;
    const std::uint32_t length = static_cast<std::uint32_t>(datagram->size) + IP_UDP_HEADERS;
    if (length > size) continue;
    measured = std::max(measured.value_or(0), length);
    if (length == size) break;
  }
  return measured;
}

// The largest packet size worth probing: the MTU of the host's route towards
// the device, read from a socket bound like the stream socket and connected
// to the device. A device answering test packets above it would only be
// answering through fragmentation, which its stream packets never use.
// FIRE_TEST_FIRST when the route's MTU cannot be read or is larger.
std::uint16_t packet_size_ceiling(const net::UdpSocket& stream_socket, const net::SocketAddress& device) {
  const auto local = stream_socket.local_address();
  if (!local) return FIRE_TEST_FIRST;
  auto probe = net::UdpSocket::bind(local->with_port(0));
  if (!probe || !probe->connect(device)) return FIRE_TEST_FIRST;
  const auto mtu = probe->path_mtu();
  // Below the smallest size the search may settle on, the reading is not
  // believed (no IPv4 route carries less than 576 bytes).
  if (!mtu || *mtu >= FIRE_TEST_FIRST || *mtu < FIRE_TEST_FLOOR) return FIRE_TEST_FIRST;
  CORVANTIC_LOG(Level::Debug, TARGET, "stream packet size capped at the route MTU " + std::to_string(*mtu),
                util::log::field("mtu", *mtu), util::log::field("device", device.to_string()));
  return static_cast<std::uint16_t>(*mtu);
}

// The fire test with the socket bound and SCP written: negotiates, writes the
// final SCPS and drains late test packets.
CameraResult<std::uint16_t> negotiate_packet_size(GigeDriver& driver, std::uint16_t channel,
                                                  net::UdpSocket& socket) {
  if (auto set = socket.set_receive_timeout(PROBE_WAIT); !set) return std::unexpected(io_error(set.error()));
  std::vector<std::uint8_t> buffer(65536);
  const net::SocketAddress device = driver.config().device;
  const std::uint16_t ceiling = packet_size_ceiling(socket, device);
  const FireTestOutcome outcome = search_packet_size(
      [&](std::uint16_t size) { return probe_packet_size(driver, channel, socket, device, buffer, size); }, ceiling);
  if (!outcome.supported) {
    CORVANTIC_LOG(Level::Warn, TARGET, "packet size fire-test unsupported, falling back to 1500");
  }
  CORVANTIC_TRY_VOID(driver.write_register(proto::reg_scps(channel), outcome.packet_size));
  // Late test packets would only be ignored by the worker; a failed time-out
  // change leaves the 25 ms one, which drains the same way.
  (void)socket.set_receive_timeout(DRAIN_WAIT);
  const auto drain_end = std::chrono::steady_clock::now() + DRAIN_LIMIT;
  while (std::chrono::steady_clock::now() < drain_end && socket.receive_from(buffer)) {
  }
  CORVANTIC_LOG(Level::Debug, TARGET, "negotiated stream packet size " + std::to_string(outcome.packet_size));
  return outcome.packet_size;
}

// Ticks per second from 0x093C (high) and 0x0940 (low): one READREG where the
// device concatenates, otherwise one register at a time. 0 when unknown.
std::uint64_t read_tick_frequency(GigeDriver& driver) {
  constexpr std::array<std::uint32_t, 2> REGISTERS = {proto::REG_TIMESTAMP_TICK_FREQUENCY_HIGH,
                                                      proto::REG_TIMESTAMP_TICK_FREQUENCY_LOW};
  std::uint64_t high = 0;
  std::uint64_t low = 0;
  if ((driver.capabilities().value_or(0) & proto::CAPABILITY_CONCATENATION) != 0) {
    const auto values = driver.read_registers(REGISTERS);
    if (!values || values->size() != 2) return 0;
    high = (*values)[0];
    low = (*values)[1];
  } else {
    const auto first = driver.read_register(REGISTERS[0]);
    if (!first) return 0;
    const auto second = driver.read_register(REGISTERS[1]);
    if (!second) return 0;
    high = *first;
    low = *second;
  }
  return (high << 32) | low;
}

// Binary search in steps of multiples of 16 between a size that passed
// (`low`) and one that did not or was never tried (`high`); `best` is the
// largest test packet measured so far. The result is at least
// FIRE_TEST_FLOOR. A measured `low` need not lie on the grid of `high`, so
// the step is at least 16: the search always moves.
std::uint16_t search_upwards(const FireTestProbe& probe, std::uint32_t low, std::uint32_t high, std::uint32_t best) {
  while (high > low && high - low >= 17) {
    const std::uint32_t mid = low + std::max<std::uint32_t>(16, ((high - low) / 2) & ~std::uint32_t{15});
    if (const auto at_mid = probe(static_cast<std::uint16_t>(mid))) {
      low = mid;
      best = std::max(best, *at_mid);
    } else {
      high = mid;
    }
  }
  return static_cast<std::uint16_t>(std::max<std::uint32_t>(best, FIRE_TEST_FLOOR));
}

}  // namespace

std::optional<std::string> stream_options_problem(const StreamOptions& options) {
  if (options.n_buffers == 0) return "n_buffers must be at least 1";
  if (options.packet_size && *options.packet_size < MIN_PACKET_SIZE) {
    return "packet_size must be at least " + std::to_string(MIN_PACKET_SIZE);
  }
  return std::nullopt;
}

std::uint64_t requested_receive_buffer(std::uint64_t payload_size, std::uint64_t receive_buffer) {
  if (receive_buffer != 0) return receive_buffer;
  const std::uint64_t wanted = payload_size > RECEIVE_BUFFER_MAX ? RECEIVE_BUFFER_MAX : payload_size + 1024;
  return std::clamp(wanted, RECEIVE_BUFFER_MIN, RECEIVE_BUFFER_MAX);
}

FireTestOutcome search_packet_size(const FireTestProbe& probe, std::uint16_t ceiling) {
  const std::uint16_t top = std::min(FIRE_TEST_FIRST, ceiling);
  if (const auto measured = probe(top)) {
    if (*measured >= top) return {top, true};
    // The device answered with a smaller test packet than asked: only what
    // arrived is known to pass, so search upwards from there.
    return {search_upwards(probe, *measured, top, *measured), true};
  }
  for (const std::uint16_t candidate : FIRE_TEST_CANDIDATES) {
    if (candidate >= top) continue;
    if (const auto measured = probe(candidate)) {
      return {search_upwards(probe, candidate, top, *measured), true};
    }
  }
  return {std::min(FIRE_TEST_FALLBACK, top), false};
}

namespace {

// The stream socket, bound where the device is to send, with its receive
// buffer sized for `payload_size`, and the address it is bound to.
struct BoundSocket {
  net::UdpSocket socket;
  net::SocketAddress local;
};

CameraResult<BoundSocket> bind_stream_socket(const GigeDriver& driver, const StreamOptions& options) {
  net::SocketAddress host;
  if (options.destination) {
    host = *options.destination;
  } else {
    CORVANTIC_TRY(host, choose_host_address(driver));
  }
  auto bound = net::UdpSocket::bind(host);
  if (!bound) return std::unexpected(io_error(bound.error()));
  const auto local = bound->local_address();
  if (!local) return std::unexpected(io_error(local.error()));
  if (!local->is_ipv4()) return std::unexpected(ipv6_refused());
  if (local->is_unspecified()) {
    CORVANTIC_LOG(Level::Debug, TARGET,
                  "stream host IP unresolved; advertising SCDA=0 (device streams to the GVCP requester)",
                  util::log::field("local", local->to_string()));
  }
  size_receive_buffer(*bound, requested_receive_buffer(*options.payload_size, options.receive_buffer));
  return BoundSocket{std::move(*bound), *local};
}

// Points the device's channel at the socket and sets its packet size (given,
// or negotiated by the fire test) and delay; returns the packet size. On a
// failed write, registers already written stay as they are.
CameraResult<std::uint16_t> program_channel(GigeDriver& driver, const StreamOptions& options, BoundSocket& bound) {
  const std::uint16_t channel = options.channel;
  CORVANTIC_TRY_VOID(driver.write_register(proto::reg_scda(channel), bound.local.ipv4_address()));
  CORVANTIC_TRY_VOID(driver.write_register(proto::reg_scp(channel), bound.local.port()));
  std::uint16_t packet_size = 0;
  if (options.packet_size) {
    packet_size = *options.packet_size;
    CORVANTIC_TRY_VOID(driver.write_register(proto::reg_scps(channel), packet_size));
  } else {
    CORVANTIC_TRY(packet_size, negotiate_packet_size(driver, channel, bound.socket));
  }
  if (options.packet_delay) {
    CORVANTIC_TRY_VOID(driver.write_register(proto::reg_scpd(channel), *options.packet_delay));
  }
  return packet_size;
}

void warn_scheduling_unsupported(const StreamOptions& options) {
  if (options.scheduling.priority || options.scheduling.cpu_mask) {
    CORVANTIC_LOG(Level::Warn, util::log::target::STREAM_RUNNER,
                  "thread scheduling not applied: thread scheduling configuration is only supported on Linux");
  }
}

}  // namespace

CameraResult<std::unique_ptr<StreamChannel>> StreamChannel::open(GigeDriver& driver,
                                                                 const StreamOptions& options) {
  if (!options.payload_size || *options.payload_size == 0) {
    return std::unexpected(CameraError::malformed("payload_size must be set"));
  }
  if (auto problem = stream_options_problem(options)) return std::unexpected(CameraError::malformed(*problem));
  CORVANTIC_TRY_VOID(driver.check_link());
  // On a failure below the socket closes as this function returns.
  CORVANTIC_TRY(BoundSocket bound, bind_stream_socket(driver, options));
  CORVANTIC_TRY(const std::uint16_t packet_size, program_channel(driver, options, bound));

  std::unique_ptr<StreamChannel> opened(new StreamChannel());
  opened->channel_ = options.channel;
  opened->local_address_ = bound.local;
  opened->packet_size_ = packet_size;
  opened->tick_frequency_ = read_tick_frequency(driver);
  opened->resend_enabled_ =
      !options.no_resend && (driver.capabilities().value_or(0) & proto::CAPABILITY_PACKETRESEND) != 0;

  stream::GvspWorkerSettings settings;
  settings.device = driver.config().device;
  settings.channel = options.channel;
  settings.payload_size = *options.payload_size;
  settings.packet_size = packet_size;
  settings.tick_frequency = opened->tick_frequency_;
  settings.resend_enabled = opened->resend_enabled_;
  settings.timings = options.timings;
  warn_scheduling_unsupported(options);
  opened->stats_ = std::make_shared<stream::SharedStreamStats>();
  CORVANTIC_TRY(opened->worker_,
                stream::GvspWorker::start(stream::gvsp_thread_name(options.channel), std::move(bound.socket), settings,
                                          stream::BufferPool::create(options.n_buffers, *options.payload_size),
                                          opened->stats_));
  opened->registrations_ = opened->worker_->registrations();
  CORVANTIC_LOG(Level::Debug, TARGET, "stream channel opened", util::log::field("channel", options.channel),
                util::log::field("local", bound.local.to_string()), util::log::field("packet_size", packet_size));
  return opened;
}

StreamChannel::~StreamChannel() { close_locally(); }

void StreamChannel::close(GigeDriver& driver) {
  if (!worker_) return;
  // The device may be gone or the link lost; the channel closes regardless.
  (void)driver.write_register(proto::reg_scp(channel_), 0);
  close_locally();
}

void StreamChannel::close_locally() {
  if (!worker_) return;
  // False once the worker has ended by itself; join() below still returns.
  (void)registrations_->send(stream::Registration::stop());
  registrations_->wake();
  worker_->join();
  worker_.reset();
}

stream::FrameReceiver StreamChannel::subscribe(std::size_t capacity) {
  auto ends = stream::make_subscription(capacity);
  // Refused after the worker ended: the sender is released, so the receiver
  // sees the end instead of waiting.
  (void)registrations_->send(stream::Registration{std::move(ends.sender)});
  return std::move(ends.receiver);
}

}  // namespace corvantic::gige
