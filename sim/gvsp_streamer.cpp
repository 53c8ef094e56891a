// The stream side of the virtual camera.
//
// One sender thread per streamer produces the frames of an acquisition and
// sends them in sendmmsg batches, runs of equal-size packets as UDP GSO
// messages (see PacketBatch); it lives as long as the streamer and idles on
// a condition variable between acquisitions. fire_test() and resend()
// send from the caller's thread. Every packet leaves from the streamer's own
// UDP socket, bound to the device's IP with a system-chosen port, so stream
// traffic never mixes with the control socket's (hosts match stream packets
// by source IP only).
//
// Packets are not stored: a frame is fully described by a small FrameLayout
// (block id, geometry, packet size, pattern, timestamp), and any packet of it
// is rebuilt from that on demand. The resend history is the FrameLayouts of
// the last GVSP_HISTORY_FRAMES frames, so its memory does not depend on the
// image size.
//
// Locks: state_mutex guards the configuration and the acquisition state;
// history_mutex guards the history and the resend batch. The two are never
// held together.
#include "sim/gvsp_streamer.hpp"

#include <arpa/inet.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <optional>
#include <random>
#include <stop_token>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "net/sys_error.hpp"
#include "sim/gvsp_packet.hpp"
#include "util/thread_name.hpp"
#include "util/log.hpp"
#include "util/mutex.hpp"
#include "util/unique_fd.hpp"

namespace corvantic::sim {

FrameLayout frame_layout(const StreamConfig& config, std::uint64_t block_id) {
  FrameLayout layout;
  layout.block_id = block_id;
  layout.extended = config.extended_ids;
  layout.packet_size = config.packet_size;
  layout.pixel_format = config.pixel_format;
  layout.width = config.width;
  layout.height = config.height;
  layout.offset_x = config.offset_x;
  layout.offset_y = config.offset_y;
  layout.test_pattern = config.test_pattern;
  layout.chunk_mode = config.chunk_mode;
  layout.chunks = config.chunks;
  layout.exposure_bits = config.exposure_bits;
  layout.gain_bits = config.gain_bits;
  layout.image_flags = config.image_flags;
  return layout;
}

namespace {

using Clock = std::chrono::steady_clock;
__extension__ typedef unsigned __int128 U128;

constexpr std::string_view LOG_TARGET = "corvantic::sim::gvsp";

// A send batch holds up to MAX_BATCH packets and about BATCH_BYTES of data.
constexpr unsigned MAX_BATCH = 256;
constexpr std::size_t BATCH_BYTES = std::size_t{1} << 20;
// Segments the kernel accepts in one UDP GSO message.
constexpr unsigned MAX_GSO_SEGMENTS = 64;
// Room one step of fault injection may need: a packet, the packet it let
// pass ahead, and a duplicate of each.
constexpr unsigned EMIT_SLACK = 4;
// A frame interval longer than this is taken as this (keeps the duration
// arithmetic finite for absurdly low frame rates).
constexpr double MAX_FRAME_PERIOD_S = 3600.0;
// Likewise for the delay between packets.
constexpr std::chrono::nanoseconds MAX_PACKET_DELAY = std::chrono::seconds(1);

std::string errno_text(int err) { return net::SysError{err}.text(); }

std::string address_text(const sockaddr_in& addr) {
  char ip[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(ntohs(addr.sin_port));
}

bool destination_set(const sockaddr_in& dest) { return dest.sin_port != 0 && dest.sin_addr.s_addr != 0; }

sockaddr_in normalised(sockaddr_in dest) {
  dest.sin_family = AF_INET;
  return dest;
}

// Whether the simulated path carries a datagram of `udp_bytes` payload.
struct PathLimit {
  std::uint32_t path_mtu = 0;
  bool do_not_fragment = false;
  [[nodiscard]] bool carries(std::size_t udp_bytes) const {
    return !do_not_fragment || udp_bytes + IP_UDP_OVERHEAD <= path_mtu;
  }
};

// Errors by which the kernel refuses UDP segmentation offload for a message
// (old kernel, a path that cannot take it): the packets then go out one by one.
bool gso_refused(int err) { return err == EIO || err == EINVAL || err == EOPNOTSUPP || err == ENOPROTOOPT; }

// The do-not-fragment bit of SCPS as the socket's path-MTU discovery: set,
// a datagram larger than the path fails to send (EMSGSIZE) and is lost, as
// on a camera's own link; clear, the stack may fragment it.
void apply_do_not_fragment(int sock, bool do_not_fragment) {
  const int mode = do_not_fragment ? IP_PMTUDISC_DO : IP_PMTUDISC_DONT;
  // A refusal leaves the system's default; packets still go out.
  [[maybe_unused]] const int r = ::setsockopt(sock, IPPROTO_IP, IP_MTU_DISCOVER, &mode, sizeof mode);
}

// Reusable sendmmsg arrays for up to `capacity` queued packets, each in a
// slot of `slot_size` bytes with its own iovec, all addressed to
// `destination`. Not movable: the message headers point into the object.
//
// With segmentation offload a run of queued packets of one size (the last of
// the run may be shorter) goes out as one UDP GSO message, which the kernel
// splits into the same datagrams the packets would have made one by one: a
// receiver sees no difference, and the per-datagram cost of the stack is
// paid once per run. A frame's data packets all have one size, so almost all
// of them travel this way.
class PacketBatch {
 public:
  PacketBatch() = default;
  PacketBatch(const PacketBatch&) = delete;
  PacketBatch& operator=(const PacketBatch&) = delete;

  // Makes room for packets of up to `slot_size` bytes; allocates only when
  // a larger slot than ever before is needed.
  void reserve(std::size_t slot_size) {
    if (slot_size <= slot_size_ && !storage_.empty()) return;
    slot_size_ = slot_size;
    capacity_ =
        static_cast<unsigned>(std::clamp<std::size_t>(BATCH_BYTES / slot_size, EMIT_SLACK, MAX_BATCH));
    storage_.assign(slot_size_ * capacity_, 0);
    iovs_.assign(capacity_, iovec{});
    msgs_.assign(capacity_, mmsghdr{});
    msg_first_.assign(capacity_, 0);
    msg_packets_.assign(capacity_, 0);
    controls_.assign(capacity_, Control{});
    count_ = 0;
  }
  void set_destination(const sockaddr_in& dest) { destination_ = normalised(dest); }
  [[nodiscard]] const sockaddr_in& destination() const { return destination_; }

  [[nodiscard]] unsigned count() const { return count_; }
  [[nodiscard]] bool has_room(unsigned n) const { return count_ + n <= capacity_; }
  // Where the next packet is to be written.
  [[nodiscard]] std::uint8_t* next_slot() { return storage_.data() + std::size_t{count_} * slot_size_; }
  // Queues the `length` bytes just written at next_slot().
  void push(std::size_t length) {
    iovs_[count_] = iovec{next_slot(), length};
    ++count_;
  }
  // Queues the last packet once more.
  void push_duplicate() {
    iovs_[count_] = iovs_[count_ - 1];
    ++count_;
  }
  void clear() { count_ = 0; }

  // Sends queued packets [begin, end) from `sock`, in runs when `gso` is
  // set; clears `gso` when the kernel refuses it. Returns the packets the
  // kernel took. A message the kernel refuses otherwise is lost, as on a
  // real link, and reported through `on_error(errno, packets)`.
  template <typename OnError>
  std::size_t send(int sock, unsigned begin, unsigned end, std::atomic<bool>& gso, OnError&& on_error) {
    std::size_t sent = 0;
    unsigned next = begin;
    bool segment = gso.load(std::memory_order_relaxed);
    while (next < end) {
      const unsigned n_msgs = build_messages(next, end, segment);
      unsigned done = 0;
      next = end;
      while (done < n_msgs) {
        const int r = ::sendmmsg(sock, msgs_.data() + done, n_msgs - done, 0);
        if (r > 0) {
          for (unsigned m = done; m < done + static_cast<unsigned>(r); ++m) sent += msg_packets_[m];
          done += static_cast<unsigned>(r);
          continue;
        }
        if (r < 0 && errno == EINTR) continue;
        const int err = r < 0 ? errno : EIO;
        if (msg_packets_[done] > 1 && (gso_refused(err) || err == EMSGSIZE)) {
          // Go on from this message's first packet without segmentation.
          // Segments too big for the path (EMSGSIZE) say nothing of the
          // offload: it stays for the next batch, and each packet of this
          // one goes out, or is lost, on its own.
          if (err != EMSGSIZE) gso.store(false, std::memory_order_relaxed);
          segment = false;
          next = msg_first_[done];
          break;
        }
        on_error(err, msg_packets_[done]);
        ++done;
      }
    }
    return sent;
  }

 private:
  union Control {
    char bytes[CMSG_SPACE(sizeof(std::uint16_t))];
    cmsghdr align;
  };

  // Groups packets [begin, end) into messages; returns how many.
  unsigned build_messages(unsigned begin, unsigned end, bool segment) {
    unsigned n_msgs = 0;
    unsigned p = begin;
    while (p < end) {
      const unsigned first = p;
      const std::size_t size = iovs_[p].iov_len;
      std::size_t total = size;
      ++p;
      if (segment) {
        while (p < end && p - first < MAX_GSO_SEGMENTS) {
          const std::size_t length = iovs_[p].iov_len;
          if (length > size || total + length > MAX_UDP_PAYLOAD) break;
          total += length;
          ++p;
          if (length < size) break;  // only the last of a run may be shorter
        }
      }
      msghdr& h = msgs_[n_msgs].msg_hdr;
      h = msghdr{};
      h.msg_name = &destination_;
      h.msg_namelen = sizeof destination_;
      h.msg_iov = &iovs_[first];
      h.msg_iovlen = p - first;
      if (p - first > 1) {
        Control& c = controls_[n_msgs];
        h.msg_control = c.bytes;
        h.msg_controllen = sizeof c.bytes;
        cmsghdr* cm = CMSG_FIRSTHDR(&h);
        cm->cmsg_level = SOL_UDP;
        cm->cmsg_type = UDP_SEGMENT;
        cm->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
        const auto gso_size = static_cast<std::uint16_t>(size);
        std::memcpy(CMSG_DATA(cm), &gso_size, sizeof gso_size);
      }
      msg_first_[n_msgs] = first;
      msg_packets_[n_msgs] = p - first;
      ++n_msgs;
    }
    return n_msgs;
  }

  sockaddr_in destination_{};
  std::size_t slot_size_ = 0;
  unsigned capacity_ = 0;
  unsigned count_ = 0;
  std::vector<std::uint8_t> storage_;
  std::vector<iovec> iovs_;  // one per queued packet
  std::vector<mmsghdr> msgs_;
  std::vector<unsigned> msg_first_;    // first packet of each message
  std::vector<unsigned> msg_packets_;  // packets in each message
  std::vector<Control> controls_;
};

}  // namespace

struct GvspStreamer::Impl {
  Impl(int channel_index, std::uint64_t frequency) : channel(channel_index), tick_frequency(frequency) {}

  const int channel;
  const std::uint64_t tick_frequency;
  const Clock::time_point epoch = Clock::now();
  util::UniqueFd sock;  // the streamer's own socket; set only by the constructor

  util::Mutex state_mutex;
  std::condition_variable_any state_cv;
  StreamConfig config GUARDED_BY(state_mutex);
  std::uint64_t config_version GUARDED_BY(state_mutex) = 0;
  StreamFaults faults GUARDED_BY(state_mutex);
  std::uint64_t faults_version GUARDED_BY(state_mutex) = 0;
  std::uint64_t acquisition_seq GUARDED_BY(state_mutex) = 0;
  std::function<void()> on_finished GUARDED_BY(state_mutex);
  std::function<void(std::uint64_t, std::uint64_t)> exposure_observer GUARDED_BY(state_mutex);
  StreamConfig start_config GUARDED_BY(state_mutex);  // config as start() saw it
  std::uint64_t start_config_version GUARDED_BY(state_mutex) = 0;
  std::uint64_t active_acquisition GUARDED_BY(state_mutex) = 0;  // what the sender is running, 0 idle
  // Id of the running acquisition, 0 when stopped. Written under
  // state_mutex; read without it by the sender between batches.
  std::atomic<std::uint64_t> live_acquisition{0};

  util::Mutex history_mutex;
  std::array<FrameLayout, GVSP_HISTORY_FRAMES> history GUARDED_BY(history_mutex){};
  std::size_t history_next GUARDED_BY(history_mutex) = 0;
  std::size_t history_size GUARDED_BY(history_mutex) = 0;
  PacketBatch resend_batch GUARDED_BY(history_mutex);

  std::atomic<std::uint64_t> frames_sent{0};
  // Set when the last packets of a SingleFrame or MultiFrame acquisition go
  // out (just before the send that ends its last frame).
  std::atomic<bool> final_frame{false};
  std::atomic<std::uint64_t> packets_sent{0};
  std::atomic<std::uint64_t> packets_resent{0};
  std::atomic<std::uint64_t> resend_unavailable{0};
  std::atomic<std::uint64_t> packets_refused{0};
  std::atomic<std::int64_t> last_send_warning_ns{INT64_MIN};
  // Whether UDP segmentation offload is used; cleared for good the first
  // time the kernel refuses it, or from the start when it is not wanted.
  std::atomic<bool> gso{true};

  // Sender thread state (touched by the sender only).
  PacketBatch batch;
  StreamConfig cfg;
  std::uint64_t cfg_version = 0;
  StreamFaults active_faults;
  std::uint64_t active_faults_version = 0;
  std::mt19937_64 rng{1};
  std::uint64_t last_block = 0;  // 64-bit block counter; 0 = nothing sent yet

  std::jthread sender;  // last: started after everything above exists

  [[nodiscard]] std::uint64_t ticks_now() const {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - epoch).count();
    if (tick_frequency == 0) return static_cast<std::uint64_t>(ns);
    return static_cast<std::uint64_t>(U128(static_cast<std::uint64_t>(ns)) * tick_frequency / 1'000'000'000u);
  }
  [[nodiscard]] std::chrono::nanoseconds ticks_to_duration(std::uint64_t ticks) const {
    if (tick_frequency == 0) return std::chrono::nanoseconds(std::min<std::uint64_t>(ticks, INT64_MAX));
    const U128 ns = U128(ticks) * 1'000'000'000u / tick_frequency;
    return std::chrono::nanoseconds(static_cast<std::int64_t>(std::min<U128>(ns, INT64_MAX)));
  }

  // Sends packets [begin, end) of `b`; returns how many the kernel took.
  std::size_t send(PacketBatch& b, unsigned begin, unsigned end);
  void warn_send_failure(int err, const sockaddr_in& dest);

  // Sender thread.
  void sender_main(std::stop_token st);
  bool run_acquisition(std::stop_token st, std::uint64_t acq, AcquisitionMode mode,
                       std::uint32_t frame_count);
  // Sends one frame; `last_of_acquisition` for the last frame of a
  // SingleFrame or MultiFrame acquisition.
  bool send_frame(std::stop_token st, std::uint64_t acq, const FrameLayout& frame, const sockaddr_in& dest,
                  PathLimit path, std::chrono::nanoseconds packet_delay, bool last_of_acquisition);
  bool wait_until(std::stop_token st, std::uint64_t acq, Clock::time_point deadline) EXCLUDES(state_mutex);
  [[nodiscard]] bool live(const std::stop_token& st, std::uint64_t acq) const {
    return live_acquisition.load(std::memory_order_acquire) == acq && !st.stop_requested();
  }
  std::uint64_t next_block_id(bool extended);
  void remember(const FrameLayout& frame) EXCLUDES(history_mutex);
};

// ---------------------------------------------------------------------------
// Sending

std::size_t GvspStreamer::Impl::send(PacketBatch& b, unsigned begin, unsigned end) {
  if (!sock.valid()) return 0;
  return b.send(sock.get(), begin, end, gso, [&](int err, unsigned packets) {
    packets_refused.fetch_add(packets, std::memory_order_relaxed);
    warn_send_failure(err, b.destination());
  });
}

void GvspStreamer::Impl::warn_send_failure(int err, const sockaddr_in& dest) {
  // At most one warning a second: a failing destination would otherwise log
  // once per batch.
  const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - epoch).count();
  std::int64_t last = last_send_warning_ns.load(std::memory_order_relaxed);
  if (last != INT64_MIN && now - last < 1'000'000'000) return;
  if (!last_send_warning_ns.compare_exchange_strong(last, now, std::memory_order_relaxed)) return;
  CORVANTIC_LOG(util::log::Level::Warn, LOG_TARGET, "gvsp send failed: " + errno_text(err),
                util::log::field("channel", channel), util::log::field("destination", address_text(dest)));
}

// ---------------------------------------------------------------------------
// Sender thread

void GvspStreamer::Impl::sender_main(std::stop_token st) {
  util::set_current_thread_name("sim-gvsp" + std::to_string(channel));

  for (;;) {
    std::uint64_t acq = 0;
    AcquisitionMode mode{};
    std::uint32_t frame_count = 0;
    {
      util::MutexLock lock(state_mutex);
      state_cv.wait(lock.native(), st, [&] { return live_acquisition.load(std::memory_order_relaxed) != 0; });
      if (st.stop_requested()) return;
      acq = live_acquisition.load(std::memory_order_relaxed);
      active_acquisition = acq;
      // Stays set after a finite acquisition's last frame until the device
      // has seen its end; cleared when the next acquisition begins.
      final_frame.store(false);
      cfg = start_config;
      cfg_version = start_config_version;
      mode = start_config.mode;
      frame_count = start_config.frame_count;
      if (start_config.first_block_id != 0) last_block = start_config.first_block_id - 1;
    }

    bool finished = false;
    try {
      finished = run_acquisition(st, acq, mode, frame_count);
    } catch (const std::exception& e) {
      // Only allocation can throw here; the acquisition ends as if stopped.
      CORVANTIC_LOG(util::log::Level::Error, LOG_TARGET, std::string("gvsp sender failed: ") + e.what(),
                    util::log::field("channel", channel));
    } catch (...) {
      CORVANTIC_LOG(util::log::Level::Error, LOG_TARGET, "gvsp sender failed", util::log::field("channel", channel));
    }

    std::function<void()> done;
    {
      util::MutexLock lock(state_mutex);
      active_acquisition = 0;
      // Still live: this acquisition ends here, and its callback is ours to
      // run (or drop, when it ended early). Otherwise stop() ended it and
      // dropped its callback; what is stored now belongs to a newer start().
      std::uint64_t expected = acq;
      if (live_acquisition.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) {
        if (finished) done = std::move(on_finished);
        on_finished = nullptr;
      }
    }
    state_cv.notify_all();
    if (done) {
      try {
        done();
      } catch (...) {
        CORVANTIC_LOG(util::log::Level::Error, LOG_TARGET, "acquisition-finished callback threw",
                      util::log::field("channel", channel));
      }
    }
  }
}

// Runs one acquisition; true when a SingleFrame or MultiFrame acquisition
// sent its last frame, false when it was stopped.
bool GvspStreamer::Impl::run_acquisition(std::stop_token st, std::uint64_t acq, AcquisitionMode mode,
                                         std::uint32_t frame_count) {
  const std::uint64_t frames_wanted = mode == AcquisitionMode::SingleFrame ? 1 : frame_count;
  std::function<void(std::uint64_t, std::uint64_t)> exposure_ended;
  {
    util::MutexLock lock(state_mutex);
    exposure_ended = exposure_observer;
  }
  std::uint64_t frames_done = 0;
  std::uint64_t warned_version = UINT64_MAX;
  Clock::time_point next_frame = Clock::now();

  for (;;) {
    if (mode != AcquisitionMode::Continuous && frames_done >= frames_wanted) return true;

    FrameLayout layout;
    std::optional<FrameLayout> planned;
    sockaddr_in dest{};
    PathLimit path;
    std::chrono::nanoseconds packet_delay{0};
    double frame_rate = 0;
    {
      util::MutexLock lock(state_mutex);
      if (!live(st, acq)) return false;
      if (config_version != cfg_version) {
        cfg = config;
        cfg_version = config_version;
      }
      if (faults_version != active_faults_version) {
        active_faults = faults;
        active_faults_version = faults_version;
        rng.seed(active_faults.seed);
      }
      layout = frame_layout(cfg);
      layout.lying_chunk_length = active_faults.lying_chunk_length;
      planned = plan_frame(layout);
      dest = cfg.destination;
      if (!planned || !destination_set(dest)) {
        // Nothing can be sent with this configuration: wait for the next one.
        if (warned_version != cfg_version) {
          warned_version = cfg_version;
          CORVANTIC_LOG(util::log::Level::Debug, LOG_TARGET,
                        planned ? "no stream destination; waiting"
                                : "frame cannot be sent with this configuration; waiting",
                        util::log::field("channel", channel), util::log::field("packet_size", cfg.packet_size),
                        util::log::field("width", cfg.width), util::log::field("height", cfg.height),
                        util::log::field("extended", cfg.extended_ids));
        }
        const std::uint64_t seen = cfg_version;
        state_cv.wait(lock.native(), st, [&]() REQUIRES(state_mutex) {
          return live_acquisition.load(std::memory_order_relaxed) != acq || config_version != seen;
        });
        continue;
      }
      path = PathLimit{cfg.path_mtu, cfg.do_not_fragment};
      packet_delay =
          std::min<std::chrono::nanoseconds>(ticks_to_duration(cfg.packet_delay), MAX_PACKET_DELAY);
      frame_rate = cfg.frame_rate;
    }

    FrameLayout frame = *planned;
    frame.block_id = next_block_id(frame.extended);
    frame.timestamp = ticks_now();
    remember(frame);
    if (exposure_ended) exposure_ended(frame.block_id, frame.timestamp);
    const bool last = mode != AcquisitionMode::Continuous && frames_done + 1 >= frames_wanted;
    if (!send_frame(st, acq, frame, dest, path, packet_delay, last)) return false;
    frames_sent.fetch_add(1, std::memory_order_relaxed);
    ++frames_done;
    if (mode != AcquisitionMode::Continuous && frames_done >= frames_wanted) return true;

    if (frame_rate > 0) {
      const double seconds = std::min(1.0 / frame_rate, MAX_FRAME_PERIOD_S);
      const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
      next_frame += period;
      const auto now = Clock::now();
      // Far behind (a slow destination, a stopped debugger): do not burst to
      // catch up, start afresh.
      if (next_frame + period < now) next_frame = now;
      if (!wait_until(st, acq, next_frame)) return false;
    } else {
      next_frame = Clock::now();
    }
  }
}

// Sends every packet of `frame` once, with the configured faults; false when
// the acquisition was stopped part-way.
bool GvspStreamer::Impl::send_frame(std::stop_token st, std::uint64_t acq, const FrameLayout& frame,
                                    const sockaddr_in& dest, PathLimit path,
                                    std::chrono::nanoseconds packet_delay, bool last_of_acquisition) {
  batch.reserve(max_packet_bytes(frame));
  batch.set_destination(dest);
  batch.clear();

  // With a packet delay each datagram has a due time, packet_delay after the
  // previous one's; a sender that overslept sends the overdue ones at once,
  // so the average spacing stays what was asked for. Returns false when the
  // acquisition stopped during such a wait (the rest is not sent).
  Clock::time_point due = Clock::now();
  // `ends_acquisition`: this flush sends the acquisition's last packets,
  // which final_frame announces just before the send that ends the frame.
  auto flush = [&](bool ends_acquisition) -> bool {
    const unsigned n = batch.count();
    std::size_t sent = 0;
    if (packet_delay.count() == 0) {
      if (ends_acquisition) final_frame.store(true);
      sent = send(batch, 0, n);
    } else {
      for (unsigned i = 0; i < n; ++i) {
        if (Clock::now() < due && !wait_until(st, acq, due)) {
          batch.clear();
          return false;
        }
        if (ends_acquisition && i + 1 == n) final_frame.store(true);
        sent += send(batch, i, i + 1);
        due += packet_delay;
      }
    }
    packets_sent.fetch_add(sent, std::memory_order_relaxed);
    batch.clear();
    return true;
  };
  auto emit = [&](std::uint32_t packet_id, bool duplicate) {
    const std::size_t length = build_packet(frame, packet_id, batch.next_slot());
    if (!path.carries(length)) return;  // lost on the path
    batch.push(length);
    if (duplicate) batch.push_duplicate();
  };

  const StreamFaults& f = active_faults;
  const bool faulty = f.loss > 0 || f.reorder > 0 || f.duplicate > 0;
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  bool holding = false;  // a packet waits to go out after its successor
  std::uint32_t held_id = 0;
  bool held_duplicate = false;
  const std::uint32_t count = frame.packet_count();

  for (std::uint32_t id = 0; id < count; ++id) {
    if (!faulty) {
      emit(id, false);
    } else {
      // One draw per enabled fault per packet, in a fixed order, so a seed
      // always gives the same pattern for the same frames.
      const bool lost = f.loss > 0 && uniform(rng) < f.loss;
      const bool reorder = f.reorder > 0 && uniform(rng) < f.reorder;
      const bool duplicate = f.duplicate > 0 && uniform(rng) < f.duplicate;
      if (!lost) {
        if (holding) {
          emit(id, duplicate);
          emit(held_id, held_duplicate);
          holding = false;
        } else if (reorder && id + 1 < count) {
          holding = true;
          held_id = id;
          held_duplicate = duplicate;
        } else {
          emit(id, duplicate);
        }
      }
    }
    if (!batch.has_room(EMIT_SLACK) && (!flush(false) || !live(st, acq))) return false;
  }
  if (holding) emit(held_id, held_duplicate);
  return flush(last_of_acquisition);
}

bool GvspStreamer::Impl::wait_until(std::stop_token st, std::uint64_t acq, Clock::time_point deadline) {
  util::MutexLock lock(state_mutex);
  const bool stopped = state_cv.wait_until(lock.native(), st, deadline, [&] {
    return live_acquisition.load(std::memory_order_relaxed) != acq;
  });
  return !stopped && !st.stop_requested();
}

std::uint64_t GvspStreamer::Impl::next_block_id(bool extended) {
  // One 64-bit counter for both forms; the standard form sends its low 16
  // bits and skips the values whose low 16 bits are 0.
  std::uint64_t next = last_block + 1;
  if (extended ? next == 0 : (next & 0xFFFF) == 0) ++next;
  last_block = next;
  return extended ? next : (next & 0xFFFF);
}

void GvspStreamer::Impl::remember(const FrameLayout& frame) {
  util::MutexLock lock(history_mutex);
  history[history_next] = frame;
  history_next = (history_next + 1) % history.size();
  history_size = std::min(history_size + 1, history.size());
}

// ---------------------------------------------------------------------------
// Public API

GvspStreamer::GvspStreamer(int channel, int socket_fd, std::uint64_t tick_frequency,
                           bool segmentation_offload)
    : impl_(std::make_unique<Impl>(channel, tick_frequency)) {
  impl_->gso.store(segmentation_offload);
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(socket_fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
      local.sin_family != AF_INET) {
    CORVANTIC_LOG(util::log::Level::Warn, LOG_TARGET,
                  "device socket has no IPv4 address; stream packets leave from any address",
                  util::log::field("channel", channel));
    local = sockaddr_in{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
  }
  local.sin_port = 0;
  util::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    CORVANTIC_LOG(util::log::Level::Error, LOG_TARGET, "gvsp socket failed: " + errno_text(errno),
                  util::log::field("channel", channel));
  } else if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    CORVANTIC_LOG(util::log::Level::Error, LOG_TARGET, "gvsp socket bind failed: " + errno_text(errno),
                  util::log::field("channel", channel), util::log::field("local", address_text(local)));
  } else {
    impl_->sock = std::move(fd);
  }
  try {
    impl_->sender = std::jthread([impl = impl_.get()](std::stop_token st) { impl->sender_main(st); });
  } catch (const std::system_error& e) {
    // Without its thread the streamer sends no frames; resend and fire
    // test still work from the caller's thread.
    CORVANTIC_LOG(util::log::Level::Error, LOG_TARGET,
                  std::string("gvsp sender thread failed to start: ") + e.what(),
                  util::log::field("channel", channel));
  }
}

// Not to be called from the streamer's own acquisition-finished callback:
// the sender thread cannot wait for itself to end.
GvspStreamer::~GvspStreamer() {
  impl_->sender.request_stop();
  if (impl_->sender.joinable()) impl_->sender.join();
}

void GvspStreamer::configure(const StreamConfig& config) {
  {
    util::MutexLock lock(impl_->state_mutex);
    impl_->config = config;
    ++impl_->config_version;
  }
  if (impl_->sock.valid()) apply_do_not_fragment(impl_->sock.get(), config.do_not_fragment);
  impl_->state_cv.notify_all();
}

void GvspStreamer::set_faults(const StreamFaults& faults) {
  util::MutexLock lock(impl_->state_mutex);
  impl_->faults = faults;
  ++impl_->faults_version;
}

void GvspStreamer::set_exposure_observer(std::function<void(std::uint64_t, std::uint64_t)> observer) {
  util::MutexLock lock(impl_->state_mutex);
  impl_->exposure_observer = std::move(observer);
}

void GvspStreamer::start(std::function<void()> on_finished) {
  {
    util::MutexLock lock(impl_->state_mutex);
    if (impl_->live_acquisition.load(std::memory_order_relaxed) != 0) {
      CORVANTIC_LOG(util::log::Level::Debug, LOG_TARGET, "acquisition already running; start ignored",
                    util::log::field("channel", impl_->channel));
      return;
    }
    impl_->on_finished = std::move(on_finished);
    impl_->start_config = impl_->config;
    impl_->start_config_version = impl_->config_version;
    impl_->live_acquisition.store(++impl_->acquisition_seq, std::memory_order_release);
  }
  impl_->state_cv.notify_all();
}

void GvspStreamer::stop() {
  util::MutexLock lock(impl_->state_mutex);
  const std::uint64_t acq = impl_->live_acquisition.load(std::memory_order_relaxed);
  if (acq == 0) return;
  impl_->live_acquisition.store(0, std::memory_order_release);
  impl_->on_finished = nullptr;
  impl_->state_cv.notify_all();
  // Called from the acquisition-finished callback: the sender is not inside
  // a frame, and waiting for itself would never end.
  if (std::this_thread::get_id() == impl_->sender.get_id()) return;
  // Once this returns no packet of the stopped acquisition leaves any more.
  impl_->state_cv.wait(lock.native(),
                       [&]() REQUIRES(impl_->state_mutex) { return impl_->active_acquisition != acq; });
}

bool GvspStreamer::sending_final_frame() const { return impl_->final_frame.load(); }

bool GvspStreamer::running() const { return impl_->live_acquisition.load(std::memory_order_acquire) != 0; }

void GvspStreamer::fire_test(std::uint32_t ip_datagram_size) {
  sockaddr_in dest{};
  std::uint32_t path_mtu = 0;
  {
    util::MutexLock lock(impl_->state_mutex);
    dest = normalised(impl_->config.destination);
    path_mtu = impl_->config.path_mtu;
    if (impl_->faults.fire_test_limit != 0) {
      ip_datagram_size = std::min(ip_datagram_size, impl_->faults.fire_test_limit);
    }
  }
  if (ip_datagram_size < IP_UDP_OVERHEAD || ip_datagram_size > IP_UDP_OVERHEAD + MAX_UDP_PAYLOAD ||
      ip_datagram_size > path_mtu || !destination_set(dest) || !impl_->sock.valid()) {
    CORVANTIC_LOG(util::log::Level::Debug, LOG_TARGET, "fire test packet not sent",
                  util::log::field("channel", impl_->channel), util::log::field("size", ip_datagram_size),
                  util::log::field("path_mtu", path_mtu));
    return;
  }
  // A test packet: an all-zero GVSP header (block 0, format 0: no frame's
  // packet) followed by zeros, sized so that IP + UDP + payload is exactly
  // the requested size.
  std::vector<std::uint8_t> payload(ip_datagram_size - IP_UDP_OVERHEAD, 0);
  ssize_t r = 0;
  do {
    r = ::sendto(impl_->sock.get(), payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&dest),
                 sizeof dest);
  } while (r < 0 && errno == EINTR);
  if (r < 0 && errno == EMSGSIZE) {
    CORVANTIC_LOG(util::log::Level::Debug, LOG_TARGET, "fire test packet too big for the path",
                  util::log::field("channel", impl_->channel), util::log::field("size", ip_datagram_size));
  } else if (r < 0) {
    impl_->warn_send_failure(errno, dest);
  }
}

void GvspStreamer::resend(std::uint64_t block_id, std::uint32_t first_packet, std::uint32_t last_packet) {
  if (first_packet > last_packet) {
    CORVANTIC_LOG(util::log::Level::Debug, LOG_TARGET, "resend request with first > last ignored",
                  util::log::field("channel", impl_->channel), util::log::field("block_id", block_id),
                  util::log::field("first", first_packet), util::log::field("last", last_packet));
    return;
  }
  sockaddr_in dest{};
  PathLimit path;
  bool extended_now = false;
  {
    util::MutexLock lock(impl_->state_mutex);
    dest = impl_->config.destination;
    path = PathLimit{impl_->config.path_mtu, impl_->config.do_not_fragment};
    extended_now = impl_->config.extended_ids;
  }
  if (!destination_set(dest)) return;  // nowhere to answer

  util::MutexLock lock(impl_->history_mutex);
  const FrameLayout* frame = nullptr;
  for (std::size_t age = 1; age <= impl_->history_size && frame == nullptr; ++age) {
    const auto& candidate =
        impl_->history[(impl_->history_next + impl_->history.size() - age) % impl_->history.size()];
    if (candidate.block_id == block_id) frame = &candidate;
  }

  PacketBatch& batch = impl_->resend_batch;
  batch.set_destination(dest);
  batch.clear();
  auto flush = [&]() REQUIRES(impl_->history_mutex) -> std::size_t {
    const std::size_t sent = impl_->send(batch, 0, batch.count());
    batch.clear();
    return sent;
  };

  // Ids first..last that the frame has are rebuilt and sent as they were
  // first sent (without faults); the ids it does not have come after.
  std::uint64_t unavailable_first = first_packet;
  if (frame != nullptr) {
    batch.reserve(max_packet_bytes(*frame));
    const std::uint32_t last_available = std::min(last_packet, frame->trailer_id());
    std::size_t resent = 0;
    for (std::uint64_t id = first_packet; id <= last_available; ++id) {
      const std::size_t length = build_packet(*frame, static_cast<std::uint32_t>(id), batch.next_slot());
      if (path.carries(length)) batch.push(length);
      if (!batch.has_room(1)) resent += flush();
    }
    resent += flush();
    impl_->packets_resent.fetch_add(resent, std::memory_order_relaxed);
    unavailable_first = std::max<std::uint64_t>(first_packet, std::uint64_t{frame->trailer_id()} + 1);
  }
  if (unavailable_first > last_packet) return;

  // The rest is counted in full but answered for at most
  // GVSP_MAX_UNAVAILABLE_ANSWERS ids, so any range costs bounded work.
  const std::uint64_t unavailable = std::uint64_t{last_packet} - unavailable_first + 1;
  impl_->resend_unavailable.fetch_add(unavailable, std::memory_order_relaxed);
  CORVANTIC_LOG(util::log::Level::Trace, LOG_TARGET, "resend of packets no longer available",
                util::log::field("channel", impl_->channel), util::log::field("block_id", block_id),
                util::log::field("first", unavailable_first), util::log::field("last", last_packet));
  const bool extended = frame != nullptr ? frame->extended : (extended_now || block_id > 0xFFFF);
  batch.reserve(GVSP_EXTENDED_HEADER_SIZE);
  const std::uint64_t answers = std::min<std::uint64_t>(unavailable, GVSP_MAX_UNAVAILABLE_ANSWERS);
  for (std::uint64_t k = 0; k < answers; ++k) {
    batch.push(build_error_packet(batch.next_slot(), extended, GVSP_STATUS_PACKET_UNAVAILABLE, block_id,
                                  static_cast<std::uint32_t>(unavailable_first + k)));
    if (!batch.has_room(1)) flush();
  }
  flush();
}

StreamCounters GvspStreamer::counters() const {
  StreamCounters c;
  c.frames_sent = impl_->frames_sent.load(std::memory_order_relaxed);
  c.packets_sent = impl_->packets_sent.load(std::memory_order_relaxed);
  c.packets_resent = impl_->packets_resent.load(std::memory_order_relaxed);
  c.resend_unavailable = impl_->resend_unavailable.load(std::memory_order_relaxed);
  c.packets_refused = impl_->packets_refused.load(std::memory_order_relaxed);
  return c;
}

std::uint64_t GvspStreamer::timestamp() const { return impl_->ticks_now(); }

std::uint8_t GvspStreamer::pattern_byte(std::uint32_t test_pattern, std::uint64_t block_id,
                                        std::uint64_t index) {
  return gvsp_pattern_byte(test_pattern, block_id, index);
}

}  // namespace corvantic::sim
