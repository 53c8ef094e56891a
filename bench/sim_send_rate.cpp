// Send rate of the virtual camera's stream side over loopback.
//
// Baseline: one thread sending 1500-byte IP datagrams (1472 bytes of UDP
// payload) with sendmmsg in batches of 64, as fast as it can, to a UDP
// socket on 127.0.0.1 that nobody reads (the kernel drops what does not fit
// its buffer; the sender's cost is the same). A second baseline sends the
// same datagrams with sendmmsg as UDP GSO messages of 44 segments, the way
// the streamer sends runs of equal-size packets. Figure: a GvspStreamer in
// continuous mode, frame rate 0 (as fast as possible), SCPS 1500, sending
// Mono8 frames of 1464 x 1000 (1000 full data packets plus leader and
// trailer) to the same kind of socket, once with the deterministic ramps and
// once with the moving picture the camera shows by default (its rows are
// memcpy and memset runs too, so the two should send at the same rate). All
// run in alternation, twice each;
// the best round of each is reported, with the process CPU time per datagram.
#include <arpa/inet.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "sim/gvsp_packet.hpp"
#include "sim/gvsp_streamer.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using corvantic::sim::AcquisitionMode;
using corvantic::sim::GvspStreamer;
using corvantic::sim::StreamConfig;

// Benchmarks bind fixed addresses of their own in 127.0.0.0/24, where tests
// never take one (tests/cpp/test_address.hpp).
constexpr const char* BASELINE_IP = "127.0.0.92";
constexpr const char* STREAMER_IP = "127.0.0.93";
constexpr auto ROUND = std::chrono::milliseconds(700);
constexpr int ROUNDS = 2;
constexpr std::size_t DATAGRAM = 1500;
constexpr std::size_t UDP_PAYLOAD = DATAGRAM - 28;
constexpr unsigned BATCH = 64;
constexpr unsigned GSO_SEGMENTS = 44;  // as many 1472-byte segments as one UDP datagram holds
constexpr double TARGET = 500'000;

struct Rate {
  double datagrams_per_s = 0;
  double cpu_ns_per_datagram = 0;
};

double process_cpu_ns() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

int bound_udp(const char* ip) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, ip, &a.sin_addr);
  if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    std::fprintf(stderr, "cannot bind a UDP socket to %s: %s\n", ip, std::strerror(errno));
    std::exit(2);
  }
  return fd;
}

sockaddr_in local_address(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return a;
}

// `segments` datagrams per message: 1 is plain sendmmsg, more is UDP GSO.
Rate bare_sendmmsg(const sockaddr_in& dest, unsigned segments) {
  const int fd = bound_udp(BASELINE_IP);
  std::vector<std::uint8_t> data(BATCH * segments * UDP_PAYLOAD, 0xA5);
  std::vector<iovec> iov(BATCH);
  std::vector<mmsghdr> msgs(BATCH);
  union Control {
    char bytes[CMSG_SPACE(sizeof(std::uint16_t))];
    cmsghdr align;
  };
  std::vector<Control> controls(BATCH);
  sockaddr_in to = dest;
  for (unsigned i = 0; i < BATCH; ++i) {
    iov[i] = iovec{data.data() + i * segments * UDP_PAYLOAD, segments * UDP_PAYLOAD};
    msghdr& h = msgs[i].msg_hdr;
    h.msg_name = &to;
    h.msg_namelen = sizeof to;
    h.msg_iov = &iov[i];
    h.msg_iovlen = 1;
    if (segments > 1) {
      h.msg_control = controls[i].bytes;
      h.msg_controllen = sizeof controls[i].bytes;
      cmsghdr* cm = CMSG_FIRSTHDR(&h);
      cm->cmsg_level = SOL_UDP;
      cm->cmsg_type = UDP_SEGMENT;
      cm->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
      const std::uint16_t size = UDP_PAYLOAD;
      std::memcpy(CMSG_DATA(cm), &size, sizeof size);
    }
  }
  std::uint64_t sent = 0;
  const double cpu0 = process_cpu_ns();
  const auto start = Clock::now();
  const auto end = start + ROUND;
  auto now = start;
  while (now < end) {
    for (int k = 0; k < 16; ++k) {
      const int r = ::sendmmsg(fd, msgs.data(), segments > 1 ? 4 : BATCH, 0);
      if (r > 0) sent += static_cast<unsigned>(r) * segments;
    }
    now = Clock::now();
  }
  const double cpu = process_cpu_ns() - cpu0;
  const double seconds = std::chrono::duration<double>(now - start).count();
  ::close(fd);
  return {static_cast<double>(sent) / seconds, cpu / static_cast<double>(std::max<std::uint64_t>(sent, 1))};
}

Rate streamer(const sockaddr_in& dest, std::uint32_t test_pattern) {
  const int fd = bound_udp(STREAMER_IP);
  Rate rate;
  {
    GvspStreamer s(0, fd, 1'000'000'000);
    StreamConfig cfg;
    cfg.destination = dest;
    cfg.packet_size = DATAGRAM;
    cfg.pixel_format = corvantic::sim::PIXEL_MONO8;
    cfg.width = DATAGRAM - 36;
    cfg.height = 1000;
    cfg.mode = AcquisitionMode::Continuous;
    cfg.frame_rate = 0;
    cfg.test_pattern = test_pattern;
    s.configure(cfg);
    s.start(nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // warm up
    const auto before = s.counters();
    const double cpu0 = process_cpu_ns();
    const auto start = Clock::now();
    std::this_thread::sleep_for(ROUND);
    const auto after = s.counters();
    const auto end = Clock::now();
    const double cpu = process_cpu_ns() - cpu0;
    s.stop();
    const std::uint64_t sent = after.packets_sent - before.packets_sent;
    const double seconds = std::chrono::duration<double>(end - start).count();
    rate = {static_cast<double>(sent) / seconds, cpu / static_cast<double>(std::max<std::uint64_t>(sent, 1))};
  }
  ::close(fd);
  return rate;
}

}  // namespace

int main() {
  const int receiver = bound_udp("127.0.0.1");
  const sockaddr_in dest = local_address(receiver);

  Rate bare, gso, figure, moving;
  auto keep_best = [](Rate& best, const Rate& r) {
    if (r.datagrams_per_s > best.datagrams_per_s) best = r;
  };
  for (int round = 0; round < ROUNDS; ++round) {
    keep_best(bare, bare_sendmmsg(dest, 1));
    keep_best(gso, bare_sendmmsg(dest, GSO_SEGMENTS));
    keep_best(figure, streamer(dest, 0));
    keep_best(moving, streamer(dest, corvantic::sim::TEST_PATTERN_MOVING));
  }
  ::close(receiver);

  std::printf("sim send rate over loopback, 1500-byte IP datagrams, one sending thread, "
              "best of %d x %lld ms\n",
              ROUNDS, static_cast<long long>(ROUND.count()));
  auto line = [](const char* what, const Rate& r) {
    std::printf("  %-46s %10.0f datagrams/s  %6.0f CPU ns/datagram\n", what, r.datagrams_per_s,
                r.cpu_ns_per_datagram);
  };
  line("baseline: bare sendmmsg loop, 64 per call", bare);
  line("baseline: bare sendmmsg loop, UDP GSO x 44", gso);
  line("figure:   GvspStreamer, frame rate 0", figure);
  line("figure:   the same, moving picture", moving);
  std::printf("  ratio streamer / bare sendmmsg:         %6.2f\n",
              figure.datagrams_per_s / bare.datagrams_per_s);
  std::printf("  ratio streamer / bare sendmmsg + GSO:   %6.2f\n",
              figure.datagrams_per_s / gso.datagrams_per_s);
  std::printf("  ratio moving picture / ramps:           %6.2f\n",
              moving.datagrams_per_s / figure.datagrams_per_s);
  std::printf("  target streamer >= %.0f datagrams/s: %s\n", TARGET,
              figure.datagrams_per_s >= TARGET ? "met" : "NOT met");
  return 0;
}
