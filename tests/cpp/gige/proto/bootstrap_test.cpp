#include "gige/proto/bootstrap.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace corvantic::gige::proto {
namespace {

using Bytes = std::vector<std::uint8_t>;

void put_be32(Bytes& b, std::size_t offset, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[offset + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}
void put_bytes(Bytes& b, std::size_t offset, std::initializer_list<std::uint8_t> bytes) {
  std::copy(bytes.begin(), bytes.end(), b.begin() + offset);
}
void put(Bytes& b, std::size_t offset, std::string_view text) {
  std::copy(text.begin(), text.end(), b.begin() + offset);
}

// A discovery block written field by field at the offsets of the identity
// layout; the gaps between fields hold 0xEE, which must not be read.
Bytes golden_block() {
  Bytes b(248, 0);
  std::fill(b.begin() + 8, b.begin() + 10, 0xEE);
  std::fill(b.begin() + 24, b.begin() + 36, 0xEE);
  std::fill(b.begin() + 40, b.begin() + 52, 0xEE);
  std::fill(b.begin() + 56, b.begin() + 68, 0xEE);
  put_be32(b, 0, 0x00020001);                             // 0: spec 2.1
  put_be32(b, 4, 0x80000001);                             // 4: device mode
  put_bytes(b, 10, {0x00, 0x11, 0x22, 0x33, 0xAA, 0xBB});  // 10: MAC
  put_be32(b, 16, 0x80000007);                            // 16: supported IP config
  put_be32(b, 20, 0x80000004);                            // 20: current IP config
  put_be32(b, 36, 0xC0A80514);                            // 36: 192.168.5.20
  put_be32(b, 52, 0xFFFFFF00);                            // 52: 255.255.255.0
  put_be32(b, 68, 0xC0A80501);                            // 68: 192.168.5.1
  put(b, 72, "Acme");                                     // 72: manufacturer
  put(b, 104, "Cam-1");                                   // 104: model
  put(b, 136, "1.0.3");                                   // 136: device version
  put(b, 168, "made in test");                            // 168: manufacturer info
  put(b, 216, "AB12");                                    // 216: serial
  put(b, 232, "left");                                    // 232: user-defined name
  return b;
}

DeviceInfo golden_info() {
  return DeviceInfo{
      .manufacturer = "Acme",
      .model = "Cam-1",
      .device_version = "1.0.3",
      .manufacturer_info = "made in test",
      .serial = "AB12",
      .user_defined_name = "left",
      .spec_major = 2,
      .spec_minor = 1,
      .device_mode = 0x80000001,
      .mac = {0x00, 0x11, 0x22, 0x33, 0xAA, 0xBB},
      .supported_ip_config = 0x80000007,
      .current_ip_config = 0x80000004,
      .ip = 0xC0A80514,
      .subnet_mask = 0xFFFFFF00,
      .gateway = 0xC0A80501,
  };
}

// ---- Discovery block

TEST(ParseDiscoveryBlock, Golden) {
  const auto info = parse_discovery_block(golden_block());
  ASSERT_TRUE(info);
  EXPECT_EQ(*info, golden_info());
}

TEST(ParseDiscoveryBlock, SizeRule) {
  const Bytes block = golden_block();
  EXPECT_FALSE(parse_discovery_block(std::span(block).first(247)));
  EXPECT_FALSE(parse_discovery_block(Bytes{}));

  // Read over the first 248 bytes only: a last field without a zero byte
  // does not run on into the bytes after the block.
  Bytes longer = block;
  put(longer, 232, std::string(16, 'U'));
  longer.resize(400, 'X');
  const auto info = parse_discovery_block(longer);
  ASSERT_TRUE(info);
  DeviceInfo expected = golden_info();
  expected.user_defined_name = std::string(16, 'U');
  EXPECT_EQ(*info, expected);
}

TEST(ParseDiscoveryBlock, FullTextFieldsDoNotRunIntoTheNext) {
  Bytes block = golden_block();
  put(block, 72, std::string(32, 'M'));   // manufacturer fills its 32 bytes
  put(block, 216, std::string(16, 'S'));  // serial fills its 16
  const auto info = parse_discovery_block(block);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->manufacturer, std::string(32, 'M'));
  EXPECT_EQ(info->model, "Cam-1");
  EXPECT_EQ(info->serial, std::string(16, 'S'));
  EXPECT_EQ(info->user_defined_name, "left");
}

TEST(ParseDiscoveryBlock, TextEndsAtFirstZeroAndInvalidUtf8IsReplaced) {
  Bytes block = golden_block();
  block[72] = 0;                    // manufacturer: first byte zero
  put(block, 72 + 1, "hidden");
  put(block, 216 + 6, "ZZ");        // serial: AB12, zeros, then more bytes
  put(block, 104, "Cam\xFF\xC3");   // model: an invalid byte and a truncated sequence
  const auto info = parse_discovery_block(block);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->manufacturer, "");
  EXPECT_EQ(info->serial, "AB12");
  EXPECT_EQ(info->model, "Cam\uFFFD\uFFFD");
}

// A discovery answer: acknowledge header, then the identity block.
Bytes discovery_ack(std::uint16_t status, std::uint16_t code, const Bytes& block) {
  Bytes wire(8 + block.size(), 0xFF);  // ack id 0xffff, not compared
  put_be32(wire, 0, std::uint32_t{status} << 16 | code);
  wire[4] = static_cast<std::uint8_t>(block.size() >> 8);
  wire[5] = static_cast<std::uint8_t>(block.size());
  std::copy(block.begin(), block.end(), wire.begin() + 8);
  return wire;
}

TEST(DeviceInfoFromDiscoveryAck, AcceptsAWholeBlock) {
  const auto info = device_info_from_discovery_ack(discovery_ack(0x0000, 0x03, golden_block()));
  ASSERT_TRUE(info);
  EXPECT_EQ(*info, golden_info());
}

TEST(DeviceInfoFromDiscoveryAck, IgnoresRejectedOrShortAnswers) {
  EXPECT_FALSE(device_info_from_discovery_ack(discovery_ack(0x8006, 0x03, golden_block())));  // error status
  EXPECT_FALSE(device_info_from_discovery_ack(discovery_ack(0x0000, 0x81, golden_block())));  // wrong code
  Bytes short_block = golden_block();
  short_block.resize(200);
  EXPECT_FALSE(device_info_from_discovery_ack(discovery_ack(0x0000, 0x03, short_block)));  // 200-byte payload

  // Length field 248 with one byte missing from the datagram.
  Bytes cut = discovery_ack(0x0000, 0x03, golden_block());
  cut.pop_back();
  EXPECT_FALSE(device_info_from_discovery_ack(cut));

  // Length field 247 with the whole block on the wire: the payload is 247 bytes.
  Bytes under = discovery_ack(0x0000, 0x03, golden_block());
  under[5] = 247;
  EXPECT_FALSE(device_info_from_discovery_ack(under));
}

// ---- Identity registers

// Register contents by address, turned into the ordered input of
// device_info_from_registers. Unset registers read 0, unset texts as unreadable.
struct RegisterImage {
  std::map<std::uint32_t, std::uint32_t> registers;
  std::map<std::uint32_t, Bytes> texts;

  IdentityRegisterValues values() const {
    IdentityRegisterValues v;
    for (std::size_t i = 0; i < IDENTITY_REGISTERS.size(); ++i) {
      const auto it = registers.find(IDENTITY_REGISTERS[i]);
      v.registers[i] = it == registers.end() ? 0 : it->second;
    }
    for (std::size_t i = 0; i < IDENTITY_TEXT_REGISTERS.size(); ++i) {
      const auto it = texts.find(IDENTITY_TEXT_REGISTERS[i].address);
      if (it != texts.end()) v.texts[i] = it->second;
    }
    return v;
  }
};

Bytes text(std::string_view s, std::size_t width) {
  Bytes b(width, 0);
  std::copy(s.begin(), s.end(), b.begin());
  return b;
}

RegisterImage golden_registers() {
  return RegisterImage{
      .registers = {{0x0000, 0x00020001},
                    {0x0004, 0x80000001},
                    {0x0008, 0x00000011},
                    {0x000C, 0x2233AABB},
                    {0x0010, 0x80000007},
                    {0x0014, 0x80000004},
                    {0x0024, 0xC0A80514},
                    {0x0034, 0xFFFFFF00},
                    {0x0044, 0xC0A80501}},
      .texts = {{0x0048, text("Acme", 32)},
                {0x0068, text("Cam-1", 32)},
                {0x0088, text("1.0.3", 32)},
                {0x00A8, text("made in test", 48)},
                {0x00D8, text("AB12", 16)},
                {0x00E8, text("left", 16)}},
  };
}

TEST(DeviceInfoFromRegisters, SameDeviceAsItsDiscoveryBlock) {
  const RegisterImage image = golden_registers();
  EXPECT_EQ(device_info_from_registers(image.values()), golden_info());
}

TEST(DeviceInfoFromRegisters, VersionAndMacSplitAcrossRegisters) {
  RegisterImage image = golden_registers();
  image.registers[0x0008] = 0xFFFF0011;  // only the low 16 bits belong to the MAC
  image.registers[0x0000] = 0xFFFE0003;
  const DeviceInfo info = device_info_from_registers(image.values());
  EXPECT_EQ(info.mac_string(), "00:11:22:33:aa:bb");
  EXPECT_EQ(info.spec_major, 0xFFFE);
  EXPECT_EQ(info.spec_minor, 3);
}

TEST(DeviceInfoFromRegisters, UnreadableTextsAreEmpty) {
  RegisterImage image = golden_registers();
  image.texts.erase(0x00E8);
  image.texts[0x00D8] = {'A', 'B', '1', '2', 0, 0, 'Z', 'Z', 0, 0, 0, 0, 0, 0, 0, 0};
  const DeviceInfo info = device_info_from_registers(image.values());
  EXPECT_EQ(info.user_defined_name, "");
  EXPECT_EQ(info.serial, "AB12");
  EXPECT_EQ(info.model, "Cam-1");
}

// ---- Text forms

TEST(DeviceInfo, MacStringIsLowercaseWithLeadingZeros) {
  DeviceInfo info;
  EXPECT_EQ(info.mac_string(), "00:00:00:00:00:00");
  info.mac = {0x0A, 0xB0, 0xFF, 0x01, 0x10, 0xCD};
  EXPECT_EQ(info.mac_string(), "0a:b0:ff:01:10:cd");
}

TEST(DeviceInfo, Display) {
  EXPECT_EQ(golden_info().display(), "DeviceInfo(Acme Cam-1 serial=AB12 ip=192.168.5.20)");
  EXPECT_EQ(DeviceInfo{}.display(), "DeviceInfo(  serial= ip=0.0.0.0)");
}

TEST(Ipv4String, DottedDecimalFirstOctetMostSignificant) {
  EXPECT_EQ(util::ipv4_string(0), "0.0.0.0");
  EXPECT_EQ(util::ipv4_string(0xFFFFFFFF), "255.255.255.255");
  EXPECT_EQ(util::ipv4_string(0x7F000002), "127.0.0.2");
  EXPECT_EQ(util::ipv4_string(0x0A00FF01), "10.0.255.1");
}

// ---- Stream channel registers

TEST(StreamChannelRegisters, EachChannelIs0x40Apart) {
  EXPECT_EQ(reg_scp(0), 0x0D00u);
  EXPECT_EQ(reg_scps(0), 0x0D04u);
  EXPECT_EQ(reg_scpd(0), 0x0D08u);
  EXPECT_EQ(reg_scda(0), 0x0D18u);
  EXPECT_EQ(reg_scp(1), 0x0D40u);
  EXPECT_EQ(reg_scps(1), 0x0D44u);
  EXPECT_EQ(reg_scpd(1), 0x0D48u);
  EXPECT_EQ(reg_scda(1), 0x0D58u);
}

}  // namespace
}  // namespace corvantic::gige::proto
