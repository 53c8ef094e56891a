// Round trip of one register read through GigeDriver, against a raw UDP
// request/response to the same virtual camera, measured in the same run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "gige/gige_driver.hpp"
#include "net/udp_socket.hpp"
#include "sim/device.hpp"

using namespace corvantic;
using Clock = std::chrono::steady_clock;

namespace {

// A fixed address of the benchmarks' own: tests never take one of 127.0.0.0/24
// (tests/cpp/test_address.hpp).
constexpr const char* CAMERA_IP = "127.0.0.90";
constexpr int ROUNDS = 3000;
constexpr std::uint32_t WIDTH_REGISTER = 0x10000;

double median_us(std::vector<double> samples) {
  std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
  return samples[samples.size() / 2];
}

template <typename F>
double measure(F&& round_trip) {
  std::vector<double> samples;
  samples.reserve(ROUNDS);
  for (int i = 0; i < ROUNDS; ++i) {
    const auto start = Clock::now();
    if (!round_trip(i)) {
      std::fprintf(stderr, "round trip %d failed\n", i);
      std::exit(1);
    }
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return median_us(std::move(samples));
}

}  // namespace

int main() {
  sim::VirtualCameraConfig config;
  config.address = CAMERA_IP;
  sim::VirtualCamera camera(config);
  if (auto started = camera.start(); !started) {
    std::fprintf(stderr, "virtual camera: %s\n", started.error().c_str());
    return 1;
  }
  const auto device = *net::SocketAddress::parse_ip(CAMERA_IP, gige::proto::GVCP_PORT);

  auto raw = net::UdpSocket::bind(net::SocketAddress::ipv4(0x7F000001, 0)).value();
  (void)raw.set_receive_timeout(std::chrono::seconds(1));
  std::vector<std::uint8_t> buffer(1500);
  gige::proto::RequestIds ids;
  auto raw_read = [&](int) {
    const std::uint32_t address = WIDTH_REGISTER;
    const auto command = gige::proto::encode_readreg(std::span(&address, 1), ids.next());
    if (!raw.send_to(command, device)) return false;
    return raw.receive_from(buffer).has_value();
  };

  gige::DriverConfig driver_config;
  driver_config.device = device;
  driver_config.local_ip = net::SocketAddress::ipv4(0x7F000001, 0);
  gige::GigeDriver driver(driver_config);
  if (auto connected = driver.connect(); !connected) {
    std::fprintf(stderr, "connect: %s\n", connected.error().display().c_str());
    return 1;
  }
  auto driver_read = [&](int) { return driver.read_register(WIDTH_REGISTER).has_value(); };

  // Interleave warm-up, then measure both back to back.
  measure(raw_read);
  measure(driver_read);
  const double raw_us = measure(raw_read);
  const double driver_us = measure(driver_read);
  std::printf("control round trip (median of %d register reads)\n", ROUNDS);
  std::printf("  raw UDP request/response : %8.1f us\n", raw_us);
  std::printf("  GigeDriver::read_register: %8.1f us\n", driver_us);
  std::printf("  ratio driver/raw         : %8.2f (target <= 1.5)\n", driver_us / raw_us);

  const auto start = Clock::now();
  driver.disconnect(std::chrono::milliseconds(500));
  std::printf("  disconnect took          : %8.1f ms (deadline 500 ms + one 10 ms poll period)\n",
              std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  return 0;
}
