#include "sim/gvsp_streamer.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim/gvsp_packet.hpp"
#include "test_address.hpp"
#include "util/mutex.hpp"

namespace corvantic::sim {
namespace {

using namespace std::chrono_literals;

// Only a broken streamer makes a test wait this long.
constexpr int RECEIVE_TIMEOUT_MS = 5000;
// Silence after which everything that was sent has arrived.
constexpr int QUIET_MS = 300;
constexpr std::uint64_t TICK_FREQUENCY = 125'000'000;

// ---------------------------------------------------------------------------
// Sockets

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  [[nodiscard]] int get() const { return fd_; }

 private:
  int fd_;
};

sockaddr_in address_of(const char* ip, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

int bound_socket(const char* ip) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const sockaddr_in a = address_of(ip, 0);
  if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    ADD_FAILURE() << "cannot bind a UDP socket to " << ip << ": " << std::strerror(errno);
  }
  return fd;
}

sockaddr_in local_address(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return a;
}

struct Datagram {
  std::vector<std::uint8_t> bytes;
  sockaddr_in from{};
};

// The host end: a UDP socket on 127.0.0.1.
class Receiver {
 public:
  Receiver() : fd_(bound_socket("127.0.0.1")) {
    const int size = 4 << 20;
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  [[nodiscard]] sockaddr_in address() const { return local_address(fd_.get()); }

  std::optional<Datagram> receive(int timeout_ms = RECEIVE_TIMEOUT_MS) {
    pollfd p{fd_.get(), POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return std::nullopt;
    Datagram d;
    d.bytes.resize(65536);
    socklen_t len = sizeof d.from;
    const ssize_t n = ::recvfrom(fd_.get(), d.bytes.data(), d.bytes.size(), 0,
                                 reinterpret_cast<sockaddr*>(&d.from), &len);
    if (n < 0) return std::nullopt;
    d.bytes.resize(static_cast<std::size_t>(n));
    return d;
  }
  // Exactly `count` datagrams, each within the receive time-out.
  std::vector<Datagram> receive_n(std::size_t count) {
    std::vector<Datagram> out;
    while (out.size() < count) {
      auto d = receive();
      if (!d) {
        ADD_FAILURE() << "received " << out.size() << " of " << count << " datagrams";
        break;
      }
      out.push_back(std::move(*d));
    }
    return out;
  }
  // Everything until QUIET_MS of silence.
  std::vector<Datagram> drain(int quiet_ms = QUIET_MS) {
    std::vector<Datagram> out;
    while (auto d = receive(quiet_ms)) out.push_back(std::move(*d));
    return out;
  }

 private:
  Fd fd_;
};

// ---------------------------------------------------------------------------
// The host's reading of GVSP packets, written from the wire layout.

struct Packet {
  std::uint16_t status = 0;
  std::uint64_t block_id = 0;
  std::uint8_t format = 0;
  std::uint32_t packet_id = 0;
  bool extended = false;
  std::size_t header_size = 0;
  std::size_t size = 0;  // UDP payload bytes
  std::vector<std::uint8_t> payload;
};

std::uint64_t be(const std::vector<std::uint8_t>& b, std::size_t at, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v = (v << 8) | b.at(at + i);
  return v;
}

Packet parse(const Datagram& d) {
  const auto& b = d.bytes;
  Packet p;
  p.size = b.size();
  if (b.size() < 8) {
    ADD_FAILURE() << "datagram of " << b.size() << " bytes";
    return p;
  }
  p.status = static_cast<std::uint16_t>(be(b, 0, 2));
  p.extended = (b[4] & 0x80) != 0;
  p.format = b[4] & 0x7F;
  if (p.extended) {
    EXPECT_GE(b.size(), 20u);
    EXPECT_EQ(be(b, 2, 2), 0u) << "reserved bytes 2-3";
    EXPECT_EQ(be(b, 5, 3), 0u) << "reserved bytes 5-7";
    p.block_id = be(b, 8, 8);
    p.packet_id = static_cast<std::uint32_t>(be(b, 16, 4));
    p.header_size = 20;
  } else {
    p.block_id = be(b, 2, 2);
    p.packet_id = static_cast<std::uint32_t>(be(b, 5, 3));
    p.header_size = 8;
  }
  p.payload.assign(b.begin() + static_cast<std::ptrdiff_t>(std::min(p.header_size, b.size())), b.end());
  return p;
}

std::vector<Packet> parse_all(const std::vector<Datagram>& ds) {
  std::vector<Packet> out;
  for (const auto& d : ds) out.push_back(parse(d));
  return out;
}

// What a frame of `cfg` must look like on the wire.
struct Expected {
  std::uint64_t payload_size;
  std::uint32_t bytes_per_packet;
  std::uint32_t data_packets;
  [[nodiscard]] std::uint32_t packet_count() const { return data_packets + 2; }
};

Expected expected_layout(const StreamConfig& cfg) {
  std::uint64_t bytes_per_pixel = 0;
  switch (cfg.pixel_format) {
    case PIXEL_MONO8: bytes_per_pixel = 1; break;
    case PIXEL_MONO16: bytes_per_pixel = 2; break;
    case PIXEL_RGB8: bytes_per_pixel = 3; break;
    default: ADD_FAILURE() << "no expectation for pixel format " << cfg.pixel_format;
  }
  Expected e{};
  e.payload_size = std::uint64_t{cfg.width} * cfg.height * bytes_per_pixel;
  e.bytes_per_packet = cfg.packet_size - (cfg.extended_ids ? 48u : 36u);
  e.data_packets = static_cast<std::uint32_t>((e.payload_size + e.bytes_per_packet - 1) / e.bytes_per_packet);
  return e;
}

// Checks one whole frame received without faults (packets in id order):
// header form, leader fields, packet sizes, trailer, and every payload byte
// against the pattern. Returns the leader timestamp.
std::uint64_t expect_frame(const std::vector<Packet>& packets, const StreamConfig& cfg,
                           std::uint64_t block_id) {
  const Expected e = expected_layout(cfg);
  EXPECT_EQ(packets.size(), e.packet_count());
  if (packets.size() != e.packet_count()) return 0;
  std::vector<std::uint8_t> image;
  for (std::uint32_t i = 0; i < packets.size(); ++i) {
    const Packet& p = packets[i];
    SCOPED_TRACE("packet " + std::to_string(i));
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.extended, cfg.extended_ids);
    EXPECT_EQ(p.block_id, block_id);
    EXPECT_EQ(p.packet_id, i);
    if (i == 0) {
      EXPECT_EQ(p.format, 1);
    } else if (i + 1 == packets.size()) {
      EXPECT_EQ(p.format, 2);
    } else {
      EXPECT_EQ(p.format, 3);
      const std::uint64_t offset = std::uint64_t{i - 1} * e.bytes_per_packet;
      const std::uint64_t length = std::min<std::uint64_t>(e.bytes_per_packet, e.payload_size - offset);
      EXPECT_EQ(p.payload.size(), length);
      if (i < e.data_packets) {
        EXPECT_EQ(p.size + 28, cfg.packet_size) << "every data packet but the last fills SCPS";
      }
      image.insert(image.end(), p.payload.begin(), p.payload.end());
    }
  }
  // Leader: reserved, payload type, timestamp, pixel format, size, offsets, padding.
  const Packet& leader = packets.front();
  EXPECT_EQ(leader.payload.size(), 36u);
  std::uint64_t timestamp = 0;
  if (leader.payload.size() == 36) {
    const auto& l = leader.payload;
    EXPECT_EQ(be(l, 0, 2), 0u);
    EXPECT_EQ(be(l, 2, 2), 0x0001u);
    timestamp = be(l, 4, 8);
    EXPECT_EQ(be(l, 12, 4), cfg.pixel_format);
    EXPECT_EQ(be(l, 16, 4), cfg.width);
    EXPECT_EQ(be(l, 20, 4), cfg.height);
    EXPECT_EQ(be(l, 24, 4), cfg.offset_x);
    EXPECT_EQ(be(l, 28, 4), cfg.offset_y);
    EXPECT_EQ(be(l, 32, 2), 0u);
    EXPECT_EQ(be(l, 34, 2), 0u);
  }
  // Trailer: reserved, payload type, size_y.
  const Packet& trailer = packets.back();
  EXPECT_EQ(trailer.payload.size(), 8u);
  if (trailer.payload.size() == 8) {
    EXPECT_EQ(be(trailer.payload, 0, 2), 0u);
    EXPECT_EQ(be(trailer.payload, 2, 2), 0x0001u);
    EXPECT_EQ(be(trailer.payload, 4, 4), cfg.height);
  }
  EXPECT_EQ(image.size(), e.payload_size);
  // The payload the pattern gives for the frame; for the deterministic
  // patterns that is pattern_byte's (checked against fill_pattern below).
  std::vector<std::uint8_t> expected(image.size());
  fill_payload(frame_layout(cfg, block_id), 0, expected);
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < image.size(); ++i) {
    if (cfg.test_pattern != TEST_PATTERN_MOVING && expected[i] != GvspStreamer::pattern_byte(cfg.test_pattern, block_id, i)) {
      ADD_FAILURE() << "fill_payload and pattern_byte differ at " << i;
      break;
    }
    if (image[i] != expected[i] && wrong++ < 5) {
      ADD_FAILURE() << "payload byte " << i << " is " << int{image[i]} << ", pattern says " << int{expected[i]};
    }
  }
  EXPECT_EQ(wrong, 0u);
  return timestamp;
}

// ---------------------------------------------------------------------------
// A device end: a socket on its own loopback address and a streamer on it.

class Finished {
 public:
  std::function<void()> callback() {
    return [this] {
      util::MutexLock lock(mutex_);
      ++count_;
      cv_.notify_all();
    };
  }
  bool wait(int n = 1) {
    util::MutexLock lock(mutex_);
    return cv_.wait_for(lock.native(), std::chrono::milliseconds(RECEIVE_TIMEOUT_MS),
                        [&]() REQUIRES(mutex_) { return count_ >= n; });
  }
  int count() {
    util::MutexLock lock(mutex_);
    return count_;
  }

 private:
  util::Mutex mutex_;
  std::condition_variable cv_;
  int count_ GUARDED_BY(mutex_) = 0;
};

// The device end's address, this process's own (test_address.hpp).
const std::string DEVICE_IP = testing::next_test_address();

struct Device {
  explicit Device(const std::string& ip = DEVICE_IP)
      : fd(bound_socket(ip.c_str())), streamer(0, fd.get(), TICK_FREQUENCY) {}
  Fd fd;
  GvspStreamer streamer;
};

StreamConfig small_frame(const Receiver& host) {
  StreamConfig cfg;
  cfg.destination = host.address();
  cfg.pixel_format = PIXEL_MONO8;
  cfg.width = 100;
  cfg.height = 37;
  cfg.offset_x = 3;
  cfg.offset_y = 5;
  cfg.packet_size = 576;  // 540 data bytes: 6 full packets and one of 460
  cfg.mode = AcquisitionMode::SingleFrame;
  cfg.frame_rate = 0;
  return cfg;
}

// One frame of `cfg` sent from `device` and received by `host`.
std::vector<Packet> run_single_frame(Device& device, Receiver& host, const StreamConfig& cfg) {
  Finished finished;
  device.streamer.configure(cfg);
  device.streamer.start(finished.callback());
  auto packets = parse_all(host.receive_n(expected_layout(cfg).packet_count()));
  EXPECT_TRUE(finished.wait());
  return packets;
}

// ---------------------------------------------------------------------------
// Frames

TEST(GvspStreamer, SingleFrameCarriesEveryByteInTheStandardForm) {
  Receiver host;
  Device device;
  StreamConfig cfg = small_frame(host);
  const std::uint64_t before = device.streamer.timestamp();
  Finished finished;
  device.streamer.configure(cfg);
  device.streamer.start(finished.callback());

  const auto datagrams = host.receive_n(expected_layout(cfg).packet_count());
  for (const auto& d : datagrams) {
    EXPECT_EQ(d.from.sin_addr.s_addr, address_of(DEVICE_IP.c_str(), 0).sin_addr.s_addr)
        << "source IP is the device's";
  }
  const std::uint64_t ts = expect_frame(parse_all(datagrams), cfg, 1);
  EXPECT_TRUE(finished.wait());
  EXPECT_GE(ts, before);
  EXPECT_LE(ts, device.streamer.timestamp());
  EXPECT_FALSE(device.streamer.running());

  const auto c = device.streamer.counters();
  EXPECT_EQ(c.frames_sent, 1u);
  EXPECT_EQ(c.packets_sent, 9u);
  EXPECT_TRUE(host.drain().empty()) << "a SingleFrame acquisition sends one frame";
  EXPECT_EQ(finished.count(), 1);
}

TEST(GvspStreamer, PixelFormatsAndPatternsSizeAndFillThePayload) {
  Receiver host;
  Device device;
  struct Case {
    std::uint32_t pixel_format, test_pattern, width, height;
  };
  // Pattern 4 is the moving picture: there the payload depends on the
  // format and the geometry too.
  const Case cases[] = {{PIXEL_MONO16, 1, 33, 20}, {PIXEL_RGB8, 2, 31, 17}, {PIXEL_MONO8, 4, 1, 1},
                        {PIXEL_RGB8, 5, 64, 48},   {PIXEL_MONO8, 3, 0, 0},  {PIXEL_RGB8, 4, 31, 17},
                        {PIXEL_MONO16, 4, 64, 48}};
  std::uint64_t block = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE("pixel format " + std::to_string(c.pixel_format) + " pattern " +
                 std::to_string(c.test_pattern));
    StreamConfig cfg = small_frame(host);
    cfg.pixel_format = c.pixel_format;
    cfg.test_pattern = c.test_pattern;
    cfg.width = c.width;
    cfg.height = c.height;
    expect_frame(run_single_frame(device, host, cfg), cfg, ++block);
  }
}

TEST(GvspStreamer, ExtendedFormCarries64BitIdsAndSmallerDataPackets) {
  Receiver host;
  Device device;
  StreamConfig cfg = small_frame(host);
  cfg.extended_ids = true;
  cfg.packet_size = 600;  // 552 data bytes per packet in this form
  cfg.first_block_id = 0x123456789Aull;
  cfg.mode = AcquisitionMode::MultiFrame;
  cfg.frame_count = 2;
  Finished finished;
  device.streamer.configure(cfg);
  device.streamer.start(finished.callback());
  const std::uint32_t n = expected_layout(cfg).packet_count();
  EXPECT_EQ(n, 9u);
  const auto packets = parse_all(host.receive_n(2 * n));
  ASSERT_EQ(packets.size(), 2u * n);
  expect_frame({packets.begin(), packets.begin() + n}, cfg, 0x123456789Aull);
  expect_frame({packets.begin() + n, packets.end()}, cfg, 0x123456789Bull);
  EXPECT_TRUE(finished.wait());
}

TEST(GvspStreamer, StandardBlockIdsWrapFrom0xFFFFTo1) {
  Receiver host;
  Device device;
  StreamConfig cfg = small_frame(host);
  cfg.first_block_id = 0xFFFE;
  cfg.mode = AcquisitionMode::MultiFrame;
  cfg.frame_count = 3;
  Finished finished;
  device.streamer.configure(cfg);
  device.streamer.start(finished.callback());
  const std::uint32_t n = expected_layout(cfg).packet_count();
  const auto packets = parse_all(host.receive_n(3 * n));
  ASSERT_EQ(packets.size(), 3u * n);
  const std::uint64_t blocks[] = {0xFFFE, 0xFFFF, 1};
  for (std::size_t f = 0; f < 3; ++f) {
    SCOPED_TRACE("frame " + std::to_string(f));
    expect_frame({packets.begin() + f * n, packets.begin() + (f + 1) * n}, cfg, blocks[f]);
  }
  EXPECT_TRUE(finished.wait());

  // A first block id whose low 16 bits are 0 is skipped in this form too.
  cfg.first_block_id = 0x20000;
  cfg.mode = AcquisitionMode::SingleFrame;
  expect_frame(run_single_frame(device, host, cfg), cfg, 1);
}

TEST(GvspStreamer, MultiFrameSendsItsCountAndTheNextAcquisitionGoesOn) {
  Receiver host;
  Device device;
  StreamConfig cfg = small_frame(host);
  cfg.mode = AcquisitionMode::MultiFrame;
  cfg.frame_count = 4;
  Finished finished;
  device.streamer.configure(cfg);
  device.streamer.start(finished.callback());
  const std::uint32_t n = expected_layout(cfg).packet_count();
  const auto packets = parse_all(host.receive_n(4 * n));
  ASSERT_EQ(packets.size(), 4u * n);
  for (std::size_t f = 0; f < 4; ++f) {
    expect_frame({packets.begin() + f * n, packets.begin() + (f + 1) * n}, cfg, f + 1);
  }
  EXPECT_TRUE(finished.wait());
  EXPECT_TRUE(host.drain().empty());
  EXPECT_EQ(device.streamer.counters().frames_sent, 4u);
  EXPECT_FALSE(device.streamer.running());

  // Block ids carry on across acquisitions; a MultiFrame count of 0 sends nothing.
  cfg.mode = AcquisitionMode::SingleFrame;
  expect_frame(run_single_frame(device, host, cfg), cfg, 5);
  cfg.mode = AcquisitionMode::MultiFrame;
  cfg.frame_count = 0;
  Finished none;
  device.streamer.configure(cfg);
  device.streamer.start(none.callback());
  EXPECT_TRUE(none.wait());
  EXPECT_TRUE(host.drain().empty());
  EXPECT_EQ(device.streamer.counters().frames_sent, 5u);
}

TEST(GvspStreamer, ConfigureWhileRunningTakesEffectFromTheNextFrame) {
  Receiver host;
  Device device;
  StreamConfig cfg = small_frame(host);
  cfg.mode = AcquisitionMode::Continuous;
  cfg.frame_rate = 20;
  device.streamer.configure(cfg);
  device.streamer.start(nullptr);
  ASSERT_EQ(parse(*host.receive()).format, 1);
  StreamConfig changed = cfg;
  changed.width = 10;
  changed.height = 10;
  changed.test_pattern = 2;
  device.streamer.configure(changed);
  // Frames of the first configuration go on until the change shows in a leader.
  std::optional<Packet> leader;
  for (int i = 0; i < 1000 && !leader; ++i) {
    auto d = host.receive();
    ASSERT_TRUE(d);
    Packet p = parse(*d);
    if (p.format == 1 && be(p.payload, 16, 4) == 10) leader = std::move(p);
  }
  ASSERT_TRUE(leader);
  std::vector<Packet> frame{*leader};
  for (auto& p : parse_all(host.receive_n(expected_layout(changed).packet_count() - 1))) frame.push_back(p);
  device.streamer.stop();
  expect_frame(frame, changed, leader->block_id);
}

TEST(GvspStreamer, StopEndsAContinuousAcquisitionAtOnce) {
  Receiver host;
  Device device;
  StreamConfig cfg = small_frame(host);
  cfg.mode = AcquisitionMode::Continuous;
  cfg.frame_rate = 0;
  Finished finished;
  device.streamer.configure(cfg);
  device.streamer.start(finished.callback());
  host.receive_n(3 * expected_layout(cfg).packet_count());
  EXPECT_TRUE(device.streamer.running());
  device.streamer.stop();
  EXPECT_FALSE(device.streamer.running());
  // Once stop() has returned nothing more is sent.
  const auto at_stop = device.streamer.counters();
  host.drain();
  const auto later = device.streamer.counters();
  EXPECT_EQ(later.packets_sent, at_stop.packets_sent);
  EXPECT_EQ(later.frames_sent, at_stop.frames_sent);
  EXPECT_GE(at_stop.frames_sent, 3u);
  EXPECT_EQ(finished.count(), 0) << "a stopped acquisition does not report itself finished";

  // A slow frame rate and a long packet delay are waits that stop() cuts short.
  cfg.frame_rate = 0.001;
  device.streamer.configure(cfg);
  device.streamer.start(nullptr);
  host.receive_n(expected_layout(cfg).packet_count());
  device.streamer.stop();
  cfg.packet_delay = 1'000'000'000;  // capped at one second per packet
  device.streamer.configure(cfg);
  device.streamer.start(nullptr);
  ASSERT_TRUE(host.receive());
  device.streamer.stop();
  EXPECT_FALSE(device.streamer.running());
  // Stopping twice, or when nothing runs, is harmless.
  device.streamer.stop();
}

TEST(GvspStreamer, PacketDelayStillDeliversTheWholeFrame) {
  Receiver host;
  Device device;
  StreamConfig cfg = small_frame(host);
  cfg.packet_delay = 2500;  // 20 us at 125 MHz
  expect_frame(run_single_frame(device, host, cfg), cfg, 1);
}

TEST(GvspStreamer, FramesWaitForADestinationAndASendableConfiguration) {
  Receiver host;
  Device device;
  StreamConfig cfg = small_frame(host);
  StreamConfig no_destination = cfg;
  no_destination.destination = sockaddr_in{};
  Finished finished;
  device.streamer.configure(no_destination);
  device.streamer.start(finished.callback());
  EXPECT_TRUE(host.drain().empty());
  EXPECT_TRUE(device.streamer.running());

  StreamConfig too_small = cfg;
  too_small.packet_size = 36;  // no room for data in the standard form
  device.streamer.configure(too_small);
  EXPECT_TRUE(host.drain().empty());
  StreamConfig too_many_ids = cfg;
  too_many_ids.packet_size = 37;  // one data byte per packet: 2^24 ids do not hold 4096 x 4096 bytes
  too_many_ids.width = 4096;
  too_many_ids.height = 4096;
  device.streamer.configure(too_many_ids);
  EXPECT_TRUE(host.drain().empty());
  EXPECT_EQ(finished.count(), 0);
  EXPECT_EQ(device.streamer.counters().packets_sent, 0u);

  device.streamer.configure(cfg);
  expect_frame(parse_all(host.receive_n(expected_layout(cfg).packet_count())), cfg, 1);
  EXPECT_TRUE(finished.wait());
}

// ---------------------------------------------------------------------------
// Resend

TEST(GvspStreamer, ResendRepeatsPacketsOfAFrameInHistory) {
  Receiver host;
  Device device;
  StreamConfig cfg = small_frame(host);
  cfg.mode = AcquisitionMode::SingleFrame;
  device.streamer.configure(cfg);
  Finished finished;
  device.streamer.start(finished.callback());
  const auto original = host.receive_n(expected_layout(cfg).packet_count());
  ASSERT_EQ(original.size(), 9u);
  ASSERT_TRUE(finished.wait());

  device.streamer.resend(1, 2, 4);
  const auto again = host.receive_n(3);
  ASSERT_EQ(again.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(again[i].bytes, original[2 + i].bytes) << "packet " << 2 + i;
  device.streamer.resend(1, 0, 0);
  EXPECT_EQ(host.receive_n(1).at(0).bytes, original[0].bytes);

  // Ids past the trailer (8) never existed: the trailer comes again, the
  // rest is answered "packet unavailable" with a bare header.
  device.streamer.resend(1, 8, 10);
  const auto answers = host.receive_n(3);
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(answers[0].bytes, original[8].bytes);
  for (std::size_t i = 1; i < 3; ++i) {
    const Packet p = parse(answers[i]);
    EXPECT_EQ(p.status, 0x800C);
    EXPECT_EQ(p.block_id, 1u);
    EXPECT_EQ(p.packet_id, 8 + i);
    EXPECT_EQ(answers[i].bytes.size(), 8u);
  }
  const auto c = device.streamer.counters();
  EXPECT_EQ(c.packets_resent, 5u);
  EXPECT_EQ(c.resend_unavailable, 2u);
  EXPECT_EQ(c.packets_sent, 9u) << "resent packets are counted apart";
}

TEST(GvspStreamer, ResendOfAFrameGoneFromHistoryAnswersPacketUnavailable) {
  for (const bool extended : {false, true}) {
    SCOPED_TRACE(extended ? "extended" : "standard");
    Receiver host;
    Device device;
    StreamConfig cfg = small_frame(host);
    cfg.extended_ids = extended;
    cfg.mode = AcquisitionMode::MultiFrame;
    cfg.frame_count = GVSP_HISTORY_FRAMES + 1;
    Finished finished;
    device.streamer.configure(cfg);
    device.streamer.start(finished.callback());
    const std::uint32_t n = expected_layout(cfg).packet_count();
    const auto frames = host.receive_n(n * cfg.frame_count);
    ASSERT_TRUE(finished.wait());

    device.streamer.resend(1, 3, 5);  // the oldest frame: gone
    const auto gone = parse_all(host.receive_n(3));
    ASSERT_EQ(gone.size(), 3u);
    for (std::uint32_t i = 0; i < 3; ++i) {
      EXPECT_EQ(gone[i].status, 0x800C);
      EXPECT_EQ(gone[i].extended, extended);
      EXPECT_EQ(gone[i].block_id, 1u);
      EXPECT_EQ(gone[i].packet_id, 3 + i);
      EXPECT_EQ(gone[i].size, extended ? 20u : 8u);
    }
    device.streamer.resend(2, 4, 4);  // the oldest frame still kept
    ASSERT_EQ(host.receive_n(1).at(0).bytes, frames.at(n + 4).bytes);
    device.streamer.resend(12345, 1, 1);  // never sent
    EXPECT_EQ(parse(host.receive_n(1).at(0)).status, 0x800C);
    const auto c = device.streamer.counters();
    EXPECT_EQ(c.resend_unavailable, 4u);
    EXPECT_EQ(c.packets_resent, 1u);
  }
}

TEST(GvspStreamer, ResendOfBadRangesDoesBoundedWork) {
  Receiver host;
  Device device;
  StreamConfig cfg = small_frame(host);
  run_single_frame(device, host, cfg);

  device.streamer.resend(1, 5, 4);  // first > last: nothing
  device.streamer.resend(1, 0xFFFFFFF0u, 0xFFFFFFFFu);
  device.streamer.resend(77, 0, 0xFFFFFFFFu);
  const auto answers = parse_all(host.drain());
  EXPECT_EQ(answers.size(), 16u + GVSP_MAX_UNAVAILABLE_ANSWERS);
  for (const auto& p : answers) EXPECT_EQ(p.status, 0x800C);
  const auto c = device.streamer.counters();
  EXPECT_EQ(c.resend_unavailable, 16u + 0x100000000ull);
  EXPECT_EQ(c.packets_resent, 0u);
}

// ---------------------------------------------------------------------------
// Path MTU

TEST(GvspStreamer, FireTestSendsOnlyWhatThePathCarries) {
  Receiver host;
  Device device;
  StreamConfig cfg = small_frame(host);
  cfg.path_mtu = 1500;
  device.streamer.configure(cfg);
  device.streamer.fire_test(1000);
  device.streamer.fire_test(1501);
  device.streamer.fire_test(1500);
  device.streamer.fire_test(20);  // smaller than IP + UDP headers
  device.streamer.fire_test(9000);
  const auto got = host.drain();
  ASSERT_EQ(got.size(), 2u);
  std::multiset<std::size_t> sizes;
  for (const auto& d : got) {
    sizes.insert(d.bytes.size() + 28);
    EXPECT_EQ(d.from.sin_addr.s_addr, address_of(DEVICE_IP.c_str(), 0).sin_addr.s_addr);
    EXPECT_TRUE(std::all_of(d.bytes.begin(), d.bytes.end(), [](std::uint8_t b) { return b == 0; }));
  }
  EXPECT_EQ(sizes, (std::multiset<std::size_t>{1000, 1500}));

  cfg.path_mtu = 9216;
  device.streamer.configure(cfg);
  device.streamer.fire_test(9000);
  const auto big = host.receive_n(1);
  ASSERT_EQ(big.size(), 1u);
  EXPECT_EQ(big[0].bytes.size(), 9000u - 28);
  EXPECT_EQ(device.streamer.counters().packets_sent, 0u) << "test packets are not stream packets";
}

TEST(GvspStreamer, DoNotFragmentLosesPacketsLargerThanThePath) {
  Receiver host;
  Device device;
  StreamConfig cfg = small_frame(host);
  cfg.packet_size = 1500;
  cfg.path_mtu = 1000;
  cfg.do_not_fragment = true;
  Finished finished;
  device.streamer.configure(cfg);
  device.streamer.start(finished.callback());
  ASSERT_TRUE(finished.wait());
  // 3700 bytes in 1464-byte packets: two full ones (1500 bytes on the wire)
  // are lost, the last one (772 data bytes, 808 on the wire) fits.
  const auto got = parse_all(host.drain());
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].format, 1);
  EXPECT_EQ(got[1].format, 3);
  EXPECT_EQ(got[1].packet_id, 3u);
  EXPECT_EQ(got[1].size + 28, 808u);
  EXPECT_EQ(got[2].format, 2);
  EXPECT_EQ(device.streamer.counters().packets_sent, 3u);
  // A resend crosses the same path.
  device.streamer.resend(1, 1, 3);
  const auto resent = parse_all(host.receive_n(1));
  EXPECT_EQ(resent.at(0).packet_id, 3u);
  EXPECT_TRUE(host.drain().empty());

  cfg.do_not_fragment = false;  // fragmented: everything arrives
  expect_frame(run_single_frame(device, host, cfg), cfg, 2);
}

// Runs `body` on a thread of its own inside a new network namespace whose
// loopback carries datagrams of at most `mtu` bytes, as a camera's own link
// does; false when this process may not make one (it needs CAP_SYS_ADMIN).
// Only that thread and the threads it starts are inside.
bool on_a_narrow_link(int mtu, const std::function<void()>& body) {
  bool made = false;
  std::thread([&] {
    if (::unshare(CLONE_NEWNET) != 0) return;
    Fd control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq lo{};
    std::strncpy(lo.ifr_name, "lo", IFNAMSIZ - 1);
    lo.ifr_mtu = mtu;
    if (::ioctl(control.get(), SIOCSIFMTU, &lo) != 0) return;
    lo.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
    if (::ioctl(control.get(), SIOCSIFFLAGS, &lo) != 0) return;
    made = true;
    body();
  }).join();
  return made;
}

// Packets larger than the link: with the do-not-fragment bit the kernel
// refuses them (counted, never fragmented), whether they go out one by one
// or segmented; without it they leave fragmented and arrive whole.
TEST(GvspStreamer, DoNotFragmentHonouredOnTheOwnLink) {
  const bool made = on_a_narrow_link(1500, [] {
    Receiver host;
    Device device("127.0.0.2");
    StreamConfig cfg = small_frame(host);
    cfg.width = 1000;
    cfg.height = 40;
    cfg.packet_size = 9000;  // 5 data packets, the last one shorter: one segmented run
    cfg.do_not_fragment = true;
    Finished finished;
    device.streamer.configure(cfg);
    device.streamer.start(finished.callback());
    ASSERT_TRUE(finished.wait());
    const auto got = parse_all(host.drain());
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].format, 1);
    EXPECT_EQ(got[1].format, 2);
    EXPECT_EQ(device.streamer.counters().packets_refused, 5u);
    device.streamer.fire_test(9000);
    device.streamer.fire_test(1500);
    const auto test_packets = host.drain();
    ASSERT_EQ(test_packets.size(), 1u);
    EXPECT_EQ(test_packets[0].bytes.size() + 28, 1500u);

    cfg.do_not_fragment = false;
    expect_frame(run_single_frame(device, host, cfg), cfg, 2);
    EXPECT_EQ(device.streamer.counters().packets_refused, 5u);
    device.streamer.fire_test(9000);
    EXPECT_EQ(host.receive_n(1).at(0).bytes.size() + 28, 9000u);
  });
  if (!made) GTEST_SKIP() << "no private network namespace (needs CAP_SYS_ADMIN)";
}

// ---------------------------------------------------------------------------
// Faults

struct FaultRun {
  std::vector<std::uint32_t> ids;  // packet ids in arrival order
  std::vector<Packet> packets;
};

FaultRun run_with_faults(Device& device, Receiver& host, const StreamConfig& cfg,
                         const StreamFaults& faults) {
  device.streamer.set_faults(faults);
  Finished finished;
  device.streamer.configure(cfg);
  device.streamer.start(finished.callback());
  EXPECT_TRUE(finished.wait());
  FaultRun run;
  run.packets = parse_all(host.drain());
  for (const auto& p : run.packets) run.ids.push_back(p.packet_id);
  return run;
}

TEST(GvspStreamer, FaultsFollowTheSeedAndResendRepairsLoss) {
  Receiver host;
  StreamConfig cfg = small_frame(host);
  cfg.width = 200;
  cfg.height = 200;
  cfg.packet_size = 236;  // 200 data bytes: 200 data packets, 202 in all
  const std::uint32_t n = expected_layout(cfg).packet_count();
  ASSERT_EQ(n, 202u);
  const StreamFaults faults{.loss = 0.1, .reorder = 0.1, .duplicate = 0.1, .seed = 7};

  Device a(testing::next_test_address()), b(testing::next_test_address()), c(testing::next_test_address());
  const FaultRun first = run_with_faults(a, host, cfg, faults);
  const FaultRun same = run_with_faults(b, host, cfg, faults);
  StreamFaults other = faults;
  other.seed = 8;
  const FaultRun different = run_with_faults(c, host, cfg, other);
  EXPECT_EQ(first.ids, same.ids);
  EXPECT_NE(first.ids, different.ids);

  // All three faults show in the run.
  std::map<std::uint32_t, int> seen;
  bool out_of_order = false;
  for (std::size_t i = 0; i < first.ids.size(); ++i) {
    ++seen[first.ids[i]];
    if (i > 0 && first.ids[i] < first.ids[i - 1]) out_of_order = true;
  }
  std::vector<std::uint32_t> missing;
  for (std::uint32_t id = 0; id < n; ++id) {
    if (!seen.contains(id)) missing.push_back(id);
  }
  EXPECT_TRUE(out_of_order);
  EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](const auto& kv) { return kv.second > 1; }));
  ASSERT_FALSE(missing.empty());
  EXPECT_EQ(a.streamer.counters().packets_sent, first.ids.size());

  // Loss hits first transmissions only: resending every missing id repairs the frame.
  for (std::uint32_t id : missing) a.streamer.resend(1, id, id);
  const auto repaired = parse_all(host.receive_n(missing.size()));
  std::map<std::uint32_t, Packet> frame;
  for (const auto& p : first.packets) frame[p.packet_id] = p;
  for (const auto& p : repaired) frame[p.packet_id] = p;
  ASSERT_EQ(frame.size(), n);
  std::vector<Packet> ordered;
  for (auto& [id, p] : frame) ordered.push_back(p);
  expect_frame(ordered, cfg, 1);
  EXPECT_EQ(a.streamer.counters().packets_resent, missing.size());
}

// ---------------------------------------------------------------------------
// Threads

TEST(GvspStreamer, ControlCallsFromSeveralThreadsWhileStreaming) {
  Receiver host;
  Device device;
  StreamConfig cfg = small_frame(host);
  cfg.mode = AcquisitionMode::Continuous;
  cfg.frame_rate = 0;
  device.streamer.configure(cfg);
  device.streamer.start(nullptr);

  constexpr int THREADS = 3, CALLS = 200;
  std::barrier sync(THREADS);
  std::atomic<int> resend_calls{0};
  std::vector<std::jthread> threads;
  threads.emplace_back([&] {
    sync.arrive_and_wait();
    for (int i = 0; i < CALLS; ++i) {
      // Each call names two ids of a frame that is either kept (9 packets)
      // or not: exactly two packets are resent or counted unavailable.
      device.streamer.resend(static_cast<std::uint64_t>(1 + i % 50), 1, 2);
      ++resend_calls;
    }
  });
  threads.emplace_back([&] {
    sync.arrive_and_wait();
    for (int i = 0; i < CALLS; ++i) {
      StreamConfig c = cfg;
      c.test_pattern = static_cast<std::uint32_t>(i);
      device.streamer.configure(c);
      device.streamer.set_faults(StreamFaults{.duplicate = 0.01, .seed = static_cast<std::uint64_t>(i)});
      (void)device.streamer.counters();
    }
  });
  threads.emplace_back([&] {
    sync.arrive_and_wait();
    for (int i = 0; i < CALLS / 10; ++i) {
      device.streamer.stop();
      device.streamer.start(nullptr);
      (void)device.streamer.running();
    }
  });
  threads.clear();
  device.streamer.stop();
  EXPECT_FALSE(device.streamer.running());
  const auto c = device.streamer.counters();
  EXPECT_EQ(c.packets_resent + c.resend_unavailable, 2u * resend_calls.load());

  // Still in order afterwards: one clean frame.
  host.drain();
  device.streamer.set_faults(StreamFaults{});
  cfg.mode = AcquisitionMode::SingleFrame;
  cfg.first_block_id = 500;
  expect_frame(run_single_frame(device, host, cfg), cfg, 500);
}

TEST(GvspStreamer, TheFinishedCallbackMayStopAndRestart) {
  Receiver host;
  Device device;
  StreamConfig cfg = small_frame(host);
  Finished second;
  std::atomic<int> calls{0};
  device.streamer.configure(cfg);
  device.streamer.start([&] {
    ++calls;
    device.streamer.stop();  // already finished: returns at once
    device.streamer.start(second.callback());
  });
  const std::uint32_t n = expected_layout(cfg).packet_count();
  const auto packets = parse_all(host.receive_n(2 * n));
  ASSERT_TRUE(second.wait());
  EXPECT_EQ(calls.load(), 1);
  ASSERT_EQ(packets.size(), 2u * n);
  expect_frame({packets.begin(), packets.begin() + n}, cfg, 1);
  expect_frame({packets.begin() + n, packets.end()}, cfg, 2);
}

// ---------------------------------------------------------------------------
// The pattern

TEST(GvspStreamer, PatternFillMatchesPatternByteAcrossChunkBoundaries) {
  std::vector<std::uint8_t> out(1500);
  for (std::uint32_t pattern : {0u, 1u, 2u, 3u, 4u, 5u, 1000u}) {
    for (std::uint64_t block : {1ull, 0xFFFFull, 0x123456789ABCDEFull}) {
      for (std::uint64_t first : {0ull, 1ull, 7ull, 255ull, 256ull, 1000ull, 65535ull, 0xFFFFFFFF00ull}) {
        for (std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{9}, std::size_t{256},
                                   std::size_t{257}, std::size_t{1500}}) {
          fill_pattern(pattern, block, first, std::span(out.data(), length));
          for (std::size_t i = 0; i < length; ++i) {
            ASSERT_EQ(out[i], GvspStreamer::pattern_byte(pattern, block, first + i))
                << "pattern " << pattern << " block " << block << " index " << first + i;
          }
        }
      }
    }
  }
}

TEST(GvspStreamer, PatternDependsOnPatternBlockAndPosition) {
  auto window = [](std::uint32_t pattern, std::uint64_t block, std::uint64_t first) {
    std::vector<std::uint8_t> w(256);
    for (std::size_t i = 0; i < w.size(); ++i) w[i] = GvspStreamer::pattern_byte(pattern, block, first + i);
    return w;
  };
  for (std::uint32_t pattern : {0u, 1u, 2u}) {
    SCOPED_TRACE("pattern " + std::to_string(pattern));
    EXPECT_NE(window(pattern, 1, 0), window(pattern + 3, 1, 0));
    EXPECT_NE(window(pattern, 1, 0), window(pattern, 2, 0));
    EXPECT_NE(window(pattern, 1, 0), window(pattern, 1ull << 40, 0));
    // A packet placed at the wrong offset shows, even at 256-byte multiples.
    for (std::uint64_t shift : {1ull, 256ull, 1464ull * 32, 65536ull, 1ull << 32}) {
      EXPECT_NE(window(pattern, 1, 1464), window(pattern, 1, 1464 + shift)) << "shift " << shift;
    }
  }
  EXPECT_NE(window(0, 1, 0), window(1, 1, 0));
  EXPECT_NE(window(1, 1, 0), window(2, 1, 0));
}

// The moving picture, from fill_payload over whole frames.
struct Picture {
  std::uint32_t format, width, height;
  std::uint64_t block;

  [[nodiscard]] std::size_t pixel_bytes() const { return ((format >> 16) & 0xFF) / 8; }
  [[nodiscard]] FrameLayout layout() const {
    FrameLayout frame;
    frame.test_pattern = TEST_PATTERN_MOVING;
    frame.block_id = block;
    frame.pixel_format = format;
    frame.width = width;
    frame.height = height;
    return frame;
  }
  [[nodiscard]] std::vector<std::uint8_t> bytes() const {
    std::vector<std::uint8_t> out(std::size_t{width} * height * pixel_bytes());
    fill_payload(layout(), 0, out);
    return out;
  }
};

TEST(GvspStreamer, MovingPictureFillsAnyWindowAsTheWholeFrameDoes) {
  // Windows cut rows and pixels anywhere, as packets of any SCPS do; odd
  // sizes, a frame narrower than the digits, and 20-digit block ids.
  const Picture pictures[] = {{PIXEL_MONO8, 64, 48, 1},           {PIXEL_RGB8, 31, 17, 65535},
                              {PIXEL_MONO16, 100, 70, 0xFFFFFFFFFFFFFFFFull}, {PIXEL_RGB8, 1, 1, 12},
                              {PIXEL_MONO8, 16, 8, 1234567},       {PIXEL_RGB8, 1920, 4, 77}};
  for (const Picture& p : pictures) {
    SCOPED_TRACE(std::to_string(p.width) + "x" + std::to_string(p.height) + " block " + std::to_string(p.block));
    const auto whole = p.bytes();
    for (std::size_t piece : {std::size_t{1}, std::size_t{5}, std::size_t{1464}, std::size_t{8972}}) {
      std::vector<std::uint8_t> pieces(whole.size() + 7, 0xA5);  // the tail must stay untouched
      for (std::size_t at = 0; at < whole.size(); at += piece) {
        fill_payload(p.layout(), at, std::span(pieces.data() + at, std::min(piece, whole.size() - at)));
      }
      ASSERT_TRUE(std::equal(whole.begin(), whole.end(), pieces.begin())) << "pieces of " << piece;
      EXPECT_TRUE(std::all_of(pieces.end() - 7, pieces.end(), [](std::uint8_t b) { return b == 0xA5; }));
    }
  }
}

TEST(GvspStreamer, MovingPictureMovesItsBarAndCountsItsFrames) {
  for (std::uint32_t format : {PIXEL_MONO8, PIXEL_MONO16, PIXEL_RGB8}) {
    SCOPED_TRACE("pixel format " + std::to_string(format));
    const Picture first{format, 640, 480, 1234};
    const Picture next{format, 640, 480, 1235};
    const std::size_t pb = first.pixel_bytes();
    const std::size_t stride = 640 * pb;
    const auto a = first.bytes();
    const auto b = next.bytes();
    const MovingPatternGeometry ga = moving_pattern_geometry(640, 480, 1234);
    const MovingPatternGeometry gb = moving_pattern_geometry(640, 480, 1235);
    ASSERT_EQ(gb.bar_x, (ga.bar_x + ga.step) % 640) << "the bar moves one step per frame";
    ASSERT_GT(ga.step, 0u);

    // Below the digits: the columns white from top to bottom are exactly
    // the bar's core (the gradient is never white down a whole column).
    const std::size_t top = 7 * std::size_t{ga.scale};
    auto white_columns = [&](const std::vector<std::uint8_t>& image) {
      std::vector<std::uint32_t> columns;
      for (std::uint32_t x = 0; x < 640; ++x) {
        bool white = true;
        for (std::size_t y = top; y < 480 && white; ++y) {
          for (std::size_t k = 0; k < pb; ++k) white = white && image[y * stride + x * pb + k] == 0xFF;
        }
        if (white) columns.push_back(x);
      }
      return columns;
    };
    auto core = [](const MovingPatternGeometry& g) {
      std::vector<std::uint32_t> columns;
      for (std::uint32_t x = g.bar_x + g.bar_edge; x < g.bar_x + g.bar_width - g.bar_edge; ++x) columns.push_back(x % 640);
      std::sort(columns.begin(), columns.end());
      return columns;
    };
    EXPECT_EQ(white_columns(a), core(ga));
    EXPECT_EQ(white_columns(b), core(gb));
    EXPECT_FALSE(core(ga).empty());

    // Between the two frames only the bar and the counter change.
    const std::size_t box_right = (4 * std::size_t{ga.digits} + 1) * ga.scale;
    std::size_t box_changes = 0;
    for (std::size_t y = 0; y < 480; ++y) {
      for (std::size_t x = 0; x < 640; ++x) {
        const bool differs = !std::equal(a.begin() + y * stride + x * pb, a.begin() + y * stride + (x + 1) * pb,
                                         b.begin() + y * stride + x * pb);
        const bool in_box = y < top && x < box_right;
        const bool near_bar = (x + 640 - ga.bar_x) % 640 < ga.bar_width + gb.step;
        if (in_box) box_changes += differs ? 1 : 0;
        if (!in_box && !near_bar) {
          ASSERT_FALSE(differs) << "pixel " << x << "," << y;
        }
      }
    }
    EXPECT_GT(box_changes, 0u) << "the counter shows the block id";
    // Black and white in every format: the digit box's corner is black.
    EXPECT_TRUE(std::all_of(a.begin(), a.begin() + pb, [](std::uint8_t v) { return v == 0; }));
  }
}

}  // namespace
}  // namespace corvantic::sim
