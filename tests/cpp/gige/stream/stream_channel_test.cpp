// StreamChannel against the virtual camera on this process's own loopback
// address: registers, packet-size negotiation, receive-buffer sizing,
// frames checked byte by byte against the camera's test pattern, resend
// under injected faults, and close.
#include "gige/stream/stream_channel.hpp"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "allocation_failure.hpp"
#include "sim/device.hpp"
#include "sim/gvsp_packet.hpp"
#include "sim/register_layout.hpp"
#include "test_address.hpp"
#include "util/log.hpp"

namespace corvantic::gige {
namespace {

using namespace std::chrono_literals;
using stream::Frame;
using stream::FrameStatus;
using stream::ReceiveStatus;
using util::log::Level;

constexpr std::uint32_t HOST_IP = 0x7F000001;
constexpr std::uint32_t MULTI_FRAME = 2;

class StreamChannelTest : public ::testing::Test {
 protected:
  static inline const std::string CAMERA_IP = testing::next_test_address();

  void start(sim::VirtualCameraConfig config = {}) {
    config.address = CAMERA_IP;
    camera_ = std::make_unique<sim::VirtualCamera>(config);
    auto started = camera_->start();
    ASSERT_TRUE(started) << started.error();
    DriverConfig driver_config;
    driver_config.device = *net::SocketAddress::parse_ip(CAMERA_IP, proto::GVCP_PORT);
    driver_config.local_ip = net::SocketAddress::ipv4(HOST_IP, 0);
    driver_ = std::make_unique<GigeDriver>(driver_config);
    auto connected = driver_->connect();
    ASSERT_TRUE(connected) << connected.error().display();
  }

  void TearDown() override {
    if (driver_) driver_->disconnect(2s);
    if (camera_) camera_->stop();
  }

  [[nodiscard]] std::uint64_t payload_size() {
    const auto value = driver_->read_register(sim::reg::PAYLOAD_SIZE);
    EXPECT_TRUE(value);
    return value.value_or(0);
  }

  [[nodiscard]] StreamOptions options() {
    StreamOptions options;
    options.payload_size = payload_size();
    return options;
  }

  [[nodiscard]] std::unique_ptr<StreamChannel> open(const StreamOptions& options) {
    auto opened = StreamChannel::open(*driver_, options);
    EXPECT_TRUE(opened) << opened.error().display();
    return opened ? std::move(*opened) : nullptr;
  }

  [[nodiscard]] std::uint32_t reg(std::uint32_t address) {
    const auto value = driver_->read_register(address);
    EXPECT_TRUE(value) << value.error().display();
    return value.value_or(0xDEADBEEF);
  }

  void write(std::uint32_t address, std::uint32_t value) {
    const auto written = driver_->write_register(address, value);
    ASSERT_TRUE(written) << written.error().display();
  }

  // Starts a multi-frame acquisition of `count` frames with test pattern
  // `pattern`.
  void acquire(std::uint32_t count, std::uint32_t pattern = 0) {
    write(sim::reg::TEST_PATTERN, pattern);
    write(sim::reg::ACQUISITION_MODE, MULTI_FRAME);
    write(sim::reg::ACQUISITION_FRAME_COUNT, count);
    write(sim::reg::ACQUISITION_START, 1);
  }

  // Up to `count` frames, each awaited for at most 2 s.
  static std::vector<Frame> collect(const stream::FrameReceiver& receiver, std::size_t count) {
    std::vector<Frame> frames;
    while (frames.size() < count) {
      auto received = receiver.receive_for(2s);
      if (received.status != ReceiveStatus::Received) break;
      frames.push_back(std::move(received.frame));
    }
    return frames;
  }

  // The index of the first byte that differs from the camera's pattern for
  // the frame's block id, or nothing when the whole payload matches.
  static std::optional<std::size_t> pattern_mismatch(const Frame& frame, std::uint32_t pattern,
                                                     std::uint64_t payload) {
    const auto data = frame.data();
    if (data.size() != payload) return data.size();
    std::vector<std::uint8_t> expected(payload);
    sim::fill_pattern(pattern, frame.frame_id(), 0, expected);
    const auto [ours, theirs] = std::mismatch(data.begin(), data.end(), expected.begin());
    if (ours == data.end()) return std::nullopt;
    return static_cast<std::size_t>(ours - data.begin());
  }

  // Defined with the resend tests below.
  void expect_lossy_stream_without_resend(StreamOptions options, std::uint64_t seed);

  std::unique_ptr<sim::VirtualCamera> camera_;
  std::unique_ptr<GigeDriver> driver_;
};

TEST(RequestedReceiveBuffer, PayloadPlusSlackClampedToTheRange) {
  EXPECT_EQ(requested_receive_buffer(100'000, 0), 262144u);
  EXPECT_EQ(requested_receive_buffer(20'000'000, 0), 8388608u);
  EXPECT_EQ(requested_receive_buffer(1'000'000, 0), 1'001'024u);
  EXPECT_EQ(requested_receive_buffer(8388608 - 1024, 0), 8388608u);
  EXPECT_EQ(requested_receive_buffer(UINT64_MAX, 0), 8388608u);
  // A given size is used as it is.
  EXPECT_EQ(requested_receive_buffer(100'000, 4096), 4096u);
}

// Probes against a path carrying datagrams up to `mtu` bytes; each records
// its size.
struct FakePath {
  std::uint32_t mtu;
  std::vector<std::uint16_t> probes;
  FireTestProbe probe() {
    return [this](std::uint16_t size) -> std::optional<std::uint32_t> {
      probes.push_back(size);
      if (size > mtu) return std::nullopt;
      return size;
    };
  }
};

TEST(SearchPacketSize, JumboPathEndsAtTheFirstProbe) {
  FakePath path{9216, {}};
  const auto outcome = search_packet_size(path.probe());
  EXPECT_TRUE(outcome.supported);
  EXPECT_EQ(outcome.packet_size, 9152);
  EXPECT_EQ(path.probes, std::vector<std::uint16_t>{9152});
}

TEST(SearchPacketSize, StandardPathNarrowsInStepsOfSixteen) {
  FakePath path{1500, {}};
  const auto outcome = search_packet_size(path.probe());
  EXPECT_TRUE(outcome.supported);
  EXPECT_EQ(outcome.packet_size, 1488);
  EXPECT_EQ(path.probes,
            (std::vector<std::uint16_t>{9152, 1488, 5312, 3392, 2432, 1952, 1712, 1600, 1536, 1504}));
}

TEST(SearchPacketSize, EveryProbeAfterTheCandidateIsOnTheSixteenByteGrid) {
  for (const std::uint32_t mtu : {600u, 1000u, 1300u, 4000u, 9000u}) {
    FakePath path{mtu, {}};
    const auto outcome = search_packet_size(path.probe());
    EXPECT_TRUE(outcome.supported) << mtu;
    EXPECT_LE(outcome.packet_size, mtu);
    EXPECT_GT(outcome.packet_size + 16u, mtu) << mtu;
    const auto candidate = std::find_if(path.probes.begin() + 1, path.probes.end(),
                                        [&](std::uint16_t s) { return s <= mtu; });
    ASSERT_NE(candidate, path.probes.end());
    for (auto it = candidate; it != path.probes.end(); ++it) EXPECT_EQ((*it - *candidate) % 16, 0) << mtu;
  }
}

TEST(SearchPacketSize, NoAnswerFallsBackTo1500) {
  FakePath path{500, {}};
  const auto outcome = search_packet_size(path.probe());
  EXPECT_FALSE(outcome.supported);
  EXPECT_EQ(outcome.packet_size, 1500);
  EXPECT_EQ(path.probes, (std::vector<std::uint16_t>{9152, 1488, 1008, 560}));
}

TEST(SearchPacketSize, NeverBelow560) {
  // Only 560 answers, and with a smaller packet.
  const auto outcome = search_packet_size([](std::uint16_t size) -> std::optional<std::uint32_t> {
    if (size == 560) return 300;
    return std::nullopt;
  });
  EXPECT_EQ(outcome.packet_size, 560);
}

TEST(SearchPacketSize, TheLargestMeasuredSizeWins) {
  // Every probe up to 2000 answers, but with 100 bytes less than asked.
  const auto outcome = search_packet_size([](std::uint16_t size) -> std::optional<std::uint32_t> {
    if (size > 2000) return std::nullopt;
    return size - 100u;
  });
  EXPECT_LE(outcome.packet_size, 1900);
  EXPECT_GT(outcome.packet_size, 1900 - 16);
}

TEST(SearchPacketSize, ASmallerTestPacketAtTheFirstProbeIsSearchedUpwardsFrom) {
  // The device answers every probe with a test packet of at most 1500 bytes.
  std::vector<std::uint16_t> probes;
  const auto outcome = search_packet_size([&](std::uint16_t size) -> std::optional<std::uint32_t> {
    probes.push_back(size);
    return std::min<std::uint32_t>(size, 1500);
  });
  EXPECT_TRUE(outcome.supported);
  EXPECT_EQ(outcome.packet_size, 1500);
  ASSERT_GT(probes.size(), 1u);
  EXPECT_EQ(probes[0], 9152);
  for (std::size_t i = 1; i < probes.size(); ++i) EXPECT_GT(probes[i], 1500) << i;
}

// The search under a route MTU `ceiling` on a path carrying `mtu`.
struct CeilingCase {
  std::uint16_t ceiling;
  std::uint32_t mtu;
  std::vector<std::uint16_t> first_probes;
  std::uint16_t result;
  bool supported;
};

TEST(SearchPacketSize, NothingAboveTheRouteMtuIsProbed) {
  const CeilingCase cases[] = {
      {1500, 9216, {1500}, 1500, true},
      {9000, 9216, {9000}, 9000, true},
      {1400, 1000, {1400, 1008, 560}, 992, true},  // 1008 passes the ceiling's candidates, 560 answers
      {1400, 500, {1400, 1008, 560}, 1400, false},  // the fallback stays under the ceiling too
      {65535, 9216, {9152}, 9152, true},
  };
  for (const CeilingCase& c : cases) {
    FakePath path{c.mtu, {}};
    const auto outcome = search_packet_size(path.probe(), c.ceiling);
    EXPECT_EQ(outcome.packet_size, c.result) << c.ceiling << " " << c.mtu;
    EXPECT_EQ(outcome.supported, c.supported) << c.ceiling << " " << c.mtu;
    ASSERT_GE(path.probes.size(), c.first_probes.size());
    EXPECT_TRUE(std::equal(c.first_probes.begin(), c.first_probes.end(), path.probes.begin()))
        << c.ceiling << " " << c.mtu;
    for (const std::uint16_t probe : path.probes) EXPECT_LE(probe, c.ceiling);
  }
}

TEST_F(StreamChannelTest, OptionsThatCanNeverCarryAFrameAreRefused) {
  start();
  const std::tuple<std::uint64_t, std::optional<std::uint16_t>, std::optional<std::string>> cases[] = {
      {0, std::nullopt, "n_buffers must be at least 1"},
      {8, 0, "packet_size must be at least 100"},
      {8, 99, "packet_size must be at least 100"},
      {8, 100, std::nullopt},
      {1, std::nullopt, std::nullopt},
  };
  for (const auto& [n_buffers, packet_size, problem] : cases) {
    StreamOptions options = this->options();
    options.n_buffers = n_buffers;
    options.packet_size = packet_size;
    EXPECT_EQ(stream_options_problem(options), problem) << n_buffers;
    auto opened = StreamChannel::open(*driver_, options);
    EXPECT_EQ(opened.has_value(), !problem) << n_buffers;
    if (problem && !opened) {
      EXPECT_EQ(opened.error(), CameraError::malformed(*problem));
    }
  }
}

TEST_F(StreamChannelTest, FireTestTakesTheSizeThatArrivedNotTheSizeAsked) {
  start();
  camera_->set_stream_faults(0, sim::StreamFaults{.fire_test_limit = 1500});
  auto channel = open(options());
  ASSERT_TRUE(channel);
  EXPECT_EQ(channel->packet_size(), 1500);
  EXPECT_EQ(reg(0x0D04), 1500u);
}

TEST_F(StreamChannelTest, RefusesAMissingOrZeroPayloadSize) {
  start();
  StreamOptions options;
  auto opened = StreamChannel::open(*driver_, options);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error(), CameraError::malformed("payload_size must be set"));
  options.payload_size = 0;
  opened = StreamChannel::open(*driver_, options);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().display(), "malformed packet: payload_size must be set");
}

TEST_F(StreamChannelTest, RefusesADisconnectedSession) {
  start();
  driver_->disconnect(2s);
  StreamOptions options;
  options.payload_size = 3072;
  auto opened = StreamChannel::open(*driver_, options);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().kind(), CameraError::Kind::NotConnected);
}

TEST_F(StreamChannelTest, FailedRegisterWriteEndsTheOpenWithItsError) {
  start();
  camera_->inject_status(sim::reg::stream_register(0, sim::reg::SCP), {0x8006, false, true});
  auto opened = StreamChannel::open(*driver_, options());
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().kind(), CameraError::Kind::Status);
  EXPECT_EQ(opened.error().gvcp_status().code, 0x8006);
}

TEST_F(StreamChannelTest, WritesTheChannelRegistersAndLogsTheOpen) {
  start();
  util::log::ScopedCapture capture;
  auto channel = open(options());
  ASSERT_TRUE(channel);
  EXPECT_EQ(channel->channel(), 0);
  EXPECT_TRUE(channel->local_address().is_ipv4());
  EXPECT_EQ(channel->local_address().ipv4_address(), HOST_IP);
  EXPECT_EQ(reg(0x0D18), HOST_IP);
  EXPECT_EQ(reg(0x0D00), channel->local_address().port());
  EXPECT_EQ(reg(0x0D04), channel->packet_size());
  EXPECT_EQ(channel->tick_frequency(), 1'000'000'000u);
  EXPECT_TRUE(channel->resend_enabled());
  const auto opened = capture.sink().with_message("stream channel opened");
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].level, Level::Debug);
  EXPECT_EQ(opened[0].target, "corvantic::gige");
  EXPECT_EQ(opened[0].fields, (std::vector<util::log::Field>{
                                  {"channel", "0"},
                                  {"local", channel->local_address().to_string()},
                                  {"packet_size", std::to_string(channel->packet_size())},
                              }));
  channel->close(*driver_);
  EXPECT_EQ(reg(0x0D00), 0u);
}

TEST_F(StreamChannelTest, Channel1UsesRegistersFortySixtyFourBytesOn) {
  start();
  StreamOptions options = this->options();
  options.channel = 1;
  options.packet_size = 1000;
  options.packet_delay = 7;
  auto channel = open(options);
  ASSERT_TRUE(channel);
  EXPECT_EQ(channel->channel(), 1);
  EXPECT_EQ(reg(0x0D40), channel->local_address().port());
  EXPECT_EQ(reg(0x0D44), 1000u);
  EXPECT_EQ(reg(0x0D48), 7u);
  EXPECT_EQ(reg(0x0D58), HOST_IP);
  // Channel 0 is untouched.
  EXPECT_EQ(reg(0x0D00), 0u);
  EXPECT_EQ(reg(0x0D18), 0u);
  channel->close(*driver_);
  EXPECT_EQ(reg(0x0D40), 0u);
}

TEST_F(StreamChannelTest, GivenPacketSizeSkipsTheFireTest) {
  start();
  util::log::ScopedCapture capture;
  StreamOptions options = this->options();
  options.packet_size = 8000;
  auto channel = open(options);
  ASSERT_TRUE(channel);
  EXPECT_EQ(channel->packet_size(), 8000);
  EXPECT_EQ(reg(0x0D04), 0x00001F40u);
  EXPECT_TRUE(capture.sink().with_message("negotiated stream packet size 8000").empty());
  for (const auto& event : capture.sink().events()) {
    EXPECT_EQ(event.message.find("negotiated"), std::string::npos) << event.message;
  }
}

TEST_F(StreamChannelTest, FireTestFindsTheLargestSizeThePathCarries) {
  sim::VirtualCameraConfig config;
  config.path_mtu = 1500;
  start(config);
  util::log::ScopedCapture capture;
  auto channel = open(options());
  ASSERT_TRUE(channel);
  EXPECT_LE(channel->packet_size(), 1500);
  EXPECT_GE(channel->packet_size(), 1500 - 16);
  EXPECT_EQ(channel->packet_size(), 1488);
  // The final write carries no flag bits.
  EXPECT_EQ(reg(0x0D04), channel->packet_size());
  const auto negotiated = capture.sink().with_message("negotiated stream packet size 1488");
  ASSERT_EQ(negotiated.size(), 1u);
  EXPECT_EQ(negotiated[0].level, Level::Debug);
  EXPECT_TRUE(capture.sink().with_message("packet size fire-test unsupported, falling back to 1500").empty());
  // And frames flow at that size.
  const auto receiver = channel->subscribe(8);
  acquire(3);
  const auto frames = collect(receiver, 3);
  ASSERT_EQ(frames.size(), 3u);
  for (const auto& frame : frames) EXPECT_EQ(frame.status(), FrameStatus::Complete);
}

TEST_F(StreamChannelTest, FireTestOnAJumboPathTakes9152) {
  start();
  auto channel = open(options());
  ASSERT_TRUE(channel);
  EXPECT_EQ(channel->packet_size(), 9152);
}

TEST_F(StreamChannelTest, NoFireTestPacketsFallBackTo1500WithOneWarning) {
  sim::VirtualCameraConfig config;
  config.path_mtu = 500;  // below every probe: no test packet ever arrives
  start(config);
  util::log::ScopedCapture capture;
  auto channel = open(options());
  ASSERT_TRUE(channel);
  EXPECT_EQ(channel->packet_size(), 1500);
  EXPECT_EQ(reg(0x0D04), 1500u);
  const auto warnings = capture.sink().with_message("packet size fire-test unsupported, falling back to 1500");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].level, Level::Warn);
}

TEST_F(StreamChannelTest, SchedulingSettingsAreReportedNotApplied) {
  start();
  util::log::ScopedCapture capture;
  StreamOptions options = this->options();
  options.packet_size = 1500;
  options.scheduling.priority = 10;
  auto channel = open(options);
  ASSERT_TRUE(channel);
  const auto warnings = capture.sink().with_message(
      "thread scheduling not applied: thread scheduling configuration is only supported on Linux");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].level, Level::Warn);
}

TEST_F(StreamChannelTest, TickFrequencyReadRegisterByRegisterWithoutConcatenation) {
  sim::VirtualCameraConfig config;
  config.tick_frequency = 0x0000000300000007;
  config.capabilities = sim::reg::cap::DEFAULT & ~sim::reg::cap::CONCATENATION;
  start(config);
  StreamOptions options = this->options();
  options.packet_size = 1500;
  auto channel = open(options);
  ASSERT_TRUE(channel);
  EXPECT_EQ(channel->tick_frequency(), 0x0000000300000007u);
}

TEST_F(StreamChannelTest, TickFrequencyReadFailureGivesZero) {
  start();
  camera_->inject_status(0x0940, {0x8006, true, false});
  StreamOptions options = this->options();
  options.packet_size = 1500;
  auto channel = open(options);
  ASSERT_TRUE(channel);
  EXPECT_EQ(channel->tick_frequency(), 0u);
}

// The receive-buffer size this process can get for `bytes`: SO_RCVBUF, then
// SO_RCVBUFFORCE where that is allowed; half of what the kernel reports.
std::uint64_t grantable_receive_buffer(int bytes) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes);
  int reported = 0;
  socklen_t size = sizeof reported;
  ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &reported, &size);
  ::close(fd);
  return static_cast<std::uint64_t>(reported) / 2;
}

constexpr std::string_view RMEM_HINT = "net.core.rmem_max";

std::vector<util::log::Event> receive_buffer_warnings(const util::log::CapturingSink& sink) {
  std::vector<util::log::Event> out;
  for (const auto& event : sink.events()) {
    if (event.message.find(RMEM_HINT) != std::string::npos) out.push_back(event);
  }
  return out;
}

TEST_F(StreamChannelTest, SmallReceiveBufferIsGrantedWithoutWarning) {
  start();
  util::log::ScopedCapture capture;
  StreamOptions options = this->options();
  options.packet_size = 1500;
  options.receive_buffer = 65536;  // below every kernel's default cap
  auto channel = open(options);
  ASSERT_TRUE(channel);
  EXPECT_TRUE(receive_buffer_warnings(capture.sink()).empty());
}

// Takes CAP_NET_ADMIN out of the calling thread's effective set for its
// lifetime (capabilities are per thread), so that SO_RCVBUFFORCE is refused
// as for an unprivileged process; restores it afterwards.
class WithoutNetAdmin {
 public:
  WithoutNetAdmin() {
    if (::syscall(SYS_capget, &header_, data_) != 0) return;
    saved_ = data_[0].effective;
    if ((saved_ & (1u << CAP_NET_ADMIN)) == 0) return;
    data_[0].effective &= ~(1u << CAP_NET_ADMIN);
    dropped_ = ::syscall(SYS_capset, &header_, data_) == 0;
  }
  ~WithoutNetAdmin() {
    if (!dropped_) return;
    data_[0].effective = saved_;
    (void)::syscall(SYS_capset, &header_, data_);
  }
  WithoutNetAdmin(const WithoutNetAdmin&) = delete;
  WithoutNetAdmin& operator=(const WithoutNetAdmin&) = delete;

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data_[_LINUX_CAPABILITY_U32S_3]{};
  std::uint32_t saved_ = 0;
  bool dropped_ = false;
};

TEST_F(StreamChannelTest, ReceiveBufferBeyondTheCapWarnsWithTheEffectiveSize) {
  start();
  WithoutNetAdmin unprivileged;
  constexpr int HUGE_REQUEST = 512 * 1024 * 1024;
  const std::uint64_t grantable = grantable_receive_buffer(HUGE_REQUEST);
  // No kernel default lets an unprivileged socket have 512 MiB.
  ASSERT_LT(grantable, static_cast<std::uint64_t>(HUGE_REQUEST));
  util::log::ScopedCapture capture;
  StreamOptions options = this->options();
  options.packet_size = 1500;
  options.receive_buffer = HUGE_REQUEST;
  auto channel = open(options);
  ASSERT_TRUE(channel);
  const auto warnings = receive_buffer_warnings(capture.sink());
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].level, Level::Warn);
  EXPECT_EQ(warnings[0].message, "stream socket receive buffer is " + std::to_string(grantable) +
                                     " bytes, below the " + std::to_string(HUGE_REQUEST) +
                                     " requested; raise the net.core.rmem_max sysctl to allow more");
  EXPECT_EQ(warnings[0].fields, (std::vector<util::log::Field>{{"effective", std::to_string(grantable)},
                                                               {"requested", std::to_string(HUGE_REQUEST)}}));
}

TEST_F(StreamChannelTest, PrivilegedReceiveBufferBeyondTheCapIsForcedWithoutWarning) {
  start();
  constexpr int REQUEST = 16 * 1024 * 1024;
  if (grantable_receive_buffer(REQUEST) < static_cast<std::uint64_t>(REQUEST)) {
    GTEST_SKIP() << "this process may not exceed net.core.rmem_max (no CAP_NET_ADMIN)";
  }
  util::log::ScopedCapture capture;
  StreamOptions options = this->options();
  options.packet_size = 1500;
  options.receive_buffer = REQUEST;
  auto channel = open(options);
  ASSERT_TRUE(channel);
  EXPECT_TRUE(receive_buffer_warnings(capture.sink()).empty());
}

TEST_F(StreamChannelTest, UnspecifiedDestinationAdvertisesScdaZero) {
  sim::VirtualCameraConfig config;
  config.frame_rate = 0;
  start(config);
  util::log::ScopedCapture capture;
  StreamOptions options = this->options();
  options.packet_size = 1500;
  options.destination = net::SocketAddress::ipv4(0, 0);
  auto channel = open(options);
  ASSERT_TRUE(channel);
  EXPECT_TRUE(channel->local_address().is_unspecified());
  EXPECT_EQ(reg(0x0D18), 0u);
  const auto unresolved = capture.sink().with_message(
      "stream host IP unresolved; advertising SCDA=0 (device streams to the GVCP requester)");
  ASSERT_EQ(unresolved.size(), 1u);
  EXPECT_EQ(unresolved[0].level, Level::Debug);
  EXPECT_EQ(unresolved[0].fields,
            (std::vector<util::log::Field>{{"local", channel->local_address().to_string()}}));
  // The camera streams to the requester's address, which the socket receives.
  const auto receiver = channel->subscribe(4);
  acquire(2);
  const auto frames = collect(receiver, 2);
  ASSERT_EQ(frames.size(), 2u);
  for (const auto& frame : frames) EXPECT_EQ(frame.status(), FrameStatus::Complete);
}

TEST_F(StreamChannelTest, UnboundControlSocketTakesTheRoutesLocalAddress) {
  sim::VirtualCameraConfig config;
  config.address = CAMERA_IP;
  camera_ = std::make_unique<sim::VirtualCamera>(config);
  ASSERT_TRUE(camera_->start());
  DriverConfig driver_config;
  driver_config.device = *net::SocketAddress::parse_ip(CAMERA_IP, proto::GVCP_PORT);  // local_ip unset: 0.0.0.0
  driver_ = std::make_unique<GigeDriver>(driver_config);
  ASSERT_TRUE(driver_->connect());
  ASSERT_TRUE(driver_->control_local_address()->is_unspecified());
  StreamOptions options = this->options();
  options.packet_size = 1500;
  auto channel = open(options);
  ASSERT_TRUE(channel);
  // Loopback routes leave from a 127.0.0.0/8 address, never 0.0.0.0.
  EXPECT_FALSE(channel->local_address().is_unspecified());
  EXPECT_EQ(channel->local_address().ipv4_address() >> 24, 127u);
  EXPECT_EQ(reg(0x0D18), channel->local_address().ipv4_address());
}

// Frames at a given packet size in both header forms, checked byte by byte.
class StreamChannelFrames : public StreamChannelTest,
                            public ::testing::WithParamInterface<std::tuple<std::uint16_t, bool>> {};

TEST_P(StreamChannelFrames, CompleteWithThePatternBytes) {
  const auto [packet_size, extended] = GetParam();
  sim::VirtualCameraConfig config;
  config.extended_ids = extended;
  config.frame_rate = 0;
  start(config);
  StreamOptions options = this->options();
  options.packet_size = packet_size;
  auto channel = open(options);
  ASSERT_TRUE(channel);
  const auto receiver = channel->subscribe(8);
  constexpr std::uint32_t PATTERN = 1;  // a descending ramp
  acquire(5, PATTERN);
  const auto frames = collect(receiver, 5);
  ASSERT_EQ(frames.size(), 5u);
  for (const auto& frame : frames) {
    EXPECT_EQ(frame.status(), FrameStatus::Complete) << frame.frame_id();
    EXPECT_EQ(frame.width(), 64u);
    EXPECT_EQ(frame.height(), 48u);
    EXPECT_EQ(pattern_mismatch(frame, PATTERN, *options.payload_size), std::nullopt) << frame.frame_id();
  }
  const auto stats = channel->stats();
  EXPECT_EQ(stats.completed_frames, 5u);
  EXPECT_EQ(stats.failed_frames, 0u);
}

INSTANTIATE_TEST_SUITE_P(PacketSizes, StreamChannelFrames,
                         ::testing::Combine(::testing::Values(std::uint16_t{576}, std::uint16_t{1500},
                                                              std::uint16_t{9000}),
                                            ::testing::Bool()));

// Faults injected into the stream: loss, reordering and duplication.
class StreamChannelFaults : public StreamChannelTest, public ::testing::WithParamInterface<double> {};

TEST_P(StreamChannelFaults, EveryFrameCompletesThroughResend) {
  const double rate = GetParam();
  sim::VirtualCameraConfig config;
  // The camera keeps its last 8 frames for resends: at 100 frames/s that
  // outlasts the worker's rescans (20 ms apart) for lost trailers and
  // re-requests.
  config.frame_rate = 100;
  // About 90 packets a frame, so that 10 % loss stays well below the
  // per-frame resend cap of a quarter of the packets.
  config.width = 256;
  config.height = 192;
  start(config);
  StreamOptions options = this->options();
  options.packet_size = 576;
  options.n_buffers = 48;     // every frame is kept until the checks
  auto channel = open(options);
  ASSERT_TRUE(channel);
  camera_->set_stream_faults(0, {.loss = rate, .reorder = rate, .duplicate = rate, .seed = 7});
  const auto receiver = channel->subscribe(64);
  constexpr std::uint32_t FRAMES = 40;
  constexpr std::uint32_t PATTERN = 2;  // noise
  acquire(FRAMES, PATTERN);
  const auto frames = collect(receiver, FRAMES);
  ASSERT_EQ(frames.size(), FRAMES);
  for (const auto& frame : frames) {
    EXPECT_EQ(frame.status(), FrameStatus::Complete) << frame.frame_id();
    EXPECT_EQ(pattern_mismatch(frame, PATTERN, *options.payload_size), std::nullopt) << frame.frame_id();
  }
  const auto stats = channel->stats();
  EXPECT_EQ(stats.completed_frames, FRAMES)
      << "ratio " << stats.resend_ratio_reached << " disabled " << stats.resend_disabled << " requests "
      << stats.resend_requests << " resent " << stats.resent_packets << " unavailable "
      << camera_->status().streams[0].resend_unavailable;
  EXPECT_GT(stats.resend_requests, 0u);
  EXPECT_GT(stats.resent_packets, 0u);
  EXPECT_GT(camera_->status().streams[0].packets_resent, 0u);
}

INSTANTIATE_TEST_SUITE_P(Rates, StreamChannelFaults, ::testing::Values(0.01, 0.10));

// Without resend, exactly the frames that lost a packet fail.
void expect_lost_frames_fail(const std::vector<Frame>& frames, std::uint64_t payload, std::uint32_t pattern) {
  std::size_t failed = 0;
  for (const auto& frame : frames) {
    const auto data = frame.data();
    // Whether every byte arrived, judged from the bytes themselves.
    std::vector<std::uint8_t> expected(payload);
    sim::fill_pattern(pattern, frame.frame_id(), 0, expected);
    const bool whole = frame.received_size() == payload && data.size() == payload &&
                       std::equal(data.begin(), data.end(), expected.begin());
    if (frame.status() == FrameStatus::Complete) {
      EXPECT_TRUE(whole) << frame.frame_id();
    } else {
      // A failed frame lost a data packet, or its leader or trailer, which
      // carry no payload bytes.
      EXPECT_TRUE(frame.status() == FrameStatus::MissingPackets || frame.status() == FrameStatus::Timeout)
          << frame.frame_id();
      ++failed;
    }
  }
  EXPECT_GT(failed, 0u);
  EXPECT_LT(failed, frames.size());
}

// Streams 30 frames at 10 % loss through a channel that must not ask for
// resends: the frames that lost packets fail, and no request reaches the
// device.
void StreamChannelTest::expect_lossy_stream_without_resend(StreamOptions options, std::uint64_t seed) {
  options.packet_size = 576;
  options.n_buffers = 32;
  auto channel = open(options);
  ASSERT_TRUE(channel);
  EXPECT_FALSE(channel->resend_enabled());
  camera_->set_stream_faults(0, {.loss = 0.10, .seed = seed});
  const auto receiver = channel->subscribe(64);
  constexpr std::uint32_t FRAMES = 30;
  acquire(FRAMES, 2);
  const auto frames = collect(receiver, FRAMES);
  ASSERT_EQ(frames.size(), FRAMES);
  expect_lost_frames_fail(frames, *options.payload_size, 2);
  EXPECT_EQ(channel->stats().resend_requests, 0u);
  EXPECT_EQ(camera_->status().counters.resend_requests, 0u);
}

TEST_F(StreamChannelTest, WithResendOffTheFramesThatLostPacketsFail) {
  sim::VirtualCameraConfig config;
  config.frame_rate = 200;
  start(config);
  StreamOptions options = this->options();
  options.no_resend = true;
  expect_lossy_stream_without_resend(options, 11);
}

TEST_F(StreamChannelTest, DeviceWithoutResendCapabilityGetsNoRequests) {
  sim::VirtualCameraConfig config;
  config.frame_rate = 200;
  config.capabilities = sim::reg::cap::DEFAULT & ~sim::reg::cap::PACKETRESEND;
  start(config);
  expect_lossy_stream_without_resend(options(), 5);
}

TEST_F(StreamChannelTest, CloseDeliversAnOpenFrameAsAborted) {
  start();
  StreamOptions options = this->options();
  options.packet_size = 576;
  // 50 ms between packets at the camera's 1 GHz ticks: the frame stays open
  // for a while after its first packets.
  options.packet_delay = 50'000'000;
  options.timings.frame_timeout = 30s;
  auto channel = open(options);
  ASSERT_TRUE(channel);
  const auto receiver = channel->subscribe(4);
  acquire(1);
  // Wait (bounded) for the frame's first packets to arrive.
  for (int i = 0; i < 400 && channel->stats().packets == 0; ++i) std::this_thread::sleep_for(5ms);
  ASSERT_GT(channel->stats().packets, 0u);
  channel->close(*driver_);
  EXPECT_TRUE(channel->closed());
  auto received = receiver.receive_for(2s);
  ASSERT_EQ(received.status, ReceiveStatus::Received);
  EXPECT_EQ(received.frame.status(), FrameStatus::Aborted);
  EXPECT_EQ(channel->stats().aborted_frames, 1u);
  // The worker is gone: the subscription ends, and so does a late one.
  EXPECT_EQ(receiver.receive_for(2s).status, ReceiveStatus::Ended);
  EXPECT_EQ(channel->subscribe(4).receive_for(2s).status, ReceiveStatus::Ended);
  channel->close(*driver_);  // a second close does nothing
  write(sim::reg::ACQUISITION_STOP, 1);
}

// An allocation failure on the stream worker's thread ends the stream as a
// failure of its own would, instead of ending the process: the
// subscription sees the end, and so does a later one.
TEST_F(StreamChannelTest, AllocationFailureOnTheWorkerEndsTheStream) {
  start();
  auto channel = open(options());
  ASSERT_TRUE(channel);
  {
    // Every allocation of the worker thread fails, the first being taking
    // the new subscription in.
    testing::FailLargeAllocations guard(stream::gvsp_thread_name(0), 1);
    const auto receiver = channel->subscribe(4);
    EXPECT_EQ(receiver.receive_for(5s).status, ReceiveStatus::Ended);
    EXPECT_GE(guard.refused(), 1u);
  }
  EXPECT_EQ(channel->subscribe(4).receive_for(2s).status, ReceiveStatus::Ended);
  channel->close(*driver_);
}

// On every stream channel: resend requests name the channel they are for,
// and the device answers them on that channel.
class StreamChannelOnEachChannel : public StreamChannelTest, public ::testing::WithParamInterface<std::uint16_t> {};

TEST_P(StreamChannelOnEachChannel, AThousandFramesUnderOnePercentLossAllComplete) {
  const std::uint16_t stream_channel = GetParam();
  sim::VirtualCameraConfig config;
  // 250 frames/s: the camera's 8-frame resend history spans 32 ms, several
  // 5 ms idle rescans (which find a frame whose trailer was lost), with room
  // for a receiver slowed by sanitizers or a loaded machine.
  config.frame_rate = 250;
  start(config);
  StreamOptions options = this->options();  // 64 x 48 Mono8
  options.packet_size = 576;
  options.n_buffers = 64;
  options.timings.resend_interval = 5ms;
  options.channel = stream_channel;
  auto channel = open(options);
  ASSERT_TRUE(channel);
  camera_->set_stream_faults(stream_channel, {.loss = 0.01, .seed = 3});
  const auto receiver = channel->subscribe(1024);
  constexpr std::uint32_t FRAMES = 1000;
  constexpr std::uint32_t PATTERN = 0;
  acquire(FRAMES, PATTERN);
  // Each frame is checked and let go at once, so its buffer returns.
  std::size_t received = 0;
  std::size_t incomplete = 0;
  std::size_t wrong_bytes = 0;
  while (received < FRAMES) {
    auto next = receiver.receive_for(10s);
    if (next.status != ReceiveStatus::Received) break;
    ++received;
    if (next.frame.status() != FrameStatus::Complete) ++incomplete;
    if (pattern_mismatch(next.frame, PATTERN, *options.payload_size)) ++wrong_bytes;
  }
  EXPECT_EQ(received, FRAMES);
  EXPECT_EQ(incomplete, 0u);
  EXPECT_EQ(wrong_bytes, 0u);
  const auto stats = channel->stats();
  const auto sent = camera_->status().streams[stream_channel];
  EXPECT_EQ(stats.completed_frames, FRAMES)
      << "failed " << stats.failed_frames << " timed out " << stats.timed_out_frames << " missing "
      << stats.missing_frames << " ratio " << stats.resend_ratio_reached << " disabled " << stats.resend_disabled
      << " dropped " << stats.frames_dropped << " ignored " << stats.ignored_packets << " camera sent "
      << sent.frames_sent << " unavailable " << sent.resend_unavailable;
  EXPECT_EQ(stats.missing_frames, 0u);
  EXPECT_EQ(stats.underruns, 0u);
  EXPECT_GT(stats.resent_packets, 0u);
}

INSTANTIATE_TEST_SUITE_P(Channels, StreamChannelOnEachChannel, ::testing::Values(0, 1));

TEST_F(StreamChannelTest, AnIpv6DestinationIsRefusedBeforeAnyRegisterWrite) {
  start();
  const auto ipv6 = net::SocketAddress::parse_ip("::1", 0);
  ASSERT_TRUE(ipv6);
  if (!net::UdpSocket::bind(*ipv6)) GTEST_SKIP() << "no IPv6 loopback on this machine";
  StreamOptions options = this->options();
  options.destination = *ipv6;
  auto opened = StreamChannel::open(*driver_, options);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().kind(), CameraError::Kind::Unsupported);
  EXPECT_NE(opened.error().display().find("IPv6 stream destinations"), std::string::npos)
      << opened.error().display();
  EXPECT_EQ(reg(0x0D18), 0u);  // SCDA
  EXPECT_EQ(reg(0x0D00), 0u);  // SCP
}

TEST_F(StreamChannelTest, FireTestIgnoresLargePacketsFromAnotherHost) {
  sim::VirtualCameraConfig config;
  config.path_mtu = 1500;
  start(config);
  // The stream socket's port, known in advance so another host can aim at it.
  std::optional<net::SocketAddress> local;
  {
    auto probe = net::UdpSocket::bind(net::SocketAddress::ipv4(HOST_IP, 0));
    ASSERT_TRUE(probe);
    const auto bound = probe->local_address();
    ASSERT_TRUE(bound);
    local = *bound;
  }
  StreamOptions options = this->options();
  options.destination = *local;
  // Another host sends datagrams of every probe size to that port while the
  // fire test runs; none of them may count as a test packet.
  auto other = net::UdpSocket::bind(*net::SocketAddress::parse_ip(testing::next_test_address(), 0));
  ASSERT_TRUE(other);
  std::atomic<bool> opening{true};
  std::thread sender([&] {
    const std::vector<std::uint8_t> junk(FIRE_TEST_FIRST - 28, 0xA5);
    while (opening.load()) {
      (void)other->send_to(junk, *local);
      std::this_thread::sleep_for(200us);
    }
  });
  auto channel = open(options);
  opening.store(false);
  sender.join();
  ASSERT_TRUE(channel);
  EXPECT_EQ(channel->packet_size(), 1488);
}

}  // namespace
}  // namespace corvantic::gige
