// StreamChannel: one open stream channel of a connected device. open() binds
// the stream socket, points the device's stream-channel registers at it,
// negotiates the packet size by the fire test (unless one is given) and
// starts the GvspWorker that assembles frames; close() points the device
// away, stops the worker and joins it.
//
// open() and close() run on the caller's thread with the camera session lock
// held: they use the GigeDriver they are given directly, and the channel
// keeps no reference to it. subscribe() and stats() may be called from any
// thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "gige/camera_error.hpp"
#include "gige/gige_driver.hpp"
#include "gige/proto/gvsp.hpp"
#include "gige/stream/frame_subscription.hpp"
#include "gige/stream/gvsp_worker.hpp"
#include "gige/stream/stream_stats.hpp"
#include "net/address.hpp"

namespace corvantic::gige {

// A scheduling request for the stream worker thread. Every entry point
// leaves both unset; when either is set the worker runs unchanged and a WARN
// says so.
struct ThreadScheduling {
  std::optional<int> priority;
  std::optional<std::uint64_t> cpu_mask;
};

// The settings of one open, with the defaults every entry point uses. The
// Python keywords fill channel, n_buffers, packet_size, packet_delay and
// no_resend (= not resend), and the binding's text signatures show these
// defaults (checked where they are written); payload_size comes from the
// PayloadSize feature; the rest keep their defaults.
struct StreamOptions {
  std::optional<std::uint64_t> payload_size;  // bytes of one frame buffer; must be present and non-zero
  ThreadScheduling scheduling;
  std::optional<std::uint32_t> packet_delay;  // written to SCPD when present
  stream::AssemblyTimings timings;
  std::optional<net::SocketAddress> destination;  // host address and port to bind; unset: chosen
  std::uint64_t n_buffers = 8;
  std::uint64_t receive_buffer = 0;          // requested receive-buffer size; 0: computed
  std::optional<std::uint16_t> packet_size;  // fixed packet size; unset: negotiated by the fire test
  std::uint16_t channel = 0;
  bool no_resend = false;
};

// The smallest packet size whose data part reaches the packet-count bound
// (proto::MIN_DATA_BYTES_PER_PACKET) in the standard header form; smaller
// packets could never carry a frame.
inline constexpr std::uint16_t MIN_PACKET_SIZE =
    proto::IP_UDP_OVERHEAD + proto::GVSP_HEADER_SIZE + proto::MIN_DATA_BYTES_PER_PACKET;

// Why `options` could never carry a frame ("n_buffers must be at least 1",
// "packet_size must be at least 100"), or nothing. Checked before any
// device traffic; open() refuses such options as well.
[[nodiscard]] std::optional<std::string> stream_options_problem(const StreamOptions& options);

inline constexpr std::uint64_t RECEIVE_BUFFER_MIN = 262144;   // 256 KiB
inline constexpr std::uint64_t RECEIVE_BUFFER_MAX = 8388608;  // 8 MiB

// The receive-buffer size an open asks for: `receive_buffer` when non-zero,
// otherwise payload_size + 1024 clamped to RECEIVE_BUFFER_MIN ... MAX.
[[nodiscard]] std::uint64_t requested_receive_buffer(std::uint64_t payload_size, std::uint64_t receive_buffer);

// Packet-size negotiation. A probe of size S (whole IP datagram) reports the
// largest test packet that arrived (its UDP payload plus 28), or nothing.
inline constexpr std::uint16_t FIRE_TEST_FIRST = 9152;
inline constexpr std::uint16_t FIRE_TEST_FLOOR = 560;
inline constexpr std::uint16_t FIRE_TEST_FALLBACK = 1500;
using FireTestProbe = std::function<std::optional<std::uint32_t>(std::uint16_t size)>;
struct FireTestOutcome {
  std::uint16_t packet_size = FIRE_TEST_FALLBACK;
  bool supported = false;  // false: no probe succeeded and packet_size is the fallback
};
// 9152; else 1488, 1008, 560 until one succeeds, then a binary search in
// multiples of 16 between it and 9152; the result is at least 560 and is
// never more than a test packet that arrived. Sizes above `ceiling` (the
// host's route MTU) are never probed: the top probe is min(9152, ceiling).
[[nodiscard]] FireTestOutcome search_packet_size(const FireTestProbe& probe,
                                                 std::uint16_t ceiling = FIRE_TEST_FIRST);

class StreamChannel {
 public:
  // Opens channel `options.channel` of the connected `driver`.
  [[nodiscard]] static CameraResult<std::unique_ptr<StreamChannel>> open(GigeDriver& driver,
                                                                         const StreamOptions& options);
  // Stops the worker as close_locally() does if the channel is still open;
  // the device is not told (that needs the session lock, which close()
  // runs under).
  ~StreamChannel();
  StreamChannel(const StreamChannel&) = delete;
  StreamChannel& operator=(const StreamChannel&) = delete;

  // Writes SCP := 0 (its result ignored), stops the worker and joins it;
  // frames still open are delivered as Aborted. Never fails; a second call
  // does nothing.
  void close(GigeDriver& driver);
  // Stops and joins the worker without touching the device, for a caller
  // that cannot take the session lock: the device may go on streaming to
  // the closed port. Open frames are delivered as Aborted, as by close().
  void close_locally();
  [[nodiscard]] bool closed() const { return worker_ == nullptr; }

  // A new subscription of up to `capacity` frames. After close it has
  // ended already.
  [[nodiscard]] stream::FrameReceiver subscribe(std::size_t capacity);
  [[nodiscard]] stream::StreamStats stats() const { return stats_->snapshot(); }
  // The worker's reorder window and its needless resend requests so far.
  [[nodiscard]] stream::ReorderFigures reorder() const { return stats_->reorder(); }
  // Frames failed for a chunk layout that did not parse, so far.
  [[nodiscard]] std::uint64_t chunk_layout_errors() const { return stats_->chunk_layout_errors(); }
  [[nodiscard]] const net::SocketAddress& local_address() const { return local_address_; }
  [[nodiscard]] std::uint16_t packet_size() const { return packet_size_; }
  [[nodiscard]] std::uint16_t channel() const { return channel_; }
  // Device ticks per second as read at open; 0 when the read failed.
  [[nodiscard]] std::uint64_t tick_frequency() const { return tick_frequency_; }
  [[nodiscard]] bool resend_enabled() const { return resend_enabled_; }

 private:
  StreamChannel() = default;

  std::uint16_t channel_ = 0;
  net::SocketAddress local_address_;
  std::uint16_t packet_size_ = 0;
  std::uint64_t tick_frequency_ = 0;
  bool resend_enabled_ = false;
  std::shared_ptr<stream::SharedStreamStats> stats_;
  std::shared_ptr<stream::RegistrationQueue> registrations_;
  std::unique_ptr<stream::GvspWorker> worker_;
};

}  // namespace corvantic::gige
