// The inside of the stream worker: the frame table, the counters and the
// subscriptions its thread owns, and the steps of its loop. Split from
// gvsp_worker.cpp so that tests and the fuzz target drive datagram handling,
// sweeps and closes without a thread, with the time passed in.
//
// Frames are assembled in place: a frame takes a FrameBuffer from the pool
// when its first packet arrives, each payload is copied once from the
// receive slot to its offset in that buffer, and the buffer leaves as a
// Frame when the frame closes. A payload the thread received straight into
// its place (see predict) is not copied at all. Nothing here allocates per packet or per
// frame once the table, the buffers' packet lists and the scratch vectors
// have grown to the stream's size.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "gige/proto/gvcp.hpp"
#include "gige/proto/gvsp.hpp"
#include "gige/stream/buffer_pool.hpp"
#include "gige/stream/frame.hpp"
#include "gige/stream/frame_subscription.hpp"
#include "gige/stream/registration_queue.hpp"
#include "gige/stream/stream_stats.hpp"
#include "net/address.hpp"
#include "net/sys_error.hpp"

namespace corvantic::gige::stream {

// How a stream worker assembles frames. An open's options carry these into
// the worker's settings, so their defaults are written here alone.
struct AssemblyTimings {
  // The first wait before a missing packet is asked for; the worker then
  // adapts it to the reordering it sees (see GvspWorkerLoop::reorder_window).
  std::chrono::nanoseconds reorder_delay = std::chrono::milliseconds(1);
  std::chrono::nanoseconds resend_interval = std::chrono::milliseconds(20);
  std::chrono::nanoseconds frame_timeout = std::chrono::milliseconds(100);
  double resend_ratio = 0.25;  // of a frame's packets that may be asked for again
};

// What a stream worker is started with.
struct GvspWorkerSettings {
  net::SocketAddress device;  // only datagrams from this IP count; resend requests go here
  std::uint16_t channel = 0;  // the stream channel index resend requests name
  std::uint64_t payload_size = 0;
  std::uint16_t packet_size = 1500;
  std::uint64_t tick_frequency = 0;  // device ticks per second, 0 when unknown
  bool resend_enabled = true;
  AssemblyTimings timings;
};

// Where resend requests go: the worker thread sends them from the stream
// socket to the device; tests capture them.
class ResendSender {
 public:
  virtual ~ResendSender() = default;
  [[nodiscard]] virtual net::SysResult<void> send(std::span<const std::uint8_t> datagram) = 0;
};

// The longest wait the worker grows its reorder window to: a twentieth of
// the frame time-out (5 ms by default), so that a packet lost several times
// over still gets its requests before its frame times out.
[[nodiscard]] constexpr std::chrono::nanoseconds max_reorder_window(const GvspWorkerSettings& settings) {
  return settings.timings.frame_timeout / 20;
}

class GvspWorkerLoop {
 public:
  using Clock = std::chrono::steady_clock;
  // Where the next datagrams' payloads are expected to belong: data packet
  // `packet_id` of frame `block_id`, in the header form `extended`, its
  // payload at `region` of that frame's buffer.
  struct PacketTarget {
    std::uint64_t block_id = 0;
    std::uint32_t packet_id = 0;
    bool extended = false;
    std::span<std::uint8_t> region;
  };
  // Host wall-clock time in ns since 1970, read when a leader arrives.
  using WallClock = std::function<std::uint64_t()>;

  // Resend request ids: 65301 ... 65535, then 65300, 65301, ...
  static constexpr std::uint16_t FIRST_RESEND_REQUEST_ID = 65300;

  GvspWorkerLoop(const GvspWorkerSettings& settings, std::shared_ptr<BufferPool> pool,
                 std::shared_ptr<SharedStreamStats> stats, std::shared_ptr<RegistrationQueue> registrations,
                 std::unique_ptr<ResendSender> resend_sender, WallClock wall_clock = system_time_ns);
  GvspWorkerLoop(const GvspWorkerLoop&) = delete;
  GvspWorkerLoop& operator=(const GvspWorkerLoop&) = delete;

  // One received datagram from `source`: counted, parsed, placed, followed
  // by a resend scan and a sweep.
  void handle_datagram(const net::SocketAddress& source, std::span<const std::uint8_t> bytes, Clock::time_point now);
  // The same for a datagram of `datagram_size` bytes from the device whose
  // header the caller parsed; its payload is `header.payload`, wherever it
  // was received. A payload already at its place in the frame buffer is
  // not copied again.
  void handle_received(const proto::GvspHeader& header, std::size_t datagram_size, Clock::time_point now);
  // Fills `targets` with the data packets of the newest open frame that
  // follow the last one placed and have not arrived, in order; returns how
  // many. Only once the frame's first data packet has fixed its packet
  // length, so that no offset moves after a prediction. The thread receives
  // payloads straight into these places, which a stream arriving in order
  // fills without a copy.
  [[nodiscard]] std::size_t predict(std::span<PacketTarget> targets);
  // Front closing, then the idle resend scans of every open frame but
  // `current` (a block id).
  void sweep(Clock::time_point now, std::optional<std::uint64_t> current);
  // Closes the oldest open frame with `status` (its early status, if one was
  // set, takes precedence): counts it, delivers it, publishes.
  void close_slot(FrameStatus status);
  // Takes pending subscriptions and the stop message; true once a stop
  // message has been taken.
  bool drain_registrations();
  // Copies the local counters into the shared record.
  void publish();
  // Leaving the loop: every open frame closes as Aborted and is delivered,
  // the counters are published, the subscriptions are released and the
  // registration queue is closed.
  void shut_down();
  // The end without delivery, for when shut_down itself failed (no memory):
  // every subscription ends at once and no new one is taken.
  void end_subscriptions() noexcept;

  [[nodiscard]] bool stop_requested() const { return stop_; }
  [[nodiscard]] bool has_open_frames() const { return !frames_.empty(); }
  [[nodiscard]] std::size_t open_frames() const { return frames_.size(); }
  [[nodiscard]] const StreamStats& stats() const { return stats_; }
  // Frames opened so far; each closes exactly once, so after shut_down this
  // equals completed + failed + aborted.
  [[nodiscard]] std::uint64_t frames_opened() const { return frames_opened_; }
  [[nodiscard]] const GvspWorkerSettings& settings() const { return settings_; }
  // How long a missing packet now stays missing before it is asked for. It
  // starts at settings().timings.reorder_delay. A packet that proves only late
  // doubles it, at most once per frame and up to max_reorder_window: one
  // asked for once that then arrives twice (the late original and its
  // resent copy, the second possibly after its frame completed), or one
  // that arrives on its own after its wait ran out (not asked for, because
  // no scan came in between or the frame's resend budget was spent). Every
  // frame that completes without such a packet lets it decay by a
  // thirty-second of its excess, so a stream that stops reordering returns
  // to asking early. A needless request is given back to its frame's resend
  // budget, so that packets only late do not use up what real losses need.
  [[nodiscard]] std::chrono::nanoseconds reorder_window() const { return reorder_window_; }
  [[nodiscard]] std::uint64_t spurious_requests() const { return spurious_requests_; }
  // Frames that announced chunk data and closed PayloadUnsupported because
  // their chunk layout did not parse (also counted as failed frames).
  [[nodiscard]] std::uint64_t chunk_layout_errors() const { return chunk_layout_errors_; }

  [[nodiscard]] static std::uint64_t system_time_ns();

 private:
  struct FrameSlot {
    PooledBuffer buffer;  // data area and packet states
    std::uint64_t block_id = 0;
    bool extended = false;
    std::uint64_t expected = 0;  // packets, leader and trailer included
    std::uint64_t bytes_per_packet = 0;
    std::int64_t contig = -1;  // all ids 0 ... contig have arrived
    std::uint64_t next_data = 1;  // the data packet after the highest placed
    Clock::time_point opened_at;
    Clock::time_point last_packet_time;
    std::optional<proto::LeaderInfo> leader;
    std::uint64_t system_timestamp_ns = 0;
    std::uint64_t received_size = 0;
    std::uint64_t high_water = 0;
    std::uint64_t requested_total = 0;  // packets asked for, less those proved needless
    bool first_data_seen = false;
    bool trailer_seen = false;
    std::optional<std::uint32_t> chunk_data_length;  // as the trailer gives it
    bool resend_impossible = false;
    bool resend_budget_reached = false;  // a scan would have passed the budget (counted once)
    bool showed_lateness = false;  // a packet of it proved only late: the window grew for it
    bool asked = false;            // a resend request for it was sent
    std::optional<FrameStatus> status;  // set early (WrongPacketId): the frame closes with it
  };
  struct Run {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
  };

  [[nodiscard]] FrameSlot* find_slot(std::uint64_t block_id);
  // Opens a frame for the packet `header`; nothing when it is unsupported,
  // late, or no buffer is free.
  FrameSlot* open_slot(const proto::GvspHeader& header, Clock::time_point now);
  void error_status(FrameSlot& slot, const proto::GvspHeader& header);
  void process_packet(FrameSlot& slot, const proto::GvspHeader& header, Clock::time_point now);
  void place_data(FrameSlot& slot, const proto::GvspHeader& header);
  void forget_misplaced_data(FrameSlot& slot);
  void zero_holes(FrameSlot& slot);
  // Fills the buffer's chunk layout; false (counted) when it does not parse.
  [[nodiscard]] bool read_chunk_layout(FrameSlot& slot);
  // Sets the expected count, resizing the packet list and keeping contig within it.
  static void set_expected(FrameSlot& slot, std::uint64_t expected);
  void resend_scan(FrameSlot& slot, std::uint64_t up_to, Clock::time_point now);
  // Grows the window for a packet that proved only late; `frame_noted` is
  // its frame's flag, so that the window grows once per frame.
  void grow_reorder_window(bool& frame_noted);
  // A packet of a frame no longer open: one of a completed frame that asked
  // for packets is the second copy of a packet asked for.
  void note_late_copy(const proto::GvspHeader& header);
  void decay_reorder_window();
  void send_resend(const FrameSlot& slot, const Run& run);

  GvspWorkerSettings settings_;
  std::shared_ptr<BufferPool> pool_;
  std::shared_ptr<SharedStreamStats> shared_stats_;
  std::shared_ptr<RegistrationQueue> registrations_;
  std::unique_ptr<ResendSender> resend_sender_;
  WallClock wall_clock_;

  std::vector<FrameSlot> frames_;  // open frames, oldest first
  std::vector<FrameSender> subscriptions_;
  std::vector<Registration> taken_;  // registrations taken off the queue, reused
  std::vector<Run> runs_;            // resend runs of one scan, reused
  StreamStats stats_;
  std::uint64_t last_block_ = 0;
  std::uint64_t frames_opened_ = 0;
  std::chrono::nanoseconds reorder_window_;
  std::uint64_t spurious_requests_ = 0;
  std::uint64_t chunk_layout_errors_ = 0;
  // The last frames that completed after asking for packets, newest at
  // `completed_next_ - 1`: copies of their packets may still arrive.
  struct CompletedWithRequests {
    std::uint64_t block_id = 0;
    bool valid = false;
    bool noted = false;  // a needless request of it was counted
  };
  std::array<CompletedWithRequests, 4> completed_with_requests_{};
  std::size_t completed_next_ = 0;
  bool first_packet_ = true;
  bool stop_ = false;
  std::uint16_t resend_request_id_ = FIRST_RESEND_REQUEST_ID;
  std::array<std::uint8_t, proto::PACKETRESEND_MAX_SIZE> resend_buffer_{};
};

}  // namespace corvantic::gige::stream
