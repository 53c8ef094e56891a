#include "sim/device.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <variant>

#include "gige/proto/gvcp_status.hpp"

namespace corvantic::sim {
namespace {

using Status = gige::proto::GvcpStatus;

// A reordered acknowledge that no later acknowledge releases goes out after this.
constexpr auto HELD_ACK_LIMIT = std::chrono::seconds(2);
// Longest sleep of the control thread; timers are usually nearer.
constexpr auto MAX_POLL = std::chrono::milliseconds(100);
// Repeated-write records kept before the oldest are forgotten.
constexpr std::size_t MAX_LAST_WRITES = 256;

std::uint32_t parse_ipv4(const std::string& text) {
  in_addr addr{};
  if (inet_pton(AF_INET, text.c_str(), &addr) != 1) return 0;
  return ntohl(addr.s_addr);
}

std::string format_ipv4(std::uint32_t ip) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF, ip & 0xFF);
  return text;
}

sockaddr_in socket_address(const Peer& peer) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(peer.ip);
  addr.sin_port = htons(peer.port);
  return addr;
}

std::string system_error_text(int error) {
  return std::generic_category().message(error);
}

RegisterMapConfig map_config(const VirtualCameraConfig& config, std::uint32_t ip,
                             std::function<std::uint64_t()> timestamp) {
  RegisterMapConfig out;
  out.timestamp = std::move(timestamp);
  out.identity.ip = ip;
  out.identity.mac = {0x02,
                      0x00,
                      static_cast<std::uint8_t>(ip >> 24),
                      static_cast<std::uint8_t>(ip >> 16),
                      static_cast<std::uint8_t>(ip >> 8),
                      static_cast<std::uint8_t>(ip)};
  if (config.serial.empty()) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "SIM%08X", ip);
    out.identity.serial = serial;
  } else {
    out.identity.serial = config.serial;
  }
  out.identity.user_name = config.user_name;
  out.capabilities = config.capabilities;
  out.tick_frequency = config.tick_frequency;
  out.heartbeat_timeout_ms = config.heartbeat_timeout_ms;
  out.writes_need_control = config.writes_need_control;
  out.width = config.width;
  out.height = config.height;
  out.frame_rate = static_cast<float>(config.frame_rate);
  out.description = description_bytes(config.description, config.single_frame_entry);
  out.description_file = description_file_name(config.description);
  return out;
}

bool is_write(const Request& request) {
  return std::holds_alternative<WriteRegRequest>(request) || std::holds_alternative<WriteMemRequest>(request);
}

}  // namespace

VirtualCamera::VirtualCamera(VirtualCameraConfig config)
    : config_(std::move(config)),
      ip_(parse_ipv4(config_.address)),
      // The map calls the timestamp under mutex_, which guards streamers_.
      map_(map_config(config_, ip_,
                      [this]() REQUIRES(mutex_) { return streamers_[0] ? streamers_[0]->timestamp() : 0; })),
      path_mtu_(config_.path_mtu),
      extended_ids_(config_.extended_ids) {}

VirtualCamera::~VirtualCamera() {
  stop();
}

std::expected<void, std::string> VirtualCamera::start() {
  util::MutexLock lock(mutex_);
  if (socket_fd_.valid()) return {};
  if (ip_ == 0) return std::unexpected("bad IPv4 address '" + config_.address + "'");
  const std::string where = format_ipv4(ip_) + ":" + std::to_string(GVCP_PORT);

  // No SO_REUSEADDR: for UDP it would let a second camera bind the same
  // address and silently share its datagrams; a clear bind failure is better.
  util::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return std::unexpected("socket: " + system_error_text(errno));
  const sockaddr_in local = socket_address({ip_, GVCP_PORT});
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    const int error = errno;
    return std::unexpected("bind " + where + ": " + system_error_text(error));
  }
  util::UniqueFd wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!wake.valid()) {
    const int error = errno;
    return std::unexpected("eventfd: " + system_error_text(error));
  }
  socket_fd_ = std::move(fd);
  wake_fd_ = std::move(wake);
  if (config_.listen_broadcast) {
    if (auto opened = open_broadcast_sockets_locked(); !opened) {
      close_sockets_locked();
      return opened;
    }
  }
  for (int c = 0; c < reg::STREAM_CHANNEL_COUNT; ++c) {
    const auto index = static_cast<std::size_t>(c);
    streamers_[index] = std::make_unique<GvspStreamer>(c, socket_fd_.get(), config_.tick_frequency,
                                                       config_.segmentation_offload);
    streamers_[index]->set_faults(stream_faults_[index]);
    started_[index] = false;
    if (c == 0) {
      streamers_[index]->set_exposure_observer(
          [this](std::uint64_t block_id, std::uint64_t timestamp) { note_exposure_end(block_id, timestamp); });
    }
    reconfigure_stream_locked(c);
  }
  stop_requested_.store(false);
  try {
    thread_ = std::thread(&VirtualCamera::run, this);
  } catch (const std::system_error& e) {
    for (auto& streamer : streamers_) streamer.reset();
    close_sockets_locked();
    return std::unexpected(std::string("control thread: ") + e.what());
  }
  return {};
}

void VirtualCamera::stop() {
  {
    util::MutexLock lock(mutex_);
    if (!socket_fd_.valid()) return;
  }
  stop_requested_.store(true);
  wake();
  if (thread_.joinable()) thread_.join();
  util::MutexLock lock(mutex_);
  for (auto& streamer : streamers_) {
    if (streamer) streamer->stop();
    streamer.reset();
  }
  map_.set_acquisition_active(false);
  started_.fill(false);
  outgoing_.clear();
  held_ack_.reset();
  events_.clear();
  pending_.reset();
  close_sockets_locked();
  util::MutexLock exposures_lock(exposures_mutex_);
  exposures_.clear();
}

void VirtualCamera::close_sockets_locked() {
  broadcast_fds_.clear();
  socket_fd_.reset();
  wake_fd_.reset();
}

std::expected<void, std::string> VirtualCamera::open_broadcast_sockets_locked() {
  // The limited broadcast, and the directed broadcast of the interface that
  // holds the camera's address, if it has one (loopback has none).
  std::vector<std::uint32_t> addresses{INADDR_BROADCAST};
  ifaddrs* interfaces = nullptr;
  if (::getifaddrs(&interfaces) == 0) {
    for (const ifaddrs* i = interfaces; i != nullptr; i = i->ifa_next) {
      if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET ||
          (i->ifa_flags & IFF_BROADCAST) == 0 || i->ifa_broadaddr == nullptr) {
        continue;
      }
      const auto* own = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
      if (ntohl(own->sin_addr.s_addr) != ip_ || addresses.size() >= MAX_BROADCAST_SOCKETS) continue;
      // An address added without a broadcast reports none (or itself): the
      // subnet's broadcast is then the address with all host bits set.
      std::uint32_t broadcast =
          ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_broadaddr)->sin_addr.s_addr);
      if ((broadcast == 0 || broadcast == ip_) && i->ifa_netmask != nullptr) {
        broadcast = ip_ | ~ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
      }
      if (broadcast != ip_ && broadcast != INADDR_BROADCAST) addresses.push_back(broadcast);
    }
    ::freeifaddrs(interfaces);
  }
  for (const std::uint32_t address : addresses) {
    util::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return std::unexpected("socket: " + system_error_text(errno));
    // Every camera listening for broadcasts gets its own copy of each one.
    const int on = 1;
    const sockaddr_in local = socket_address({address, GVCP_PORT});
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      const int error = errno;
      return std::unexpected("bind broadcast " + format_ipv4(address) + ":" + std::to_string(GVCP_PORT) +
                             ": " + system_error_text(error));
    }
    broadcast_fds_.push_back(std::move(fd));
  }
  return {};
}

bool VirtualCamera::running() const {
  util::MutexLock lock(mutex_);
  return socket_fd_.valid();
}

void VirtualCamera::wake() {
  // Best effort: a failed write means the counter is already non-zero, so the
  // control thread is due to wake anyway.
  if (wake_fd_.valid()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(wake_fd_.get(), &one, sizeof one);
  }
}

// ---------------------------------------------------------------- faults

void VirtualCamera::drop_acks(std::uint32_t count) {
  util::MutexLock lock(mutex_);
  drop_acks_ = count;
}
void VirtualCamera::duplicate_acks(std::uint32_t count) {
  util::MutexLock lock(mutex_);
  duplicate_acks_ = count;
}
void VirtualCamera::reorder_acks(std::uint32_t count) {
  util::MutexLock lock(mutex_);
  reorder_acks_ = count;
}
void VirtualCamera::set_ack_delay(std::uint32_t ms) {
  util::MutexLock lock(mutex_);
  ack_delay_ms_ = ms;
}
void VirtualCamera::set_silent(bool silent) {
  util::MutexLock lock(mutex_);
  silent_ = silent;
}
void VirtualCamera::ignore_event_acks(std::uint32_t count) {
  util::MutexLock lock(mutex_);
  ignore_event_acks_ = count;
}
void VirtualCamera::inject_status(std::uint32_t address, InjectedStatus injected) {
  util::MutexLock lock(mutex_);
  map_.inject_status(address, injected);
}
void VirtualCamera::clear_status(std::uint32_t address) {
  util::MutexLock lock(mutex_);
  map_.clear_injected_status(address);
}
void VirtualCamera::clear_statuses() {
  util::MutexLock lock(mutex_);
  map_.clear_all_injected_statuses();
}
void VirtualCamera::add_pending(PendingRule rule) {
  util::MutexLock lock(mutex_);
  pending_rules_.push_back(rule);
}
void VirtualCamera::clear_pending() {
  util::MutexLock lock(mutex_);
  pending_rules_.clear();
}
void VirtualCamera::set_ignore_heartbeats(bool ignore) {
  util::MutexLock lock(mutex_);
  ignore_heartbeats_ = ignore;
}
void VirtualCamera::expire_heartbeat() {
  util::MutexLock lock(mutex_);
  Effects effects;
  if (map_.force_release(effects)) {
    ++counters_.heartbeat_expiries;
    apply_effects_locked(effects, Clock::now());
  }
}
void VirtualCamera::set_path_mtu(std::uint32_t bytes) {
  util::MutexLock lock(mutex_);
  path_mtu_ = bytes;
  for (int c = 0; c < reg::STREAM_CHANNEL_COUNT; ++c) reconfigure_stream_locked(c);
}
void VirtualCamera::set_extended_ids(bool extended) {
  util::MutexLock lock(mutex_);
  extended_ids_ = extended;
  for (int c = 0; c < reg::STREAM_CHANNEL_COUNT; ++c) reconfigure_stream_locked(c);
}
void VirtualCamera::set_stream_faults(int channel, const StreamFaults& faults) {
  if (channel < 0 || channel >= reg::STREAM_CHANNEL_COUNT) return;
  util::MutexLock lock(mutex_);
  const auto index = static_cast<std::size_t>(channel);
  stream_faults_[index] = faults;
  if (streamers_[index]) streamers_[index]->set_faults(faults);
}
void VirtualCamera::set_url(int index, std::string_view text) {
  util::MutexLock lock(mutex_);
  map_.set_url(index, text);
}
FrameLayout VirtualCamera::payload_layout(std::uint64_t block_id) {
  util::MutexLock lock(mutex_);
  return frame_layout(map_.stream_config(0), block_id);
}

void VirtualCamera::clear_faults() {
  util::MutexLock lock(mutex_);
  drop_acks_ = duplicate_acks_ = reorder_acks_ = ack_delay_ms_ = ignore_event_acks_ = 0;
  silent_ = false;
  ignore_heartbeats_ = false;
  map_.clear_all_injected_statuses();
  pending_rules_.clear();
  const auto url = local_url(description_file_name(config_.description), reg::DESCRIPTION_BASE,
                             static_cast<std::uint32_t>(description_bytes(config_.description, config_.single_frame_entry).size()));
  map_.set_url(0, url);
  map_.set_url(1, url);
  path_mtu_ = config_.path_mtu;
  for (int c = 0; c < reg::STREAM_CHANNEL_COUNT; ++c) {
    const auto index = static_cast<std::size_t>(c);
    stream_faults_[index] = StreamFaults{};
    if (streamers_[index]) streamers_[index]->set_faults(stream_faults_[index]);
    reconfigure_stream_locked(c);
  }
}

// ---------------------------------------------------------------- status

DeviceStatus VirtualCamera::status() const {
  util::MutexLock lock(mutex_);
  DeviceStatus out;
  out.counters = counters_;
  out.control_holder = map_.control_holder();
  out.ccp = map_.ccp();
  out.message_channel = map_.message_channel();
  out.acquisition_active = map_.acquisition_active();
  for (std::size_t c = 0; c < streamers_.size(); ++c) {
    if (!streamers_[c]) continue;
    out.streams[c] = streamers_[c]->counters();
    out.streaming[c] = streamers_[c]->running();
  }
  return out;
}

void VirtualCamera::process_datagram(std::span<const std::uint8_t> datagram, const sockaddr_in& from) {
  util::MutexLock lock(mutex_);
  const auto now = Clock::now();
  handle_datagram_locked(datagram, from, now);
  run_timers_locked(now);
}

// ---------------------------------------------------------------- control thread

void VirtualCamera::run() {
  std::vector<std::uint8_t> buffer(65536);
  while (!stop_requested_.load()) {
    int timeout_ms;
    {
      util::MutexLock lock(mutex_);
      const auto now = Clock::now();
      const auto wait = next_timer_locked(now) - now;
      timeout_ms = static_cast<int>(
          std::chrono::ceil<std::chrono::milliseconds>(std::max(wait, Clock::duration::zero())).count());
    }
    // Control socket, wake descriptor, then any broadcast sockets.
    pollfd fds[2 + MAX_BROADCAST_SOCKETS] = {{socket_fd_.get(), POLLIN, 0}, {wake_fd_.get(), POLLIN, 0}};
    const std::size_t broadcasts = std::min(broadcast_fds_.size(), MAX_BROADCAST_SOCKETS);
    for (std::size_t i = 0; i < broadcasts; ++i) fds[2 + i] = {broadcast_fds_[i].get(), POLLIN, 0};
    const int ready = ::poll(fds, static_cast<nfds_t>(2 + broadcasts), timeout_ms);
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
      std::uint64_t drained;
      // Emptying the wake counter; EAGAIN only means another read got it.
      [[maybe_unused]] const auto n = ::read(wake_fd_.get(), &drained, sizeof drained);
    }
    util::MutexLock lock(mutex_);
    collect_finished_locked();
    send_exposure_events_locked(Clock::now());
    // A bounded number of datagrams per pass keeps timers on time under load.
    for (int i = 0; i < 64; ++i) {
      sockaddr_in from{};
      socklen_t from_size = sizeof from;
      const auto n = ::recvfrom(socket_fd_.get(), buffer.data(), buffer.size(), 0,
                                reinterpret_cast<sockaddr*>(&from), &from_size);
      if (n < 0) break;  // EAGAIN: nothing left; other errors are retried on the next pass
      handle_datagram_locked(std::span(buffer.data(), static_cast<std::size_t>(n)), from, Clock::now());
    }
    for (std::size_t b = 0; b < broadcasts; ++b) {
      for (int i = 0; i < 16; ++i) {
        sockaddr_in from{};
        socklen_t from_size = sizeof from;
        const auto n = ::recvfrom(broadcast_fds_[b].get(), buffer.data(), buffer.size(), 0,
                                  reinterpret_cast<sockaddr*>(&from), &from_size);
        if (n < 0) break;
        handle_datagram_locked(std::span(buffer.data(), static_cast<std::size_t>(n)), from, Clock::now(),
                               /*broadcast=*/true);
      }
    }
    run_timers_locked(Clock::now());
  }
}

Clock::time_point VirtualCamera::next_timer_locked(Clock::time_point now) const {
  auto next = now + MAX_POLL;
  if (!outgoing_.empty()) next = std::min(next, outgoing_.front().due);
  if (held_ack_) next = std::min(next, held_ack_->due);
  if (pending_) next = std::min(next, pending_->done);
  for (const auto& event : events_) next = std::min(next, event.deadline);
  if (const auto deadline = map_.control_deadline()) next = std::min(next, *deadline);
  return next;
}

void VirtualCamera::run_timers_locked(Clock::time_point now) {
  Effects effects;
  if (map_.expire_control(now, effects)) {
    ++counters_.heartbeat_expiries;
    apply_effects_locked(effects, now);
  }
  while (!outgoing_.empty() && outgoing_.front().due <= now) {
    Outgoing item = std::move(outgoing_.front());
    outgoing_.pop_front();
    if (item.through_faults) {
      emit_ack_locked(std::move(item.bytes), item.to, now);
    } else {
      put_on_wire_locked(item.bytes, item.to);
    }
  }
  if (held_ack_ && held_ack_->due <= now) {
    put_on_wire_locked(held_ack_->bytes, held_ack_->to);
    held_ack_.reset();
  }
  if (pending_ && pending_->done <= now) pending_.reset();
  for (auto it = events_.begin(); it != events_.end();) {
    if (it->deadline > now) {
      ++it;
      continue;
    }
    if (it->retries_left == 0) {
      ++counters_.event_timeouts;
      it = events_.erase(it);
      continue;
    }
    --it->retries_left;
    it->deadline = now + std::chrono::milliseconds(map_.event_timeout_ms());
    ++counters_.event_retransmissions;
    put_on_wire_locked(it->bytes, it->to);
    ++it;
  }
}

// A write that arrives while a finite acquisition sends its last packets: a
// host that has just received them may already start the next acquisition
// or change the image format, before the sender thread has reported the
// end. Waits (boundedly) for the end, so the write finds the
// acquisition over instead of being ignored or refused.
void VirtualCamera::await_final_frames_locked() {
  const auto give_up = Clock::now() + std::chrono::seconds(1);
  while (map_.acquisition_active() && Clock::now() < give_up) {
    for (std::size_t c = 0; c < streamers_.size(); ++c) {
      if (started_[c] && finished_[c].load() != generation_[c] && !streamers_[c]->sending_final_frame()) return;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    collect_finished_locked();
  }
}

void VirtualCamera::collect_finished_locked() {
  bool any = false;
  for (std::size_t c = 0; c < finished_.size(); ++c) {
    if (started_[c] && finished_[c].load() == generation_[c]) {
      any = true;
      started_[c] = false;
    }
  }
  // A single- or multi-frame acquisition ends when no channel it started
  // is still sending.
  if (any && std::none_of(started_.begin(), started_.end(), [](bool s) { return s; })) {
    map_.set_acquisition_active(false);
  }
}

// ---------------------------------------------------------------- datagrams

void VirtualCamera::handle_datagram_locked(std::span<const std::uint8_t> datagram, const sockaddr_in& from,
                                           Clock::time_point now, bool broadcast) {
  if (silent_) {
    ++counters_.silenced;
    return;
  }
  const Peer peer{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
  if (datagram.empty() || datagram[0] != GVCP_KEY) {
    // Not a command: the acknowledge of an event, or nothing the device
    // answers (see command_parser.hpp).
    const auto ack = parse_host_ack(datagram);
    if (ack && (ack->ack_code == gvcp_code::EVENT_ACK || ack->ack_code == gvcp_code::EVENTDATA_ACK)) {
      const auto it = std::find_if(events_.begin(), events_.end(), [&](const EventInFlight& e) {
        return e.request_id == ack->ack_id && e.ack_code == ack->ack_code;
      });
      if (it != events_.end() && ignore_event_acks_ > 0) {
        --ignore_event_acks_;
        ++counters_.event_acks_ignored;
      } else if (it != events_.end()) {
        ++counters_.event_acks;
        events_.erase(it);
      } else {
        ++counters_.unexpected_acks;
      }
      return;
    }
    ++counters_.malformed;
    return;
  }
  const auto parsed = parse_command(datagram);
  if (!parsed) {
    ++counters_.malformed;
    const auto& header = parsed.error().header;
    if (header && header->ack_required()) {
      std::vector<std::uint8_t> ack;
      build_ack(ack, parsed.error().status, header->ack_code(), header->request_id, {});
      emit_ack_locked(std::move(ack), from, now);
    }
    return;
  }
  // Of what arrives by broadcast, only discovery is for a device.
  if (broadcast && !std::holds_alternative<DiscoveryRequest>(parsed->request)) return;
  handle_command_locked(*parsed, datagram, peer, from, now);
}

void VirtualCamera::handle_command_locked(const ParsedCommand& command,
                                          std::span<const std::uint8_t> datagram, const Peer& peer,
                                          const sockaddr_in& from, Clock::time_point now) {
  ++counters_.commands;
  const Access access{peer, now};
  if (!ignore_heartbeats_) map_.note_command(access);

  if (std::holds_alternative<DiscoveryRequest>(command.request)) {
    answer_discovery_locked(command.header, from, now);
    return;
  }
  if (const auto* resend = std::get_if<PacketResendRequest>(&command.request)) {
    answer_resend_locked(command.header, *resend, peer, from, now);
    return;
  }
  // Register and memory commands.
  last_requester_ = peer;
  const auto datagram_bytes = datagram.first(GVCP_HEADER_SIZE + command.header.length);
  if (answered_while_pending_locked(command.header, peer, from, now)) return;
  if (answered_as_retransmission_locked(command, datagram_bytes, peer, from, now)) return;
  run_register_command_locked(command, datagram_bytes, access, from);
}

void VirtualCamera::answer_discovery_locked(const CommandHeader& header, const sockaddr_in& from,
                                            Clock::time_point now) {
  // Discovery is answered to everyone, whoever holds control.
  ++counters_.discoveries;
  if (!header.ack_required()) return;
  std::vector<std::uint8_t> ack;
  build_ack(ack, Status::SUCCESS, gvcp_code::DISCOVERY_ACK, header.request_id, map_.discovery_block());
  emit_ack_locked(std::move(ack), from, now);
}

void VirtualCamera::answer_resend_locked(const CommandHeader& header, const PacketResendRequest& resend,
                                         const Peer& peer, const sockaddr_in& from, Clock::time_point now) {
  // PACKETRESEND is never acknowledged; a device without it says so when asked.
  ++counters_.resend_requests;
  if ((map_.capabilities() & reg::cap::PACKETRESEND) == 0) {
    if (header.ack_required()) {
      std::vector<std::uint8_t> ack;
      build_ack(ack, Status::NOT_IMPLEMENTED, header.ack_code(), header.request_id, {});
      emit_ack_locked(std::move(ack), from, now);
    }
    return;
  }
  if (resend.channel >= reg::STREAM_CHANNEL_COUNT || map_.excluded(peer)) return;
  if (auto& streamer = streamers_[resend.channel]) {
    streamer->resend(resend.block_id, resend.first_packet, resend.last_packet);
  }
}

bool VirtualCamera::answered_while_pending_locked(const CommandHeader& header, const Peer& peer,
                                                  const sockaddr_in& from, Clock::time_point now) {
  if (!pending_ || now >= pending_->done) return false;
  std::vector<std::uint8_t> ack;
  if (pending_->peer == peer && pending_->request_id == header.request_id) {
    // The host repeats the slow command: tell it again that it is coming.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(pending_->done - now).count();
    build_pending_ack(ack, header.request_id, static_cast<std::uint32_t>(std::max<long long>(left, 1)));
    emit_ack_locked(std::move(ack), from, now);
    return true;
  }
  ++counters_.busy;
  if (header.ack_required()) {
    build_ack(ack, Status::BUSY, header.ack_code(), header.request_id, {});
    emit_ack_locked(std::move(ack), from, now);
  }
  return true;
}

bool VirtualCamera::answered_as_retransmission_locked(const ParsedCommand& command,
                                                      std::span<const std::uint8_t> datagram_bytes,
                                                      const Peer& peer, const sockaddr_in& from,
                                                      Clock::time_point now) {
  // A write whose bytes repeat the peer's previous command is a
  // retransmission: its acknowledge was lost or late. Answer it again
  // without writing twice (a second AcquisitionStart or fire test would be
  // visible to the host).
  const std::pair<std::uint32_t, std::uint16_t> key{peer.ip, peer.port};
  if (!is_write(command.request)) {
    last_writes_.erase(key);
    return false;
  }
  const auto it = last_writes_.find(key);
  if (it == last_writes_.end() || !std::ranges::equal(it->second.command, datagram_bytes)) return false;
  ++counters_.retransmissions;
  if (command.header.ack_required()) emit_ack_locked(it->second.ack, from, now);
  return true;
}

void VirtualCamera::run_register_command_locked(const ParsedCommand& command,
                                                std::span<const std::uint8_t> datagram_bytes,
                                                const Access& access, const sockaddr_in& from) {
  const CommandHeader& header = command.header;
  // A write right after a finite acquisition's last frame sees that
  // acquisition ended, as the host that received the frame expects.
  if (is_write(command.request) && map_.acquisition_active()) await_final_frames_locked();
  const bool had_holder = map_.control_held();
  Effects effects;
  std::visit(
      [&](const auto& request) REQUIRES(mutex_) {
        using T = std::decay_t<decltype(request)>;
        if constexpr (std::is_same_v<T, ReadRegRequest>) {
          answer_readreg_locked(header, request, access);
        } else if constexpr (std::is_same_v<T, WriteRegRequest>) {
          answer_writereg_locked(header, request, access, effects);
        } else if constexpr (std::is_same_v<T, ReadMemRequest>) {
          answer_readmem_locked(header, request, access);
        } else if constexpr (std::is_same_v<T, WriteMemRequest>) {
          answer_writemem_locked(header, request, access, effects);
        }
      },
      command.request);
  std::vector<std::uint8_t> ack = std::move(ack_);
  if (!had_holder && map_.control_held()) ++counters_.control_grants;

  if (is_write(command.request)) {
    if (last_writes_.size() >= MAX_LAST_WRITES) last_writes_.clear();
    const std::pair<std::uint32_t, std::uint16_t> key{access.who.ip, access.who.port};
    last_writes_[key] = LastWrite{{datagram_bytes.begin(), datagram_bytes.end()}, ack};
  }
  if (header.ack_required()) send_command_ack_locked(command, std::move(ack), access, from);
  apply_effects_locked(effects, access.now);
}

void VirtualCamera::send_command_ack_locked(const ParsedCommand& command, std::vector<std::uint8_t> ack,
                                            const Access& access, const sockaddr_in& from) {
  const PendingRule* rule = pending_rule_locked(command);
  if (rule == nullptr) {
    emit_ack_locked(std::move(ack), from, access.now);
    return;
  }
  // A slow command: PENDING_ACK now, the real acknowledge when it is done.
  std::vector<std::uint8_t> pending;
  build_pending_ack(pending, command.header.request_id, rule->announce_ms);
  emit_ack_locked(std::move(pending), from, access.now);
  const auto done = access.now + std::chrono::milliseconds(rule->complete_ms);
  pending_ = PendingOperation{access.who, command.header.request_id, done};
  Outgoing final_ack{done, std::move(ack), from};
  final_ack.through_faults = true;
  outgoing_.insert(std::upper_bound(outgoing_.begin(), outgoing_.end(), final_ack,
                                    [](const Outgoing& a, const Outgoing& b) { return a.due < b.due; }),
                   std::move(final_ack));
}

void VirtualCamera::answer_readreg_locked(const CommandHeader& header, const ReadRegRequest& request,
                                          const Access& access) {
  // Without concatenation the device reads the first register only.
  const bool concatenation = (map_.capabilities() & reg::cap::CONCATENATION) != 0;
  const std::size_t count = concatenation ? request.count() : 1;
  std::vector<std::uint8_t> values;
  values.reserve(4 * count);
  std::uint16_t status = Status::SUCCESS;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t address = request.address(i);
    if (address % 4 != 0) {
      status = Status::BAD_ALIGNMENT;
      break;
    }
    const auto value = map_.read_register(access, address);
    if (!value) {
      status = value.error();
      break;
    }
    values.resize(values.size() + 4);
    util::store_be32(values.data() + values.size() - 4, *value);
  }
  // On a failure the acknowledge carries the values read before it.
  build_ack(ack_, status, gvcp_code::READREG_ACK, header.request_id, values);
}

void VirtualCamera::answer_writereg_locked(const CommandHeader& header, const WriteRegRequest& request,
                                           const Access& access, Effects& effects) {
  // Without concatenation the device writes the first pair only.
  const bool concatenation = (map_.capabilities() & reg::cap::CONCATENATION) != 0;
  const std::size_t count = concatenation ? request.count() : 1;
  std::uint16_t status = Status::SUCCESS;
  std::uint16_t written = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t address = request.address(i);
    if (address % 4 != 0) {
      status = Status::BAD_ALIGNMENT;
      break;
    }
    const auto result = map_.write_register(access, address, request.value(i), effects);
    if (!result) {
      status = result.error();
      break;
    }
    ++written;
  }
  // Payload: reserved (16), index (16) = the number of pairs written.
  std::uint8_t payload[4] = {};
  util::store_be16(payload + 2, written);
  build_ack(ack_, status, gvcp_code::WRITEREG_ACK, header.request_id, payload);
}

void VirtualCamera::answer_readmem_locked(const CommandHeader& header, const ReadMemRequest& request,
                                          const Access& access) {
  std::vector<std::uint8_t> payload(4 + request.count);
  util::store_be32(payload.data(), request.address);
  std::uint16_t status = Status::SUCCESS;
  if (request.address % 4 != 0 || request.count % 4 != 0) {
    status = Status::BAD_ALIGNMENT;
  } else if (auto read = map_.read_memory(access, request.address, std::span(payload).subspan(4)); !read) {
    status = read.error();
  }
  // A failed read answers with the address only.
  if (status != Status::SUCCESS) payload.resize(4);
  build_ack(ack_, status, gvcp_code::READMEM_ACK, header.request_id, payload);
}

void VirtualCamera::answer_writemem_locked(const CommandHeader& header, const WriteMemRequest& request,
                                           const Access& access, Effects& effects) {
  std::uint8_t payload[4] = {};
  std::uint16_t status = Status::SUCCESS;
  if ((map_.capabilities() & reg::cap::WRITEMEM) == 0) {
    status = Status::NOT_IMPLEMENTED;
  } else if (request.address % 4 != 0 || request.data.size() % 4 != 0) {
    status = Status::BAD_ALIGNMENT;
  } else {
    const auto result = map_.write_memory(access, request.address, request.data, effects);
    status = result.status;
    // Payload: reserved (16), index (16) = the number of bytes written.
    util::store_be16(payload + 2, static_cast<std::uint16_t>(result.written));
  }
  build_ack(ack_, status, gvcp_code::WRITEMEM_ACK, header.request_id, payload);
}

const PendingRule* VirtualCamera::pending_rule_locked(const ParsedCommand& command) const {
  auto touches = [&command](std::uint32_t address) {
    return std::visit(
        [address](const auto& request) {
          using T = std::decay_t<decltype(request)>;
          if constexpr (std::is_same_v<T, ReadRegRequest> || std::is_same_v<T, WriteRegRequest>) {
            for (std::size_t i = 0; i < request.count(); ++i) {
              if ((request.address(i) & ~3u) == (address & ~3u)) return true;
            }
            return false;
          } else if constexpr (std::is_same_v<T, ReadMemRequest>) {
            return address >= request.address && address - request.address < request.count;
          } else if constexpr (std::is_same_v<T, WriteMemRequest>) {
            return address >= request.address && address - request.address < request.data.size();
          } else {
            return false;
          }
        },
        command.request);
  };
  for (const auto& rule : pending_rules_) {
    if (rule.command != 0 && rule.command != command.header.command) continue;
    if (rule.address && !touches(*rule.address)) continue;
    return &rule;
  }
  return nullptr;
}

// ---------------------------------------------------------------- sending

void VirtualCamera::emit_ack_locked(std::vector<std::uint8_t> bytes, const sockaddr_in& to,
                                    Clock::time_point now) {
  if (drop_acks_ > 0) {
    --drop_acks_;
    ++counters_.acks_dropped;
    return;
  }
  int copies = 1;
  if (duplicate_acks_ > 0) {
    --duplicate_acks_;
    ++counters_.acks_duplicated;
    copies = 2;
  }
  if (ack_delay_ms_ > 0) {
    ++counters_.acks_delayed;
    const auto due = now + std::chrono::milliseconds(ack_delay_ms_);
    for (int i = 0; i < copies; ++i) {
      Outgoing item{due, bytes, to};
      outgoing_.insert(std::upper_bound(outgoing_.begin(), outgoing_.end(), item,
                                        [](const Outgoing& a, const Outgoing& b) { return a.due < b.due; }),
                       std::move(item));
    }
    return;
  }
  if (reorder_acks_ > 0 && !held_ack_) {
    --reorder_acks_;
    ++counters_.acks_reordered;
    held_ack_ = Outgoing{now + HELD_ACK_LIMIT, std::move(bytes), to};
    return;
  }
  for (int i = 0; i < copies; ++i) put_on_wire_locked(bytes, to);
  if (held_ack_) {
    put_on_wire_locked(held_ack_->bytes, held_ack_->to);
    held_ack_.reset();
  }
}

void VirtualCamera::put_on_wire_locked(const std::vector<std::uint8_t>& bytes, const sockaddr_in& to) {
  if (!socket_fd_.valid()) return;
  // UDP is best effort; a failed send is a lost datagram, as on a real link.
  const auto sent =
      ::sendto(socket_fd_.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (sent < 0 || bytes.size() < GVCP_HEADER_SIZE || bytes[0] == GVCP_KEY) return;
  if (util::load_be16(bytes.data() + 2) == gvcp_code::PENDING_ACK) {
    ++counters_.pending_acks;
    return;
  }
  ++counters_.acks_sent;
  if ((util::load_be16(bytes.data()) & 0x8000) != 0) ++counters_.error_acks;
}

// ---------------------------------------------------------------- effects

void VirtualCamera::apply_effects_locked(const Effects& effects, Clock::time_point now) {
  if (effects.control_released) {
    ++counters_.control_releases;
    pending_.reset();
  }
  if (effects.acquisition_stop) {
    for (std::size_t c = 0; c < streamers_.size(); ++c) {
      if (streamers_[c]) streamers_[c]->stop();
      started_[c] = false;
    }
    map_.set_acquisition_active(false);
  }
  for (int c = 0; c < reg::STREAM_CHANNEL_COUNT; ++c) {
    if (effects.stream_changed[static_cast<std::size_t>(c)]) reconfigure_stream_locked(c);
  }
  if (effects.acquisition_start && !map_.acquisition_active()) {
    map_.set_acquisition_active(true);
    for (int c = 0; c < reg::STREAM_CHANNEL_COUNT; ++c) start_stream_locked(c);
  }
  for (int c = 0; c < reg::STREAM_CHANNEL_COUNT; ++c) {
    const auto index = static_cast<std::size_t>(c);
    if (!effects.fire_test[index] || !streamers_[index]) continue;
    if (const auto config = stream_config_locked(c)) {
      streamers_[index]->configure(*config);
      streamers_[index]->fire_test(*effects.fire_test[index]);
    }
  }
  for (int i = 0; i < effects.test_events; ++i) raise_event_locked(reg::TEST_EVENT_ID, 0, 0, now);
  for (int i = 0; i < effects.missed_triggers; ++i) {
    raise_event_locked(reg::FRAME_TRIGGER_MISSED_EVENT_ID, 0, 0, now);
  }
}

std::optional<StreamConfig> VirtualCamera::stream_config_locked(int channel) const {
  StreamConfig config = map_.stream_config(channel);
  if (config.destination.sin_port == 0) return std::nullopt;
  if (config.destination.sin_addr.s_addr == 0) {
    // SCDA 0: the stream goes to the requester of the last control command.
    if (!last_requester_) return std::nullopt;
    config.destination.sin_addr.s_addr = htonl(last_requester_->ip);
  }
  config.path_mtu = path_mtu_;
  config.extended_ids = extended_ids_;
  return config;
}

void VirtualCamera::reconfigure_stream_locked(int channel) {
  const auto index = static_cast<std::size_t>(channel);
  auto& streamer = streamers_[index];
  if (!streamer) return;
  const auto config = stream_config_locked(channel);
  if (!config) {
    // The channel closed (SCP 0) or has nowhere to go: it stops sending.
    if (started_[index]) {
      streamer->stop();
      started_[index] = false;
    }
    return;
  }
  streamer->configure(*config);
  // A channel opened while the acquisition runs joins it.
  if (map_.acquisition_active() && !started_[index]) start_stream_locked(channel);
}

void VirtualCamera::start_stream_locked(int channel) {
  const auto index = static_cast<std::size_t>(channel);
  auto& streamer = streamers_[index];
  if (!streamer || started_[index]) return;
  const auto config = stream_config_locked(channel);
  if (!config) return;
  streamer->configure(*config);
  const std::uint64_t generation = ++generation_[index];
  streamer->start([this, index, generation] {
    finished_[index].store(generation);
    wake();
  });
  started_[index] = true;
}

// ---------------------------------------------------------------- events

std::expected<std::uint16_t, std::string> VirtualCamera::send_event(const EventMessage& event) {
  util::MutexLock lock(mutex_);
  if (!socket_fd_.valid()) return std::unexpected("camera is not running");
  auto sent = send_event_locked(event, Clock::now());
  wake();
  return sent;
}

void VirtualCamera::raise_event_locked(std::uint16_t event_id, std::uint64_t block_id, std::uint64_t timestamp,
                                       Clock::time_point now) {
  if (!map_.event_notification(event_id)) return;
  if (timestamp == 0 && streamers_[0]) timestamp = streamers_[0]->timestamp();
  const bool exposure = event_id == reg::EXPOSURE_END_EVENT_ID;
  EventMessage event;
  event.event_id = event_id;
  event.with_data = true;  // laid out as register_layout.hpp shows
  event.ack_required = true;
  event.timestamp = timestamp;
  event.stream_channel = exposure ? 0 : 0xFFFF;
  event.block_id = static_cast<std::uint16_t>(block_id);
  if (exposure) {
    event.data.resize(reg::EXPOSURE_END_DATA_SIZE);
    util::store_be64(event.data.data(), block_id);
  }
  // Without a host to send to, the event has nowhere to go; what raised it
  // (a command, a frame) still succeeded.
  [[maybe_unused]] const auto sent = send_event_locked(event, now);
}

void VirtualCamera::note_exposure_end(std::uint64_t block_id, std::uint64_t timestamp) {
  {
    util::MutexLock lock(exposures_mutex_);
    if (exposures_.size() >= MAX_EXPOSURES_WAITING) exposures_.pop_front();
    exposures_.emplace_back(block_id, timestamp);
  }
  wake();
}

void VirtualCamera::send_exposure_events_locked(Clock::time_point now) {
  std::deque<std::pair<std::uint64_t, std::uint64_t>> ended;
  {
    util::MutexLock lock(exposures_mutex_);
    ended.swap(exposures_);
  }
  for (const auto& [block_id, timestamp] : ended) raise_event_locked(reg::EXPOSURE_END_EVENT_ID, block_id, timestamp, now);
}

std::expected<std::uint16_t, std::string> VirtualCamera::send_event_locked(const EventMessage& event,
                                                                           Clock::time_point now) {
  if (silent_) return std::unexpected("camera is silent");
  const std::uint32_t needed = event.with_data ? reg::cap::EVENTDATA : reg::cap::EVENT;
  if ((map_.capabilities() & needed) == 0) {
    return std::unexpected(event.with_data ? "EVENTDATA not offered" : "EVENT not offered");
  }
  Peer to;
  const Peer channel = map_.message_channel();
  if (channel.port != 0) {
    to = channel;
    if (to.ip == 0 && last_requester_) to.ip = last_requester_->ip;
  } else if (const auto holder = map_.control_holder()) {
    to = *holder;
  } else if (last_requester_) {
    to = *last_requester_;
  }
  if (to.ip == 0 || to.port == 0) return std::unexpected("no host to send events to");

  const std::uint16_t request_id = next_event_id_;
  next_event_id_ = next_event_id_ == 0xFFFF ? 1 : static_cast<std::uint16_t>(next_event_id_ + 1);
  EventMessage message = event;
  // Timestamp 0 asks for the device's current time.
  if (message.timestamp == 0 && streamers_[0]) message.timestamp = streamers_[0]->timestamp();
  std::vector<std::uint8_t> bytes;
  build_event(bytes, message, request_id);
  const sockaddr_in address = socket_address(to);
  put_on_wire_locked(bytes, address);
  ++counters_.events_sent;
  if (event.ack_required) {
    events_.push_back(EventInFlight{
        request_id, event.with_data ? gvcp_code::EVENTDATA_ACK : gvcp_code::EVENT_ACK, std::move(bytes),
        address, now + std::chrono::milliseconds(map_.event_timeout_ms()), map_.event_retries()});
  }
  return request_id;
}

}  // namespace corvantic::sim
