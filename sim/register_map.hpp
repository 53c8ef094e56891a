// The virtual camera's register space: bootstrap registers, the description
// location and memory, the control channel privilege with its heartbeat,
// the message and stream channel registers and the camera features
// (addresses in register_layout.hpp). Pure device logic without sockets or
// threads: every access names its requester and the current time, and
// reports what the device must do about it in `Effects`.
//
// Not thread-safe: the owner (VirtualCamera) guards it with its mutex.
//
// Control channel privilege (register 0x0A00), as this device models it:
// - Nobody holds control: every requester may read; writes are accepted from
//   anyone unless the map is configured with `writes_need_control`, in which
//   case writes other than to CCP are refused with access denied.
// - A requester takes control by writing CCP with the control bit (0x2) or
//   the exclusive bit (0x1) set; from then on it is the primary application,
//   identified by its IP address and UDP port.
// - While control is held, other requesters may read (they are monitors)
//   but every write, CCP included, is refused with access denied. With the
//   exclusive bit set, other requesters are refused reads as well.
// - The holder releases control by writing CCP without both bits; a write
//   with them changes the mode. Bit 0x4 (switchover enable) is stored but no
//   switchover is offered.
// - Every command from the holder restarts the heartbeat. When none arrives
//   for the heartbeat timeout (register 0x0938, at least
//   MIN_HEARTBEAT_TIMEOUT_MS), control is released as if the holder had
//   written 0, unless the holder disabled the heartbeat (register 0x0954
//   bit 0x1, offered by the capability bit HEARTBEAT_DISABLE).
// - Releasing control, either way, stops the acquisition, closes both stream
//   channels (SCP := 0) and the message channel (MCP := 0) and clears
//   TLParamsLocked.
//
// Error statuses, in the order they are checked for each 32-bit word:
// privilege (access denied 0x8006), an injected status for the address,
// an unmapped address (invalid address 0x8003), a write to a read-only
// register or to an image format register (the chunk mode and chunk enable
// registers count as such: they change the payload size) while
// TLParamsLocked is 1 or the acquisition runs (write protect 0x8004), a
// value the register does not take (invalid parameter 0x8002). Alignment is
// the command handler's.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/gvsp_packet.hpp"
#include "sim/gvsp_streamer.hpp"
#include "sim/register_layout.hpp"

namespace corvantic::sim {

using Clock = std::chrono::steady_clock;

// A host endpoint: IPv4 address and UDP port, both in host byte order.
struct Peer {
  std::uint32_t ip = 0;
  std::uint16_t port = 0;
  bool operator==(const Peer&) const = default;
};

// Who asks, and when.
struct Access {
  Peer who;
  Clock::time_point now;
};

// What a register write asks of the device beyond storing a value.
struct Effects {
  std::array<bool, reg::STREAM_CHANNEL_COUNT> stream_changed{};
  // Fire-test packet size per channel (SCPS written with bit 31).
  std::array<std::optional<std::uint32_t>, reg::STREAM_CHANNEL_COUNT> fire_test{};
  bool acquisition_start = false;
  bool acquisition_stop = false;
  bool control_released = false;
  int test_events = 0;
  int missed_triggers = 0;  // software triggers, all missed
};

struct DeviceIdentity {
  std::uint32_t ip = 0x7F000002;           // 127.0.0.2
  std::uint32_t subnet_mask = 0xFF000000;  // 255.0.0.0
  std::uint32_t gateway = 0;
  std::array<std::uint8_t, 6> mac{0x02, 0x00, 0x7F, 0x00, 0x00, 0x02};
  std::string manufacturer = "Corvantic";
  std::string model = "VirtualCamera";
  std::string device_version = "1.0";
  std::string manufacturer_info = "corvantic-sim virtual GigE Vision camera";
  std::string serial = "SIM00000002";
  std::string user_name;
};

struct RegisterMapConfig {
  DeviceIdentity identity;
  std::uint32_t capabilities = reg::cap::DEFAULT;
  std::uint64_t tick_frequency = 1'000'000'000;
  std::uint32_t heartbeat_timeout_ms = 3000;
  bool writes_need_control = false;
  // Initial region of interest and frame rate.
  std::uint32_t width = 64;
  std::uint32_t height = 48;
  float frame_rate = 30.0f;
  // The description bytes served at reg::DESCRIPTION_BASE and the file
  // name both location registers announce.
  std::vector<std::uint8_t> description;
  std::string description_file = "corvantic_sim.xml";
  // The device's own timestamp in ticks (for the timestamp latch).
  std::function<std::uint64_t()> timestamp;
  // Value of the pending timeout register 0x0958, ms.
  std::uint32_t pending_timeout_ms = 100;
};

inline constexpr std::uint32_t MIN_HEARTBEAT_TIMEOUT_MS = 100;
inline constexpr std::uint32_t SENSOR_WIDTH = 1024;
inline constexpr std::uint32_t SENSOR_HEIGHT = 768;

// An injected answer for one register address.
struct InjectedStatus {
  std::uint16_t status = 0;
  bool reads = true;
  bool writes = true;
};

class RegisterMap {
 public:
  explicit RegisterMap(RegisterMapConfig config);

  // One 32-bit register; `address` must be a multiple of 4.
  [[nodiscard]] std::expected<std::uint32_t, std::uint16_t> read_register(const Access& access,
                                                                          std::uint32_t address);
  [[nodiscard]] std::expected<void, std::uint16_t> write_register(const Access& access, std::uint32_t address,
                                                                  std::uint32_t value, Effects& effects);

  // `out.size()` bytes from `address` (both multiples of 4). On failure
  // nothing of `out` is meaningful.
  [[nodiscard]] std::expected<void, std::uint16_t> read_memory(const Access& access, std::uint32_t address,
                                                               std::span<std::uint8_t> out);
  // Writes word by word; stops at the first refused word. Returns the number
  // of bytes written and the status (success when all were written).
  struct WriteResult {
    std::size_t written = 0;
    std::uint16_t status = 0;
  };
  [[nodiscard]] WriteResult write_memory(const Access& access, std::uint32_t address,
                                         std::span<const std::uint8_t> data, Effects& effects);

  // The 248-byte discovery block (bootstrap bytes 0x0000..0x00F7).
  [[nodiscard]] std::vector<std::uint8_t> discovery_block() const;

  // Control privilege.
  // A command arrived from `who`: restarts the heartbeat if `who` holds control.
  void note_command(const Access& access);
  // Releases control when its heartbeat has run out; true when it did.
  bool expire_control(Clock::time_point now, Effects& effects);
  // Releases control at once (a forced heartbeat expiry); true when it was held.
  bool force_release(Effects& effects);
  [[nodiscard]] bool control_held() const { return holder_.has_value(); }
  [[nodiscard]] std::optional<Peer> control_holder() const { return holder_; }
  [[nodiscard]] std::uint32_t ccp() const { return ccp_; }
  // When control, if held, expires without further commands.
  [[nodiscard]] std::optional<Clock::time_point> control_deadline() const;
  // Whether `who` may access at all (exclusive control held by another).
  [[nodiscard]] bool excluded(const Peer& who) const;

  // Fault injection: answer `status` for accesses to the 32-bit register at
  // `address` (rounded down to a multiple of 4).
  void inject_status(std::uint32_t address, InjectedStatus injected);
  void clear_injected_status(std::uint32_t address);
  void clear_all_injected_statuses();

  // The location registers (index 0: 0x0200, 1: 0x0400); text up to 511 bytes.
  void set_url(int index, std::string_view text);

  [[nodiscard]] std::uint32_t capabilities() const { return config_.capabilities; }
  [[nodiscard]] std::uint64_t tick_frequency() const { return config_.tick_frequency; }

  // Acquisition state, owned by the device (AcquisitionStatus reads it).
  void set_acquisition_active(bool active) { acquisition_active_ = active; }
  [[nodiscard]] bool acquisition_active() const { return acquisition_active_; }

  // The stream settings of `channel` as the registers give them. The
  // destination holds SCDA (0 when unset) and SCP's port; path MTU and
  // header form are the device's to fill in.
  [[nodiscard]] StreamConfig stream_config(int channel) const;
  [[nodiscard]] std::uint16_t stream_port(int channel) const;

  // The message channel destination (MCDA, MCP), and its time-out and retries.
  [[nodiscard]] Peer message_channel() const { return {mcda_, static_cast<std::uint16_t>(mcp_ & 0xFFFF)}; }
  [[nodiscard]] std::uint32_t event_timeout_ms() const { return mctt_; }
  [[nodiscard]] std::uint32_t event_retries() const { return mcrc_; }
  // Whether the event with `event_id` is to be sent (EventNotification).
  [[nodiscard]] bool event_notification(std::uint16_t event_id) const;

  // Bytes of a block: the image, and in chunk mode the chunk data.
  [[nodiscard]] std::uint32_t payload_size() const;

 private:
  enum class Op : std::uint8_t { Read, Write };
  [[nodiscard]] std::uint16_t precheck(const Access& access, Op op, std::uint32_t address) const;
  [[nodiscard]] std::expected<std::uint32_t, std::uint16_t> load_word(std::uint32_t address) const;
  [[nodiscard]] std::expected<void, std::uint16_t> store_word(const Access& access, std::uint32_t address,
                                                              std::uint32_t value, Effects& effects);
  [[nodiscard]] std::expected<void, std::uint16_t> store_stream_register(int channel, std::uint32_t offset,
                                                                         std::uint32_t value,
                                                                         Effects& effects);
  [[nodiscard]] std::expected<void, std::uint16_t> store_feature(std::uint32_t address, std::uint32_t value,
                                                                 Effects& effects);
  [[nodiscard]] std::expected<void, std::uint16_t> write_ccp(const Access& access, std::uint32_t value,
                                                             Effects& effects);
  void release_control(Effects& effects);
  [[nodiscard]] bool image_format_locked() const { return tl_params_locked_ != 0 || acquisition_active_; }

  RegisterMapConfig config_;
  std::map<std::uint32_t, InjectedStatus> injected_;

  std::array<std::uint8_t, reg::BOOTSTRAP_BLOCK_END> bootstrap_{};
  std::array<std::array<std::uint8_t, reg::URL_SIZE>, 2> urls_{};

  // Control channel.
  std::optional<Peer> holder_;
  std::uint32_t ccp_ = 0;
  Clock::time_point last_seen_{};
  std::uint32_t heartbeat_timeout_ms_ = 3000;
  std::uint32_t gvcp_configuration_ = 0;
  std::uint64_t latched_timestamp_ = 0;

  // Message channel.
  std::uint32_t mcp_ = 0;
  std::uint32_t mcda_ = 0;
  std::uint32_t mctt_ = 300;
  std::uint32_t mcrc_ = 2;

  struct StreamChannel {
    std::uint32_t scp = 0;
    std::uint32_t scps = 1500;
    std::uint32_t scpd = 0;
    std::uint32_t scda = 0;
  };
  std::array<StreamChannel, reg::STREAM_CHANNEL_COUNT> channels_{};

  // Features.
  std::uint32_t width_ = 64;
  std::uint32_t height_ = 48;
  std::uint32_t offset_x_ = 0;
  std::uint32_t offset_y_ = 0;
  std::uint32_t pixel_format_ = PIXEL_MONO8;
  std::uint32_t acquisition_mode_ = 0;
  std::uint32_t frame_count_ = 1;
  std::uint32_t tl_params_locked_ = 0;
  bool acquisition_active_ = false;
  std::uint32_t test_pattern_ = TEST_PATTERN_MOVING;  // the moving picture until a test asks for another
  std::uint32_t image_flags_ = 0;
  std::uint64_t exposure_bits_ = 0;    // IEEE double
  std::uint32_t gain_bits_ = 0;        // IEEE single
  std::uint32_t frame_rate_bits_ = 0;  // IEEE single (stored little-endian on the wire)
  std::int32_t black_level_raw_ = -20;
  std::int16_t temperature_raw_ = -3136;  // -12.25 degC in 1/256 degC
  std::uint32_t binning_raw_ = 0;
  bool chunk_mode_ = false;
  std::uint32_t chunk_selector_ = 0;  // a ChunkKind
  std::uint32_t chunks_ = ALL_CHUNKS;  // enabled chunks, bit (1 << ChunkKind)
  std::uint32_t event_selector_ = reg::EXPOSURE_END_EVENT_ID;
  std::uint32_t event_notifications_ = 1u << (reg::TEST_EVENT_ID - reg::TEST_EVENT_ID);  // bit (id - 0x9000)
  std::array<std::uint8_t, reg::USER_DATA_SIZE> user_data_{};
};

}  // namespace corvantic::sim
