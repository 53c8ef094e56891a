// Feeds arbitrary datagram sequences through the stream worker's steps with
// arbitrary time steps: a small frame size, three buffers, one subscription
// that is never read and one that is read now and then. The input is a
// settings byte, then records of: an action byte, a time-step byte, a length
// byte and the datagram.
//
// An action can also deliver its datagram the way the worker thread does
// when it aimed a receive well: the payload written into the first place
// predict() names, then handed over in place.
//
// An action can also make its datagram one a well-formed device would send:
// a data packet then carries the device's bytes for its block and packet id,
// every data packet of a block the same length (rarely the planned one).
// And it can land the datagram's raw bytes in the first predicted place
// before handing it over whole, as a receive aimed at the wrong packet does.
//
// Checked: every opened frame closes exactly once, the counters add up, the
// resend requests are well-formed and add up to resend_requests, no frame's
// packet list outgrows the bound, predicted places are disjoint and no
// larger than a frame, every buffer returns to the pool, a frame reported
// Complete whose data packets all came from the well-formed device holds
// exactly that device's bytes, and such a frame that failed shows zeros
// where no packet was placed.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "gige/proto/gvcp.hpp"
#include "gige/proto/gvsp.hpp"
#include "gige/stream/gvsp_worker_loop.hpp"
#include "util/bytes.hpp"

using namespace corvantic;
using namespace corvantic::gige::stream;
using corvantic::util::ByteReader;
using corvantic::util::load_be16;
using corvantic::util::load_be32;

namespace {

constexpr std::uint64_t PAYLOAD = 600;
constexpr std::size_t N_BUFFERS = 3;
const net::SocketAddress DEVICE = net::SocketAddress::ipv4(0x7F000002, 3956);
const net::SocketAddress OTHER_HOST = net::SocketAddress::ipv4(0x7F000003, 3956);

struct Requests {
  std::uint64_t packets = 0;  // sum of the requested ranges
};

class CountingSender final : public ResendSender {
 public:
  explicit CountingSender(std::shared_ptr<Requests> requests) : requests_(std::move(requests)) {}
  net::SysResult<void> send(std::span<const std::uint8_t> d) override {
    if (d.size() != 20 && d.size() != 28) __builtin_trap();
    if (d[0] != 0x42 || load_be16(d.data() + 2) != gige::proto::GVCP_PACKETRESEND) __builtin_trap();
    const std::uint32_t first = load_be32(d.data() + 12);
    const std::uint32_t last = load_be32(d.data() + 16);
    if (first > last) __builtin_trap();
    const std::uint16_t id = load_be16(d.data() + 6);
    if (id < GvspWorkerLoop::FIRST_RESEND_REQUEST_ID) __builtin_trap();
    requests_->packets += std::uint64_t{last} - first + 1;
    return {};
  }

 private:
  std::shared_ptr<Requests> requests_;
};

// The well-formed device: data packet `id` of block `block` carries
// device_byte(block, id, j) for j < device_length(block).
std::uint8_t device_byte(std::uint64_t block, std::uint32_t id, std::size_t j) {
  return static_cast<std::uint8_t>(block * 131 + id * 31 + j * 7 + 1);
}
std::size_t device_length(std::uint64_t block) { return gige::proto::MIN_DATA_BYTES_PER_PACKET + block % 97; }

// `datagram` as the well-formed device sends it, built in `scratch` when it
// is a data packet.
std::span<const std::uint8_t> as_device(std::span<const std::uint8_t> datagram, std::vector<std::uint8_t>& scratch) {
  const auto header = gige::proto::parse_header(datagram);
  if (!header || header->is_error() || header->format != gige::proto::GVSP_FORMAT_DATA) return datagram;
  scratch.assign(datagram.begin(), datagram.end() - static_cast<std::ptrdiff_t>(header->payload.size()));
  for (std::size_t j = 0; j < device_length(header->block_id); ++j) {
    scratch.push_back(device_byte(header->block_id, header->packet_id, j));
  }
  return scratch;
}

// A data packet from the device that the well-formed device did not write.
bool taints(std::span<const std::uint8_t> datagram) {
  const auto header = gige::proto::parse_header(datagram);
  return header && !header->is_error() && header->format == gige::proto::GVSP_FORMAT_DATA;
}

// The bytes of a frame of the well-formed device (block not in `tainted`):
// all of them when Complete, zeros in the places of missing packets when not.
void check_bytes(const Frame& frame, const std::set<std::uint64_t>& tainted) {
  const std::uint64_t block = frame.frame_id();
  const auto& packets = frame.buffer().packets();
  if (tainted.contains(block) || packets.size() < 3 || !packets[1].placed) return;
  const std::size_t length = device_length(block);
  const auto data = frame.data();
  for (std::uint32_t id = 1; id + 1 < packets.size(); ++id) {
    const std::size_t offset = (id - 1) * length;
    if (offset >= data.size()) break;
    const std::size_t n = std::min(length, data.size() - offset);
    for (std::size_t j = 0; j < n; ++j) {
      if (frame.is_complete() && data[offset + j] != device_byte(block, id, j)) __builtin_trap();
      if (!frame.is_complete() && !packets[id].placed && data[offset + j] != 0) __builtin_trap();
    }
  }
}

// The chunks of a frame with chunk data cover its bytes from the start
// (all of them, or as many as its trailer's chunk data length names), each
// followed by its tag, and its image is the first; frames without chunk data
// (any not Complete among them) show none and all their bytes as image.
void check_chunks(const Frame& frame) {
  const auto chunks = frame.chunks();
  if (chunks.empty()) {
    if (frame.image().data() != frame.data().data() || frame.image().size() != frame.data().size()) __builtin_trap();
    return;
  }
  if (!frame.is_complete()) __builtin_trap();
  std::size_t next = 0;
  for (const auto& chunk : chunks) {
    if (chunk.offset != next) __builtin_trap();
    next = chunk.offset + chunk.length + gige::proto::CHUNK_TAG_SIZE;
  }
  if (next > frame.data().size()) __builtin_trap();
  if (frame.image().size() != chunks.front().length || frame.image().data() != frame.data().data()) __builtin_trap();
}

void check_frames(const std::vector<Frame>& frames, const std::set<std::uint64_t>& tainted) {
  for (const Frame& frame : frames) {
    if (frame.buffer().packets().size() > gige::proto::max_packet_count(PAYLOAD)) __builtin_trap();
    if (frame.data().size() > PAYLOAD) __builtin_trap();
    check_bytes(frame, tainted);
    check_chunks(frame);
  }
}

// The first predicted place, checking that all predicted places are
// disjoint and no larger than a frame; nothing when none is predicted.
std::optional<GvspWorkerLoop::PacketTarget> first_target(GvspWorkerLoop& loop) {
  std::array<GvspWorkerLoop::PacketTarget, 8> targets{};
  const std::size_t count = loop.predict(targets);
  for (std::size_t i = 0; i < count; ++i) {
    if (targets[i].region.empty() || targets[i].region.size() > PAYLOAD) __builtin_trap();
    for (std::size_t j = 0; j < i; ++j) {
      const auto& a = targets[i].region;
      const auto& b = targets[j].region;
      if (a.data() < b.data() + b.size() && b.data() < a.data() + a.size()) __builtin_trap();
    }
  }
  if (count == 0) return std::nullopt;
  return targets[0];
}

// Writes the payload of `datagram` where the first prediction puts it and
// hands it over in place, as the worker thread does for a receive it aimed
// right; false when the datagram is not that packet.
bool deliver_in_place(GvspWorkerLoop& loop, std::span<const std::uint8_t> datagram,
                      GvspWorkerLoop::Clock::time_point now) {
  const auto target = first_target(loop);
  if (!target) return false;
  auto header = gige::proto::parse_header(datagram);
  if (!header || header->is_error() || header->format != gige::proto::GVSP_FORMAT_DATA ||
      header->extended != target->extended || header->block_id != target->block_id ||
      header->packet_id != target->packet_id || header->payload.empty() ||
      header->payload.size() > target->region.size()) {
    return false;
  }
  std::memcpy(target->region.data(), header->payload.data(), header->payload.size());
  header->payload = target->region.first(header->payload.size());
  loop.handle_received(*header, datagram.size(), now);
  return true;
}

// A receive aimed at the first predicted place that brought another
// datagram: its bytes stay there, and the datagram is then handled whole.
void land_stray(GvspWorkerLoop& loop, std::span<const std::uint8_t> datagram) {
  const auto target = first_target(loop);
  if (!target) return;
  std::memcpy(target->region.data(), datagram.data(), std::min(datagram.size(), target->region.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteReader input({data, size});
  const auto settings_byte = input.u8();
  if (!settings_byte) return 0;

  auto pool = BufferPool::create(N_BUFFERS, PAYLOAD);
  auto shared = std::make_shared<SharedStreamStats>();
  auto registrations = std::make_shared<RegistrationQueue>(net::Waker{});
  auto requests = std::make_shared<Requests>();
  GvspWorkerSettings settings{.device = DEVICE,
                              .payload_size = PAYLOAD,
                              .packet_size = static_cast<std::uint16_t>(100 + (*settings_byte & 0x7F)),
                              .tick_frequency = *settings_byte,
                              .resend_enabled = (*settings_byte & 0x80) == 0};
  GvspWorkerLoop loop(settings, pool, shared, registrations, std::make_unique<CountingSender>(requests),
                      [] { return std::uint64_t{1'700'000'000} * 1'000'000'000; });

  auto never_read = make_subscription(1);
  auto reader = make_subscription(2);
  registrations->send(Registration{std::move(never_read.sender)});
  registrations->send(Registration{std::move(reader.sender)});

  auto now = GvspWorkerLoop::Clock::time_point{} + std::chrono::hours(1);
  std::uint64_t accepted = 0;
  std::uint64_t accepted_bytes = 0;
  std::set<std::uint64_t> tainted;  // blocks with data the well-formed device did not send
  std::vector<std::uint8_t> scratch;
  while (input.remaining() > 0) {
    const auto action = input.u8();
    const auto step = input.u8();
    const auto length = input.u8();
    if (!action || !step || !length) break;
    const auto raw = input.bytes(std::min<std::size_t>(*length, input.remaining()));
    if (!raw) break;

    // Steps of 50 us up to 6.35 ms, or of 1 ms up to 127 ms.
    now += (*step & 0x80) ? std::chrono::microseconds(1000 * (*step & 0x7F))
                          : std::chrono::microseconds(50 * *step);
    const bool from_device = (*action & 0x08) == 0;
    const bool well_formed = (*action & 0x40) != 0;
    const std::span<const std::uint8_t> datagram = well_formed ? as_device(*raw, scratch) : *raw;
    if (from_device && !well_formed && taints(datagram)) tainted.insert(gige::proto::parse_header(datagram)->block_id);
    const bool in_place = from_device && (*action & 0x20) && deliver_in_place(loop, datagram, now);
    if (!in_place) {
      if (*action & 0x80) land_stray(loop, datagram);
      loop.handle_datagram(from_device ? DEVICE.with_port(*action) : OTHER_HOST, datagram, now);
    }
    if (from_device) {
      accepted += 1;
      accepted_bytes += datagram.size();
    }
    if ((*action & 0x03) == 0) loop.sweep(now, std::nullopt);
    if (*action & 0x04) {
      const auto frames = reader.receiver.take_all();
      check_frames(frames, tainted);
    }
    if (*action & 0x10) loop.publish();
    if (loop.open_frames() > N_BUFFERS) __builtin_trap();
  }
  loop.shut_down();

  const StreamStats& s = loop.stats();
  if (s.completed_frames + s.failed_frames + s.aborted_frames != loop.frames_opened()) __builtin_trap();
  if (s.timed_out_frames > s.failed_frames) __builtin_trap();
  if (loop.chunk_layout_errors() > s.failed_frames) __builtin_trap();
  if (shared->chunk_layout_errors() != loop.chunk_layout_errors()) __builtin_trap();
  if (s.packets != accepted || s.bytes != accepted_bytes) __builtin_trap();
  if (s.resend_requests != requests->packets) __builtin_trap();
  if (s.resent_packets > s.resend_requests) __builtin_trap();
  if (!(shared->snapshot() == s)) __builtin_trap();
  if (!settings.resend_enabled && s.resend_requests != 0) __builtin_trap();

  check_frames(reader.receiver.take_all(), tainted);
  if (!reader.receiver.ended()) __builtin_trap();
  never_read.receiver.discard_all();
  if (pool->free_count() != N_BUFFERS) __builtin_trap();
  return 0;
}
