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
// Checked: every opened frame closes exactly once, the counters add up, the
// resend requests are well-formed and add up to resend_requests, no frame's
// packet list outgrows the bound, predicted places are disjoint and no
// larger than a frame, and every buffer returns to the pool.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
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

void check_frames(const std::vector<Frame>& frames) {
  for (const Frame& frame : frames) {
    if (frame.buffer().packets().size() > gige::proto::max_packet_count(PAYLOAD)) __builtin_trap();
    if (frame.data().size() > PAYLOAD) __builtin_trap();
  }
}

// Writes the payload of `datagram` where the first prediction puts it and
// hands it over in place, as the worker thread does for a receive it aimed
// right; false when the datagram is not that packet.
bool deliver_in_place(GvspWorkerLoop& loop, std::span<const std::uint8_t> datagram,
                      GvspWorkerLoop::Clock::time_point now) {
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
  if (count == 0) return false;
  auto header = gige::proto::parse_header(datagram);
  const auto& target = targets[0];
  if (!header || header->is_error() || header->format != gige::proto::GVSP_FORMAT_DATA ||
      header->extended != target.extended || header->block_id != target.block_id ||
      header->packet_id != target.packet_id || header->payload.empty() ||
      header->payload.size() > target.region.size()) {
    return false;
  }
  std::memcpy(target.region.data(), header->payload.data(), header->payload.size());
  header->payload = target.region.first(header->payload.size());
  loop.handle_received(*header, datagram.size(), now);
  return true;
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
  while (input.remaining() > 0) {
    const auto action = input.u8();
    const auto step = input.u8();
    const auto length = input.u8();
    if (!action || !step || !length) break;
    const auto datagram = input.bytes(std::min<std::size_t>(*length, input.remaining()));
    if (!datagram) break;

    // Steps of 50 us up to 6.35 ms, or of 1 ms up to 127 ms.
    now += (*step & 0x80) ? std::chrono::microseconds(1000 * (*step & 0x7F))
                          : std::chrono::microseconds(50 * *step);
    const bool from_device = (*action & 0x08) == 0;
    const bool in_place = from_device && (*action & 0x20) && deliver_in_place(loop, *datagram, now);
    if (!in_place) loop.handle_datagram(from_device ? DEVICE.with_port(*action) : OTHER_HOST, *datagram, now);
    if (from_device) {
      accepted += 1;
      accepted_bytes += datagram->size();
    }
    if ((*action & 0x03) == 0) loop.sweep(now, std::nullopt);
    if (*action & 0x04) {
      const auto frames = reader.receiver.take_all();
      check_frames(frames);
    }
    if (*action & 0x10) loop.publish();
    if (loop.open_frames() > N_BUFFERS) __builtin_trap();
  }
  loop.shut_down();

  const StreamStats& s = loop.stats();
  if (s.completed_frames + s.failed_frames + s.aborted_frames != loop.frames_opened()) __builtin_trap();
  if (s.timed_out_frames > s.failed_frames) __builtin_trap();
  if (s.packets != accepted || s.bytes != accepted_bytes) __builtin_trap();
  if (s.resend_requests != requests->packets) __builtin_trap();
  if (s.resent_packets > s.resend_requests) __builtin_trap();
  if (!(shared->snapshot() == s)) __builtin_trap();
  if (!settings.resend_enabled && s.resend_requests != 0) __builtin_trap();

  check_frames(reader.receiver.take_all());
  if (!reader.receiver.ended()) __builtin_trap();
  never_read.receiver.discard_all();
  if (pool->free_count() != N_BUFFERS) __builtin_trap();
  return 0;
}
