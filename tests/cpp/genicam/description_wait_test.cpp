// The description is read with wait limits scaled by its size: twice the
// wait budget for the location register, (size / 512 + 2) budgets for the
// document. A device that answers every chunk late still delivers it.
#include <gtest/gtest.h>

#include "genicam/features.hpp"
#include "sim/description.hpp"
#include "sim/device.hpp"
#include "test_address.hpp"

namespace corvantic::genicam {
namespace {

using namespace std::chrono_literals;

TEST(DescriptionWait, ASlowDeviceDeliversTheDocumentWithinTheScaledLimit) {
  const std::string address = testing::next_test_address();
  sim::VirtualCameraConfig config;
  config.address = address;
  sim::VirtualCamera camera(config);
  ASSERT_TRUE(camera.start());
  gige::DriverConfig driver_config;
  driver_config.device = *net::SocketAddress::parse_ip(address, gige::proto::GVCP_PORT);
  driver_config.local_ip = net::SocketAddress::ipv4(0x7F000001, 0);
  driver_config.gvcp_timeout = 20ms;
  driver_config.retries = 0;  // a wait budget of 520 ms
  gige::GigeDriver driver(driver_config);
  ASSERT_TRUE(driver.connect());
  DeviceDescription description;
  const Device device{driver, description};

  // Every memory read is answered with a pending acknowledge and its data
  // 40 ms later: the document's chunks together take several budgets.
  const std::size_t size = sim::description_bytes(sim::DescriptionForm::Plain).size();
  const std::size_t chunks = (size + 511) / 512;
  ASSERT_GE(chunks * 40ms, 2 * driver.wait_budget()) << "the document is too small to outlast two budgets";
  camera.add_pending({0x0084, std::nullopt, 1000, 40});
  const auto loaded = load_feature_model(device);
  ASSERT_TRUE(loaded) << loaded.error().display();
  EXPECT_TRUE(has_feature(device, "Width"));
  const gige::LinkStats stats = *driver.link_stats();
  EXPECT_EQ(stats.pending_acks, chunks + 1) << "the location register, then each chunk of the document";
  EXPECT_EQ(stats.timeouts, 0u);
}

}  // namespace
}  // namespace corvantic::genicam
