// The control side of VirtualCamera over raw UDP: discovery, register and
// memory commands, their error statuses, malformed input and the
// description bytes. Cameras of this file use IP (and SECOND_IP), addresses
// of this process's own.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "sim/register_layout.hpp"
#include "sim_host.hpp"

namespace corvantic::sim::test {
namespace {

const std::uint32_t CAMERA_IP = testing::next_test_ip();
const std::string IP = util::ipv4_string(CAMERA_IP);
const std::string SECOND_IP = testing::next_test_address();

class VirtualCameraControl : public ::testing::Test {
 protected:
  void SetUp() override { camera = start_camera(config_at(IP)); }
  std::optional<Ack> ask(const Bytes& bytes) { return host.transact(IP, bytes); }

  std::unique_ptr<VirtualCamera> camera;
  RawHost host;
};

TEST_F(VirtualCameraControl, AnswersDiscoveryWithTheIdentityBlock) {
  host.send_to(IP, Bytes{0x42, 0x11, 0x00, 0x02, 0x00, 0x00, 0xFF, 0xFF});
  const auto datagram = host.receive();
  ASSERT_TRUE(datagram);
  // The answer comes from the device's control port.
  EXPECT_EQ(ntohs(datagram->from.sin_port), 3956);
  EXPECT_EQ(ntohl(datagram->from.sin_addr.s_addr), CAMERA_IP);
  const auto ack = parse_ack(datagram->bytes);
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->status, 0x0000);
  EXPECT_EQ(ack->code, 0x0003);
  EXPECT_EQ(ack->id, 0xFFFF);
  ASSERT_EQ(ack->payload.size(), 248u);
  const Bytes& b = ack->payload;
  EXPECT_EQ(get16(b, 0), 2);                                                             // major version
  EXPECT_EQ(get16(b, 2), 0);                                                             // minor version
  Bytes ip;
  put32(ip, CAMERA_IP);
  EXPECT_EQ(Bytes(b.begin() + 10, b.begin() + 16), (Bytes{0x02, 0x00, ip[0], ip[1], ip[2], ip[3]}));  // MAC
  EXPECT_EQ(Bytes(b.begin() + 36, b.begin() + 40), ip);                                                // IP
  EXPECT_EQ(Bytes(b.begin() + 52, b.begin() + 56), (Bytes{255, 0, 0, 0}));               // mask
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[72])), "Corvantic");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[104])), "VirtualCamera");
  char serial[16];
  std::snprintf(serial, sizeof serial, "SIM%08X", CAMERA_IP);  // e.g. SIM7F000014 for 127.0.0.20
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[216])), serial);
  // The same bytes as the bootstrap registers.
  const auto regs = ask(readreg(1, {0x0000, 0x0004, 0x0008, 0x000C, 0x0024}));
  ASSERT_TRUE(regs);
  EXPECT_EQ(regs->values(),
            (std::vector<std::uint32_t>{get32(b, 0), get32(b, 4), get32(b, 8), get32(b, 12), get32(b, 36)}));
}

TEST_F(VirtualCameraControl, AnswersEveryCommandWithItsRequestId) {
  for (std::uint16_t id : {1, 0x1234, 0xFFFE}) {
    const auto ack = ask(readreg(id, {reg::GVCP_CAPABILITY}));
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->id, id);
    EXPECT_EQ(ack->code, 0x0081);
    EXPECT_EQ(ack->values(), std::vector<std::uint32_t>{reg::cap::DEFAULT});
  }
}

TEST_F(VirtualCameraControl, ReadsAndWritesSeveralRegistersPerCommand) {
  const auto write =
      ask(writereg(2, {{reg::WIDTH, 128}, {reg::HEIGHT, 100}, {reg::PIXEL_FORMAT, 0x01100007}}));
  ASSERT_TRUE(write);
  EXPECT_EQ(write->status, 0);
  EXPECT_EQ(write->code, 0x0083);
  EXPECT_EQ(write->payload, (Bytes{0, 0, 0, 3}));  // index: three pairs written
  const auto read = ask(readreg(3, {reg::WIDTH, reg::HEIGHT, reg::PIXEL_FORMAT, reg::PAYLOAD_SIZE}));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->values(), (std::vector<std::uint32_t>{128, 100, 0x01100007, 128 * 100 * 2}));
}

TEST_F(VirtualCameraControl, StopsAMultiRegisterCommandAtTheFirstError) {
  const auto write = ask(writereg(4, {{reg::WIDTH, 256}, {reg::SENSOR_WIDTH, 1}, {reg::HEIGHT, 64}}));
  ASSERT_TRUE(write);
  EXPECT_EQ(write->status, 0x8004);
  EXPECT_EQ(write->payload, (Bytes{0, 0, 0, 1}));
  const auto read = ask(readreg(5, {reg::WIDTH, 0x0600, reg::HEIGHT}));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->status, 0x8003);
  EXPECT_EQ(read->values(), std::vector<std::uint32_t>{256});  // the values before the failure
  EXPECT_EQ(ask(readreg(6, {reg::HEIGHT}))->values(), std::vector<std::uint32_t>{48});
}

TEST_F(VirtualCameraControl, ReportsTheStatusOfEachKindOfBadAccess) {
  struct Case {
    const char* what;
    Bytes command;
    std::uint16_t status;
    std::uint16_t code;
  };
  const Case cases[] = {
      {"READREG unaligned", readreg(10, {0x0A02}), 0x8005, 0x0081},
      {"READREG unmapped", readreg(11, {0x00FF0000}), 0x8003, 0x0081},
      {"WRITEREG unaligned", writereg(12, {{0x10001, 1}}), 0x8005, 0x0083},
      {"WRITEREG read-only", writereg(13, {{reg::GVCP_CAPABILITY, 0}}), 0x8004, 0x0083},
      {"WRITEREG bad value", writereg(14, {{reg::ACQUISITION_MODE, 7}}), 0x8002, 0x0083},
      {"READMEM unaligned address", readmem(15, 0x0202, 8), 0x8005, 0x0085},
      {"READMEM count not a multiple of 4", readmem(16, 0x0200, 6), 0x8005, 0x0085},
      {"READMEM count above 536", readmem(17, 0x0200, 540), 0x8002, 0x0085},
      {"READMEM unmapped", readmem(18, 0x0600, 4), 0x8003, 0x0085},
      {"WRITEMEM unaligned length", writemem(19, reg::USER_DATA, Bytes{1, 2, 3}), 0x8005, 0x0087},
      {"WRITEMEM description", writemem(20, reg::DESCRIPTION_BASE, Bytes(8, 0)), 0x8004, 0x0087},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto ack = ask(c.command);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->status, c.status);
    EXPECT_EQ(ack->code, c.code);
    EXPECT_EQ(ack->id, get16(c.command, 6));
  }
}

TEST_F(VirtualCameraControl, ReadsAndWritesMemory) {
  const auto name = ask(writemem(30, reg::USER_DEFINED_NAME, Bytes{'l', 'a', 'b', '-', '1', 0, 0, 0}));
  ASSERT_TRUE(name);
  EXPECT_EQ(name->status, 0);
  EXPECT_EQ(name->payload, (Bytes{0, 0, 0, 8}));  // index: bytes written
  const auto read = ask(readmem(31, reg::USER_DEFINED_NAME, 16));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->status, 0);
  ASSERT_EQ(read->payload.size(), 4u + 16);
  EXPECT_EQ(get32(read->payload, 0), reg::USER_DEFINED_NAME);  // the address echoed
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&read->payload[4])), "lab-1");
  // A read of nothing answers with the address alone; a write of nothing is fine.
  const auto empty = ask(readmem(32, reg::USER_DATA, 0));
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->status, 0);
  EXPECT_EQ(empty->payload.size(), 4u);
  EXPECT_EQ(ask(writemem(33, reg::USER_DATA, {}))->status, 0);
  const auto user_data = ask(readmem(34, reg::USER_DATA, 64));
  ASSERT_TRUE(user_data);
  EXPECT_EQ(user_data->payload[4], 0);
  EXPECT_EQ(user_data->payload[4 + 63], 63);
  // 536 bytes, the largest read.
  const auto largest = ask(readmem(35, reg::DESCRIPTION_BASE, 536));
  ASSERT_TRUE(largest);
  EXPECT_EQ(largest->payload.size(), 540u);
}

TEST_F(VirtualCameraControl, ServesThePlainDescriptionFromMemory) {
  const auto url = ask(readmem(40, reg::FIRST_URL, 512));
  ASSERT_TRUE(url);
  const std::string text(reinterpret_cast<const char*>(&url->payload[4]));
  ASSERT_EQ(text.rfind("Local:corvantic_sim.xml;100000;", 0), 0u) << text;
  const auto size = std::stoul(text.substr(text.rfind(';') + 1), nullptr, 16);
  Bytes document;
  std::uint16_t id = 41;
  while (document.size() < size) {
    const auto chunk = std::min<std::size_t>(512, (size - document.size() + 3) / 4 * 4);
    const auto ack = ask(readmem(id++, reg::DESCRIPTION_BASE + static_cast<std::uint32_t>(document.size()),
                                 static_cast<std::uint16_t>(chunk)));
    ASSERT_TRUE(ack);
    ASSERT_EQ(ack->status, 0);
    document.insert(document.end(), ack->payload.begin() + 4, ack->payload.end());
  }
  document.resize(size);
  const auto xml = description_xml();
  EXPECT_EQ(document, Bytes(xml.begin(), xml.end()));
}

TEST_F(VirtualCameraControl, DropsOrRefusesMalformedCommands) {
  // Too short to be answered, a bad key, and a command without the
  // acknowledge flag: no answer.
  host.send_to(IP, Bytes{0x42, 0x01, 0x00, 0x80});
  host.send_to(IP, Bytes{0x43, 0x01, 0x00, 0x80, 0x00, 0x04, 0x00, 0x01, 0, 0, 0, 0});
  host.send_to(IP, command(0x0080, 50, Bytes{0, 0, 0, 0}, 0x00));
  EXPECT_TRUE(host.quiet());
  // A length beyond the datagram: invalid header; an unknown command: not implemented.
  const auto header = ask(Bytes{0x42, 0x01, 0x00, 0x80, 0x00, 0x08, 0x00, 0x33, 0, 0, 0, 0});
  ASSERT_TRUE(header);
  EXPECT_EQ(header->status, 0x800E);
  EXPECT_EQ(header->code, 0x0081);
  EXPECT_EQ(header->id, 0x33);
  const auto unknown = ask(command(0x0100, 0x34, {}));
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status, 0x8001);
  EXPECT_EQ(unknown->code, 0x0101);
  // The device still works, and counted what it dropped.
  EXPECT_TRUE(ask(readreg(51, {0})));
  EXPECT_EQ(camera->status().counters.malformed, 4u);
}

TEST_F(VirtualCameraControl, WriteWithoutAcknowledgeFlagStillTakesEffect) {
  Bytes payload;
  put32(payload, reg::HEIGHT);
  put32(payload, 200);
  host.send_to(IP, command(0x0082, 60, payload, 0x00));
  EXPECT_TRUE(host.quiet(200ms));
  EXPECT_EQ(ask(readreg(61, {reg::HEIGHT}))->values(), std::vector<std::uint32_t>{200});
}

// Listening for broadcasts takes shared sockets: two such cameras start side
// by side and still answer unicast (nothing is broadcast here).
TEST(VirtualCameraBroadcast, CamerasListeningForBroadcastsCoexist) {
  auto config = config_at(IP);
  config.listen_broadcast = true;
  auto first = start_camera(config);
  ASSERT_TRUE(first->running());
  config.address = SECOND_IP;
  auto second = start_camera(config);
  ASSERT_TRUE(second->running());
  RawHost host;
  for (const std::string& ip : {IP, SECOND_IP}) {
    host.send_to(ip, Bytes{0x42, 0x11, 0x00, 0x02, 0x00, 0x00, 0xFF, 0xFF});
    const auto ack = host.receive_ack();
    ASSERT_TRUE(ack) << ip;
    EXPECT_EQ(ack->code, 0x0003);
  }
}

std::size_t open_descriptors() {
  const auto listing = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<std::size_t>(std::distance(begin(listing), end(listing)));
}

// A start that fails half-way closes what it had opened, and a stop closes
// everything a start opened.
TEST(VirtualCameraDescriptors, FailedStartsAndStopsLeaveNoneOpen) {
  const std::size_t before = open_descriptors();
  {
    auto first = start_camera(config_at(IP));
    ASSERT_TRUE(first->running());
    const std::size_t running = open_descriptors();
    EXPECT_GT(running, before);
    // The control socket opens and its bind fails.
    VirtualCamera second(config_at(IP));
    const auto refused = second.start();
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "bind " + std::string(IP) + ":3956: Address already in use");
    EXPECT_FALSE(second.running());
    EXPECT_EQ(open_descriptors(), running);
  }
  EXPECT_EQ(open_descriptors(), before);

  // Room for exactly one more descriptor: the control socket opens and
  // binds, then the wake descriptor fails.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int lowest_free = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(lowest_free, 0);
  ::close(lowest_free);
  rlimit one_more = saved;
  one_more.rlim_cur = static_cast<rlim_t>(lowest_free) + 1;
  VirtualCamera starved(config_at(IP));
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &one_more), 0);
  const auto failed = starved.start();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), "eventfd: Too many open files");
  EXPECT_FALSE(starved.running());
  EXPECT_EQ(open_descriptors(), before);
}

TEST(VirtualCameraMinimal, WithoutConcatenationUsesTheFirstRegisterOnly) {
  auto config = config_at(IP);
  config.capabilities &= ~(reg::cap::CONCATENATION | reg::cap::WRITEMEM);
  auto camera = start_camera(config);
  RawHost host;
  const auto read = host.transact(IP, readreg(1, {reg::GVCP_CAPABILITY, reg::WIDTH, reg::HEIGHT}));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->status, 0);
  EXPECT_EQ(read->values(), std::vector<std::uint32_t>{reg::cap::DEFAULT & ~3u});
  const auto write = host.transact(IP, writereg(2, {{reg::WIDTH, 96}, {reg::HEIGHT, 96}}));
  ASSERT_TRUE(write);
  EXPECT_EQ(write->status, 0);
  EXPECT_EQ(host.transact(IP, readreg(3, {reg::WIDTH}))->values(), std::vector<std::uint32_t>{96});
  EXPECT_EQ(host.transact(IP, readreg(4, {reg::HEIGHT}))->values(), std::vector<std::uint32_t>{48});
  const auto writemem_ack = host.transact(IP, writemem(5, reg::USER_DATA, Bytes(4, 1)));
  ASSERT_TRUE(writemem_ack);
  EXPECT_EQ(writemem_ack->status, 0x8001);
  EXPECT_EQ(host.transact(IP, readmem(6, reg::USER_DATA, 4))->payload[4], 0);
}

Bytes fetch_description(RawHost& host) {
  const auto url = host.transact(IP, readmem(1, reg::SECOND_URL, 512));
  EXPECT_TRUE(url);
  if (!url) return {};
  const std::string text(reinterpret_cast<const char*>(&url->payload[4]));
  EXPECT_EQ(text.rfind("Local:corvantic_sim.zip;100000;", 0), 0u) << text;
  const auto size = std::stoul(text.substr(text.rfind(';') + 1), nullptr, 16);
  Bytes zip;
  std::uint16_t id = 2;
  while (zip.size() < size) {
    const auto chunk = std::min<std::size_t>(512, (size - zip.size() + 3) / 4 * 4);
    const auto ack =
        host.transact(IP, readmem(id++, reg::DESCRIPTION_BASE + static_cast<std::uint32_t>(zip.size()),
                                  static_cast<std::uint16_t>(chunk)));
    EXPECT_TRUE(ack && ack->status == 0);
    if (!ack) return {};
    zip.insert(zip.end(), ack->payload.begin() + 4, ack->payload.end());
  }
  zip.resize(size);
  return zip;
}

// Unpacks a one-entry archive the way any reader does: the end record
// points to the central directory, that to the local header and data.
Bytes first_entry(const Bytes& zip, std::uint16_t& method) {
  auto le16 = [&](std::size_t at) {
    return std::uint32_t{zip.at(at)} | (std::uint32_t{zip.at(at + 1)} << 8);
  };
  auto le32 = [&](std::size_t at) { return le16(at) | (le16(at + 2) << 16); };
  const std::size_t end = zip.size() - 22;
  EXPECT_EQ(le32(end), 0x06054b50u);
  const std::size_t central = le32(end + 16);
  method = static_cast<std::uint16_t>(le16(central + 10));
  const std::uint32_t compressed = le32(central + 20);
  const std::uint32_t size = le32(central + 24);
  const std::size_t local = le32(central + 42);
  const std::size_t data = local + 30 + le16(local + 26) + le16(local + 28);
  Bytes packed(zip.begin() + static_cast<long>(data), zip.begin() + static_cast<long>(data + compressed));
  if (method == 0) return packed;
  Bytes out(size);
  z_stream stream{};
  inflateInit2(&stream, -15);
  stream.next_in = packed.data();
  stream.avail_in = static_cast<uInt>(packed.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
  inflateEnd(&stream);
  return out;
}

TEST(VirtualCameraZipped, ServesTheDescriptionAsStoredOrDeflatedArchive) {
  const auto xml = description_xml();
  for (auto [form, expected_method] :
       {std::pair{DescriptionForm::ZipStored, 0}, {DescriptionForm::ZipDeflated, 8}}) {
    SCOPED_TRACE(std::string(description_form_name(form)));
    auto config = config_at(IP);
    config.description = form;
    auto camera = start_camera(config);
    RawHost host;
    const Bytes zip = fetch_description(host);
    ASSERT_GT(zip.size(), 22u);
    std::uint16_t method = 0xFFFF;
    const Bytes content = first_entry(zip, method);
    EXPECT_EQ(method, expected_method);
    EXPECT_EQ(content, Bytes(xml.begin(), xml.end()));
  }
}

}  // namespace
}  // namespace corvantic::sim::test
