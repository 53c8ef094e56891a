// Chunk delivery: what chunk mode costs the stream worker per frame, with
// nobody reading the chunks, against the same frames without chunk mode,
// measured side by side in one run; and the allocations per frame of each.
//
// The frames are the virtual camera's own packets (sim/gvsp_packet.hpp),
// 640 x 480 Mono8 in the extended header form at 9000-byte packets, every
// chunk enabled in chunk mode (payload type 0x4001, the image and eleven
// chunks), none without it (payload type 1, the image alone). They are fed
// to one GvspWorkerLoop in this thread, without a socket, so the figure is
// the worker's own work: placing the packets, closing and delivering the
// frame, and in chunk mode parsing its layout. A frame is dropped as soon as
// it is delivered; only the third mode below pairs it with the reader of the
// description's chunk features.
//
// Rounds alternate the two modes, each going first in every other round;
// the figure is the fastest round's ns per frame (on a shared machine the
// slower rounds measure the other processes; the median is shown too).
// Allocations are
// counted by a replaced global operator new over the measured frames (after
// a warm-up in which every pool buffer has held a frame of each mode). A
// third line, for information, reads every chunk value of every frame (the
// cost a reader of frame.chunks pays).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "genicam/buffer_features.hpp"
#include "genicam/frame_chunks.hpp"
#include "gige/stream/gvsp_worker_loop.hpp"
#include "sim/description.hpp"
#include "sim/gvsp_packet.hpp"
#include "util/bytes.hpp"

namespace {
std::atomic<std::uint64_t> g_news{0};

void* allocate(std::size_t size) {
  g_news.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace corvantic;
using Clock = std::chrono::steady_clock;
using gige::stream::GvspWorkerLoop;

constexpr int ROUNDS = 61;
constexpr int FRAMES_PER_ROUND = 100;
constexpr std::size_t N_BUFFERS = 8;
const net::SocketAddress DEVICE = net::SocketAddress::ipv4(0x7F000062, 3956);

class NoResend final : public gige::stream::ResendSender {
 public:
  net::SysResult<void> send(std::span<const std::uint8_t>) override { return {}; }
};

// The packets of one frame, each at a 16 KiB boundary of one arena, so
// that both modes' packets sit alike against the frame buffers (copies
// whose source and destination alias in the cache differ in speed by
// several times, which would swamp the figure).
class FramePackets {
 public:
  explicit FramePackets(bool chunk_mode) {
    sim::FrameLayout layout;
    layout.extended = true;
    layout.packet_size = 9000;
    layout.pixel_format = 0x01080001;
    layout.width = 640;
    layout.height = 480;
    layout.chunk_mode = chunk_mode;
    layout.chunks = chunk_mode ? sim::ALL_CHUNKS : 0;
    const auto planned = sim::plan_frame(layout);
    if (!planned || sim::max_packet_bytes(*planned) > SLOT) {
      std::fprintf(stderr, "frame cannot be planned\n");
      std::exit(1);
    }
    arena_.assign((planned->packet_count() + 1) * SLOT, 0);
    auto* base = arena_.data() + (SLOT - reinterpret_cast<std::uintptr_t>(arena_.data()) % SLOT) % SLOT;
    for (std::uint32_t id = 0; id < planned->packet_count(); ++id) {
      std::uint8_t* at = base + std::size_t{id} * SLOT;
      packets_.emplace_back(at, sim::build_packet(*planned, id, at));
    }
  }
  [[nodiscard]] std::span<const std::span<std::uint8_t>> packets() const { return packets_; }

 private:
  static constexpr std::size_t SLOT = 16384;
  std::vector<std::uint8_t> arena_;
  std::vector<std::span<std::uint8_t>> packets_;
};

struct Mode {
  const char* name;
  bool chunk_mode;
  bool read_chunks;
};

// One worker loop and its one subscription, fed frames of either mode: the
// frame buffers are the same for both.
class Stream {
 public:
  explicit Stream(std::shared_ptr<const genicam::BufferFeatureReader> reader)
      : reader_(std::move(reader)),
        pool_(gige::stream::BufferPool::create(N_BUFFERS, PAYLOAD_SIZE)),
        loop_(gige::stream::GvspWorkerSettings{.device = DEVICE,
                                               .payload_size = PAYLOAD_SIZE,
                                               .packet_size = 9000,
                                               .tick_frequency = 1'000'000'000,
                                               .resend_enabled = false},
              pool_, std::make_shared<gige::stream::SharedStreamStats>(), registrations_,
              std::make_unique<NoResend>(), [] { return std::uint64_t{1}; }) {
    auto ends = gige::stream::make_subscription(N_BUFFERS);
    registrations_->send(gige::stream::Registration{std::move(ends.sender)});
    receiver_.emplace(std::move(ends.receiver));
  }

  // Feeds `count` frames of `mode`; returns how many arrived Complete.
  int feed(const Mode& mode, int count) {
    const FramePackets& frame_packets = mode.chunk_mode ? chunk_packets_ : plain_packets_;
    int complete = 0;
    for (int i = 0; i < count; ++i) {
      const std::uint64_t block = ++block_;
      for (const auto packet : frame_packets.packets()) {
        util::store_be64(packet.data() + 8, block);
        now_ += std::chrono::microseconds(1);
        loop_.handle_datagram(DEVICE.with_port(20202), packet, now_);
      }
      while (auto frame = receiver_->try_receive()) {
        complete += frame->is_complete() ? 1 : 0;
        if (mode.read_chunks) read_all(genicam::FrameWithChunks(std::move(*frame), reader_));
      }
    }
    return complete;
  }

 private:
  static constexpr std::uint64_t PAYLOAD_SIZE = 640 * 480 + sim::MAX_CHUNK_DATA;

  static void read_all(const genicam::FrameWithChunks& frame) {
    for (const auto& name : genicam::chunk_feature_names(frame)) {
      if (!genicam::read_chunk_feature(frame, name)) {
        std::fprintf(stderr, "chunk %s did not read\n", name.c_str());
        std::exit(1);
      }
    }
  }

  std::shared_ptr<const genicam::BufferFeatureReader> reader_;
  FramePackets plain_packets_{false};
  FramePackets chunk_packets_{true};
  std::shared_ptr<gige::stream::BufferPool> pool_;
  std::shared_ptr<gige::stream::RegistrationQueue> registrations_ =
      std::make_shared<gige::stream::RegistrationQueue>(net::Waker{});
  GvspWorkerLoop loop_;
  std::optional<gige::stream::FrameReceiver> receiver_;
  std::uint64_t block_ = 0;
  GvspWorkerLoop::Clock::time_point now_ = GvspWorkerLoop::Clock::time_point{} + std::chrono::hours(1);
};

struct Figures {
  std::vector<double> ns_per_frame;
  std::uint64_t allocations = 0;
  std::uint64_t frames = 0;
  [[nodiscard]] double fastest() const { return *std::min_element(ns_per_frame.begin(), ns_per_frame.end()); }
  [[nodiscard]] double median() const {
    auto samples = ns_per_frame;
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    return samples[samples.size() / 2];
  }
};

}  // namespace

int main() {
  auto model = genicam::build_feature_model(sim::description_xml());
  if (!model) {
    std::fprintf(stderr, "description: %s\n", model.error().display().c_str());
    return 1;
  }
  const auto reader = std::make_shared<const genicam::BufferFeatureReader>(std::move(*model));
  const Mode modes[] = {{"chunk mode off", false, false},
                        {"chunk mode on, chunks unread", true, false},
                        {"chunk mode on, every chunk read", true, true}};
  Stream stream(reader);
  // Warm-up: every pool buffer holds a frame of each mode, the lists grow.
  for (const Mode& mode : modes) {
    if (stream.feed(mode, 4 * static_cast<int>(N_BUFFERS)) != 4 * static_cast<int>(N_BUFFERS)) {
      std::fprintf(stderr, "%s: warm-up frames incomplete\n", mode.name);
      return 1;
    }
  }

  std::vector<Figures> figures(std::size(modes));
  const auto measure = [&](std::size_t m) {
    const std::uint64_t news_before = g_news.load();
    const auto start = Clock::now();
    const int complete = stream.feed(modes[m], FRAMES_PER_ROUND);
    const auto elapsed = Clock::now() - start;
    figures[m].allocations += g_news.load() - news_before;
    figures[m].frames += FRAMES_PER_ROUND;
    if (complete != FRAMES_PER_ROUND) {
      std::fprintf(stderr, "%s: %d of %d frames complete\n", modes[m].name, complete, FRAMES_PER_ROUND);
      std::exit(1);
    }
    figures[m].ns_per_frame.push_back(std::chrono::duration<double, std::nano>(elapsed).count() / FRAMES_PER_ROUND);
  };
  // The two compared modes take turns, each going first in every other
  // round; the readers' mode runs after them.
  for (int round = 0; round < ROUNDS; ++round) {
    const std::size_t first = static_cast<std::size_t>(round % 2);
    measure(first);
    measure(1 - first);
  }
  for (int round = 0; round < ROUNDS; ++round) measure(2);

  std::printf("chunk delivery: 640x480 Mono8, extended ids, 9000-byte packets, %d rounds of %d frames\n", ROUNDS,
              FRAMES_PER_ROUND);
  for (std::size_t m = 0; m < figures.size(); ++m) {
    std::printf("  %-34s %9.0f ns/frame fastest, %9.0f median  %.3f allocations/frame\n", modes[m].name,
                figures[m].fastest(), figures[m].median(),
                static_cast<double>(figures[m].allocations) / static_cast<double>(figures[m].frames));
  }
  const double off = figures[0].fastest();
  const double on = figures[1].fastest();
  std::printf("baseline (chunk mode off): %.0f ns/frame\n", off);
  std::printf("figure (chunk mode on, unread): %.0f ns/frame; added %.0f ns/frame; ratio %.3f\n", on, on - off,
              on / off);
  std::printf("allocations per frame, chunks unread: %.3f (target 0)\n",
              static_cast<double>(figures[1].allocations) / static_cast<double>(figures[1].frames));
  return 0;
}
