// VirtualCamera: a GigE Vision device in software. It binds its own IPv4
// address on UDP port 3956, answers GVCP commands on a control thread from
// its RegisterMap, drives one GvspStreamer per stream channel from the
// stream registers, sends events on demand and injects faults.
//
// Threads: the control thread owns the receive side of the socket and
// everything time-driven (delayed and pending acknowledges, event
// retransmissions, heartbeat expiry). Other threads call the public methods;
// they take `mutex_` and, where timing changes, wake the control thread. The
// streamers send from their own threads on the same socket and report the
// end of a single- or multi-frame acquisition through an atomic flag and the
// wake descriptor, never through `mutex_`, so stopping a streamer while
// holding `mutex_` cannot deadlock; so do the ends of exposure that become
// ExposureEnd events (`exposures_mutex_`). Nothing here throws.
//
// Lock order: mutex_ -> exposures_mutex_.
#pragma once

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/command_parser.hpp"
#include "sim/description.hpp"
#include "sim/gvsp_packet.hpp"
#include "sim/gvsp_streamer.hpp"
#include "sim/register_map.hpp"
#include "util/mutex.hpp"
#include "util/unique_fd.hpp"

namespace corvantic::sim {

inline constexpr std::uint16_t GVCP_PORT = 3956;

struct VirtualCameraConfig {
  std::string address = "127.0.0.2";  // IPv4 address the camera binds (port 3956)
  std::uint32_t capabilities = reg::cap::DEFAULT;
  DescriptionForm description = DescriptionForm::Plain;
  std::uint64_t tick_frequency = 1'000'000'000;
  double frame_rate = 30.0;
  std::uint32_t width = 64;
  std::uint32_t height = 48;
  std::uint32_t heartbeat_timeout_ms = 3000;  // initial value of 0x0938
  bool writes_need_control = false;
  std::string serial;     // empty: "SIM" + the address's four octets in hex
  std::string user_name;  // initial DeviceUserID (0x00E8)
  std::uint32_t path_mtu = 9216;
  bool extended_ids = false;  // stream packets in the extended-id header form
  // Stream packets in runs as UDP GSO messages (GvspStreamer).
  bool segmentation_offload = true;
  bool single_frame_entry = true;  // AcquisitionMode offers SingleFrame
  // Also receive DISCOVERY sent to the limited broadcast address and to the
  // directed broadcast of the camera's interface (answers stay unicast).
  bool listen_broadcast = false;
};

// A slow operation: commands matching it are answered with a PENDING_ACK
// announcing `announce_ms`, and their final acknowledge follows after
// `complete_ms`. `command` 0 matches READREG, WRITEREG, READMEM and
// WRITEMEM; `address`, when given, must be touched by the command.
struct PendingRule {
  std::uint16_t command = 0;
  std::optional<std::uint32_t> address;
  std::uint32_t announce_ms = 1000;
  std::uint32_t complete_ms = 800;
};

// Counters for test assertions; all only ever grow.
struct DeviceCounters {
  std::uint64_t commands = 0;      // well-formed commands accepted (discovery included)
  std::uint64_t acks_sent = 0;     // acknowledges put on the wire (duplicates included)
  std::uint64_t error_acks = 0;    // of those, with an error status
  std::uint64_t pending_acks = 0;  // PENDING_ACKs put on the wire
  std::uint64_t acks_dropped = 0;  // lost by injection
  std::uint64_t acks_duplicated = 0;
  std::uint64_t acks_delayed = 0;
  std::uint64_t acks_reordered = 0;
  std::uint64_t malformed = 0;  // datagrams rejected or dropped as malformed
  std::uint64_t silenced = 0;   // datagrams ignored while silent
  std::uint64_t discoveries = 0;
  std::uint64_t resend_requests = 0;
  std::uint64_t retransmissions = 0;  // repeated writes answered from the last acknowledge
  std::uint64_t busy = 0;             // commands refused as busy during a pending operation
  std::uint64_t control_grants = 0;
  std::uint64_t control_releases = 0;  // by the holder, by heartbeat expiry or forced
  std::uint64_t heartbeat_expiries = 0;
  std::uint64_t events_sent = 0;  // first transmissions
  std::uint64_t event_retransmissions = 0;
  std::uint64_t event_acks = 0;
  std::uint64_t unexpected_acks = 0;  // event acknowledges from hosts for no event in flight
  std::uint64_t event_timeouts = 0;
  std::uint64_t event_acks_ignored = 0;  // taken as lost by injection
};

struct DeviceStatus {
  DeviceCounters counters;
  std::optional<Peer> control_holder;
  std::uint32_t ccp = 0;
  Peer message_channel;  // MCDA and MCP
  bool acquisition_active = false;
  std::array<StreamCounters, reg::STREAM_CHANNEL_COUNT> streams{};
  std::array<bool, reg::STREAM_CHANNEL_COUNT> streaming{};
};

class VirtualCamera {
 public:
  explicit VirtualCamera(VirtualCameraConfig config);
  ~VirtualCamera();
  VirtualCamera(const VirtualCamera&) = delete;
  VirtualCamera& operator=(const VirtualCamera&) = delete;

  // Binds <address>:3956 and starts the control thread. The message is the
  // system's reason, e.g. "bind 127.0.0.2:3956: Address already in use".
  [[nodiscard]] std::expected<void, std::string> start() EXCLUDES(mutex_);
  // Stops streaming and the control thread; prompt (the thread is woken).
  void stop() EXCLUDES(mutex_);
  [[nodiscard]] bool running() const EXCLUDES(mutex_);
  [[nodiscard]] const VirtualCameraConfig& config() const { return config_; }

  // Faults on acknowledges (PENDING_ACKs and discovery answers included).
  void drop_acks(std::uint32_t count) EXCLUDES(mutex_);       // the next `count` are not sent
  void duplicate_acks(std::uint32_t count) EXCLUDES(mutex_);  // the next `count` are sent twice
  // The next `count` are each held until after the following one.
  void reorder_acks(std::uint32_t count) EXCLUDES(mutex_);
  void set_ack_delay(std::uint32_t ms) EXCLUDES(mutex_);      // every acknowledge leaves `ms` late; 0 ends it
  void set_silent(bool silent) EXCLUDES(mutex_);              // receive and answer nothing at all
  // The next `count` event acknowledges are ignored, as if lost: the event
  // is sent again when MCTT has passed.
  void ignore_event_acks(std::uint32_t count) EXCLUDES(mutex_);
  // Registers answering an error status.
  void inject_status(std::uint32_t address, InjectedStatus injected) EXCLUDES(mutex_);
  void clear_status(std::uint32_t address) EXCLUDES(mutex_);
  void clear_statuses() EXCLUDES(mutex_);
  // Slow operations.
  void add_pending(PendingRule rule) EXCLUDES(mutex_);
  void clear_pending() EXCLUDES(mutex_);
  // Heartbeat: ignore the holder's commands as heartbeats, or expire now.
  void set_ignore_heartbeats(bool ignore) EXCLUDES(mutex_);
  void expire_heartbeat() EXCLUDES(mutex_);
  // Stream side.
  void set_path_mtu(std::uint32_t bytes) EXCLUDES(mutex_);
  void set_extended_ids(bool extended) EXCLUDES(mutex_);
  void set_stream_faults(int channel, const StreamFaults& faults) EXCLUDES(mutex_);
  // Location registers (index 0: 0x0200, 1: 0x0400).
  void set_url(int index, std::string_view text) EXCLUDES(mutex_);
  // Ends every fault above (stream faults included) and restores the URLs.
  void clear_faults() EXCLUDES(mutex_);

  // What decides the payload bytes of frame `block_id` with the settings in
  // force now (TestPattern, PixelFormat, Width, Height of stream channel 0):
  // fill_payload over it gives the bytes the camera sends.
  [[nodiscard]] FrameLayout payload_layout(std::uint64_t block_id) EXCLUDES(mutex_);

  // Sends an EVENT (or EVENTDATA when `event.with_data`) to the message
  // channel (MCDA:MCP) when it is configured, else to the control holder,
  // else to the requester of the last command. With `ack_required` the
  // device waits MCTT ms for the acknowledge and retransmits up to MCRC
  // times. Returns the request id, or why nothing was sent.
  [[nodiscard]] std::expected<std::uint16_t, std::string> send_event(const EventMessage& event)
      EXCLUDES(mutex_);

  [[nodiscard]] DeviceStatus status() const EXCLUDES(mutex_);

  // Handles one datagram as if it had arrived from `from`, at once. The
  // fuzz target's entry: it needs no start(), and while the camera is
  // stopped its answers go nowhere.
  void process_datagram(std::span<const std::uint8_t> datagram, const sockaddr_in& from) EXCLUDES(mutex_);

 private:
  struct Outgoing {
    Clock::time_point due;
    std::vector<std::uint8_t> bytes;
    sockaddr_in to{};
    bool through_faults = false;  // a final acknowledge: the ack faults apply when it leaves
  };
  struct PendingOperation {
    Peer peer;
    std::uint16_t request_id = 0;
    Clock::time_point done;
  };
  struct EventInFlight {
    std::uint16_t request_id = 0;
    std::uint16_t ack_code = 0;
    std::vector<std::uint8_t> bytes;
    sockaddr_in to{};
    Clock::time_point deadline;
    std::uint32_t retries_left = 0;
  };
  struct LastWrite {
    std::vector<std::uint8_t> command;
    std::vector<std::uint8_t> ack;
  };

  void run() EXCLUDES(mutex_);
  void handle_datagram_locked(std::span<const std::uint8_t> datagram, const sockaddr_in& from,
                              Clock::time_point now, bool broadcast = false) REQUIRES(mutex_);
  [[nodiscard]] std::expected<void, std::string> open_broadcast_sockets_locked() REQUIRES(mutex_);
  void close_sockets_locked() REQUIRES(mutex_);
  void handle_command_locked(const ParsedCommand& command, std::span<const std::uint8_t> datagram,
                             const Peer& peer, const sockaddr_in& from, Clock::time_point now)
      REQUIRES(mutex_);
  void answer_discovery_locked(const CommandHeader& header, const sockaddr_in& from, Clock::time_point now)
      REQUIRES(mutex_);
  void answer_resend_locked(const CommandHeader& header, const PacketResendRequest& resend, const Peer& peer,
                            const sockaddr_in& from, Clock::time_point now) REQUIRES(mutex_);
  // While a slow command is pending, its repeat is told again that it is
  // coming and any other command is answered BUSY: true when so answered.
  [[nodiscard]] bool answered_while_pending_locked(const CommandHeader& header, const Peer& peer,
                                                   const sockaddr_in& from, Clock::time_point now)
      REQUIRES(mutex_);
  // A repeated write is answered with its first acknowledge: true when so answered.
  [[nodiscard]] bool answered_as_retransmission_locked(const ParsedCommand& command,
                                                       std::span<const std::uint8_t> datagram_bytes,
                                                       const Peer& peer, const sockaddr_in& from,
                                                       Clock::time_point now) REQUIRES(mutex_);
  // Runs a register or memory command and acknowledges it.
  void run_register_command_locked(const ParsedCommand& command, std::span<const std::uint8_t> datagram_bytes,
                                   const Access& access, const sockaddr_in& from) REQUIRES(mutex_);
  void send_command_ack_locked(const ParsedCommand& command, std::vector<std::uint8_t> ack,
                               const Access& access, const sockaddr_in& from) REQUIRES(mutex_);
  void answer_readreg_locked(const CommandHeader& header, const ReadRegRequest& request,
                             const Access& access) REQUIRES(mutex_);
  void answer_writereg_locked(const CommandHeader& header, const WriteRegRequest& request,
                              const Access& access, Effects& effects) REQUIRES(mutex_);
  void answer_readmem_locked(const CommandHeader& header, const ReadMemRequest& request,
                             const Access& access) REQUIRES(mutex_);
  void answer_writemem_locked(const CommandHeader& header, const WriteMemRequest& request,
                              const Access& access, Effects& effects) REQUIRES(mutex_);
  [[nodiscard]] const PendingRule* pending_rule_locked(const ParsedCommand& command) const REQUIRES(mutex_);
  // Sends (or schedules, per the injected faults) one acknowledge.
  void emit_ack_locked(std::vector<std::uint8_t> bytes, const sockaddr_in& to, Clock::time_point now)
      REQUIRES(mutex_);
  void put_on_wire_locked(const std::vector<std::uint8_t>& bytes, const sockaddr_in& to) REQUIRES(mutex_);
  void apply_effects_locked(const Effects& effects, Clock::time_point now) REQUIRES(mutex_);
  void reconfigure_stream_locked(int channel) REQUIRES(mutex_);
  void start_stream_locked(int channel) REQUIRES(mutex_);
  [[nodiscard]] std::optional<StreamConfig> stream_config_locked(int channel) const REQUIRES(mutex_);
  void run_timers_locked(Clock::time_point now) REQUIRES(mutex_);
  [[nodiscard]] Clock::time_point next_timer_locked(Clock::time_point now) const REQUIRES(mutex_);
  void collect_finished_locked() REQUIRES(mutex_);
  void await_final_frames_locked() REQUIRES(mutex_);
  [[nodiscard]] std::expected<std::uint16_t, std::string> send_event_locked(const EventMessage& event,
                                                                            Clock::time_point now)
      REQUIRES(mutex_);
  // The events the device itself raises, sent while their notification is on.
  void raise_event_locked(std::uint16_t event_id, std::uint64_t block_id, std::uint64_t timestamp,
                          Clock::time_point now) REQUIRES(mutex_);
  // Called by stream channel 0's sender thread.
  void note_exposure_end(std::uint64_t block_id, std::uint64_t timestamp) EXCLUDES(exposures_mutex_);
  void send_exposure_events_locked(Clock::time_point now) REQUIRES(mutex_) EXCLUDES(exposures_mutex_);
  void wake();

  const VirtualCameraConfig config_;
  const std::uint32_t ip_;  // host order

  // Written by the streamers' threads, read by the control thread: the
  // generation of the last acquisition each channel finished by itself.
  std::array<std::atomic<std::uint64_t>, reg::STREAM_CHANNEL_COUNT> finished_{};
  std::atomic<bool> stop_requested_{false};

  mutable util::Mutex mutex_;
  RegisterMap map_ GUARDED_BY(mutex_);
  std::array<std::unique_ptr<GvspStreamer>, reg::STREAM_CHANNEL_COUNT> streamers_ GUARDED_BY(mutex_);
  // Started for the current acquisition.
  std::array<bool, reg::STREAM_CHANNEL_COUNT> started_ GUARDED_BY(mutex_){};
  // Generation of each channel's latest start, so that a late finish report
  // of an earlier acquisition is not taken for the current one's.
  std::array<std::uint64_t, reg::STREAM_CHANNEL_COUNT> generation_ GUARDED_BY(mutex_){};
  std::optional<Peer> last_requester_ GUARDED_BY(mutex_);
  DeviceCounters counters_ GUARDED_BY(mutex_);
  std::uint32_t drop_acks_ GUARDED_BY(mutex_) = 0;
  std::uint32_t duplicate_acks_ GUARDED_BY(mutex_) = 0;
  std::uint32_t reorder_acks_ GUARDED_BY(mutex_) = 0;
  std::uint32_t ack_delay_ms_ GUARDED_BY(mutex_) = 0;
  std::uint32_t ignore_event_acks_ GUARDED_BY(mutex_) = 0;
  bool silent_ GUARDED_BY(mutex_) = false;
  bool ignore_heartbeats_ GUARDED_BY(mutex_) = false;
  std::uint32_t path_mtu_ GUARDED_BY(mutex_);
  bool extended_ids_ GUARDED_BY(mutex_);
  std::vector<PendingRule> pending_rules_ GUARDED_BY(mutex_);
  std::optional<PendingOperation> pending_ GUARDED_BY(mutex_);
  // Delayed and final acknowledges, by due time.
  std::deque<Outgoing> outgoing_ GUARDED_BY(mutex_);
  // A reordered acknowledge waiting for the next one.
  std::optional<Outgoing> held_ack_ GUARDED_BY(mutex_);
  std::vector<EventInFlight> events_ GUARDED_BY(mutex_);
  std::uint16_t next_event_id_ GUARDED_BY(mutex_) = 1;
  std::map<std::pair<std::uint32_t, std::uint16_t>, LastWrite> last_writes_ GUARDED_BY(mutex_);
  std::array<StreamFaults, reg::STREAM_CHANNEL_COUNT> stream_faults_ GUARDED_BY(mutex_){};
  std::vector<std::uint8_t> ack_ GUARDED_BY(mutex_);  // the acknowledge being built

  // Ends of exposure (block id, timestamp) not yet sent as events; bounded,
  // the oldest give way.
  static constexpr std::size_t MAX_EXPOSURES_WAITING = 1024;
  util::Mutex exposures_mutex_;
  std::deque<std::pair<std::uint64_t, std::uint64_t>> exposures_ GUARDED_BY(exposures_mutex_);

  // Set by start(), cleared by stop(); the thread uses them in between.
  util::UniqueFd socket_fd_;
  util::UniqueFd wake_fd_;
  static constexpr std::size_t MAX_BROADCAST_SOCKETS = 2;
  std::vector<util::UniqueFd> broadcast_fds_;
  std::thread thread_;
};

}  // namespace corvantic::sim
