#include "sim/command_parser.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace corvantic::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

// READREG of 0x0000, 0x0a00, 0x0934, request id 7:
//   0: 42 key  1: 01 flags  2-3: 0080 READREG  4-5: 000c length  6-7: 0007 id
//   8..19: the three addresses
const Bytes READREG_GOLDEN = {0x42, 0x01, 0x00, 0x80, 0x00, 0x0C, 0x00, 0x07, 0x00, 0x00,
                              0x00, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x09, 0x34};

TEST(CommandParser, ReadsReadRegAddressesInOrder) {
  const auto parsed = parse_command(READREG_GOLDEN);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->header.flags, 0x01);
  EXPECT_EQ(parsed->header.command, 0x0080);
  EXPECT_EQ(parsed->header.request_id, 7);
  EXPECT_EQ(parsed->header.ack_code(), 0x0081);
  const auto& request = std::get<ReadRegRequest>(parsed->request);
  ASSERT_EQ(request.count(), 3u);
  EXPECT_EQ(request.address(0), 0x0000u);
  EXPECT_EQ(request.address(1), 0x0A00u);
  EXPECT_EQ(request.address(2), 0x0934u);
}

TEST(CommandParser, IgnoresBytesBeyondTheLengthField) {
  Bytes datagram = READREG_GOLDEN;
  datagram[5] = 0x04;  // length 4: only the first address counts
  const auto parsed = parse_command(datagram);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(std::get<ReadRegRequest>(parsed->request).count(), 1u);
}

TEST(CommandParser, ReadsWriteRegPairs) {
  // WRITEREG (0x0a00, 2), (0x0938, 0x0bb8), id 0x0102.
  const Bytes datagram = {0x42, 0x01, 0x00, 0x82, 0x00, 0x10, 0x01, 0x02, 0x00, 0x00, 0x0A, 0x00,
                          0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x09, 0x38, 0x00, 0x00, 0x0B, 0xB8};
  const auto parsed = parse_command(datagram);
  ASSERT_TRUE(parsed);
  const auto& request = std::get<WriteRegRequest>(parsed->request);
  ASSERT_EQ(request.count(), 2u);
  EXPECT_EQ(request.address(0), 0x0A00u);
  EXPECT_EQ(request.value(0), 2u);
  EXPECT_EQ(request.address(1), 0x0938u);
  EXPECT_EQ(request.value(1), 3000u);
}

TEST(CommandParser, ReadsMemoryCommands) {
  // READMEM 0x0200, count 0x200: payload address, 0000, count.
  const Bytes readmem = {0x42, 0x01, 0x00, 0x84, 0x00, 0x08, 0x00, 0x09,
                         0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x00};
  const auto read = parse_command(readmem);
  ASSERT_TRUE(read);
  EXPECT_EQ(std::get<ReadMemRequest>(read->request).address, 0x0200u);
  EXPECT_EQ(std::get<ReadMemRequest>(read->request).count, 512u);

  // WRITEMEM at 0x00e8 with 4 data bytes, and with none.
  const Bytes writemem = {0x42, 0x01, 0x00, 0x86, 0x00, 0x08, 0x00, 0x0A,
                          0x00, 0x00, 0x00, 0xE8, 'c',  'a',  'm',  0};
  const auto write = parse_command(writemem);
  ASSERT_TRUE(write);
  EXPECT_EQ(std::get<WriteMemRequest>(write->request).address, 0x00E8u);
  EXPECT_EQ(std::get<WriteMemRequest>(write->request).data.size(), 4u);
  const Bytes empty_write = {0x42, 0x01, 0x00, 0x86, 0x00, 0x04, 0x00, 0x0B, 0x00, 0x00, 0x00, 0xE8};
  const auto empty = parse_command(empty_write);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(std::get<WriteMemRequest>(empty->request).data.empty());
}

TEST(CommandParser, ReadsBothPacketResendForms) {
  // Standard: channel 0, block 5, packets 3..4; the top byte of each packet id is reserved.
  const Bytes standard = {0x42, 0x00, 0x00, 0x40, 0x00, 0x0C, 0x00, 0x01, 0x00, 0x00,
                          0x00, 0x05, 0xFF, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x04};
  const auto s = parse_command(standard);
  ASSERT_TRUE(s);
  const auto& sr = std::get<PacketResendRequest>(s->request);
  EXPECT_FALSE(sr.extended);
  EXPECT_EQ(sr.channel, 0);
  EXPECT_EQ(sr.block_id, 5u);
  EXPECT_EQ(sr.first_packet, 3u);
  EXPECT_EQ(sr.last_packet, 4u);
  EXPECT_FALSE(s->header.ack_required());

  // Extended (flag 0x10): channel 1, packets 0x01000000..0x01000002, 64-bit block id.
  const Bytes extended = {0x42, 0x10, 0x00, 0x40, 0x00, 0x14, 0x00, 0x02, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00,
                          0x00, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x09};
  const auto e = parse_command(extended);
  ASSERT_TRUE(e);
  const auto& er = std::get<PacketResendRequest>(e->request);
  EXPECT_TRUE(er.extended);
  EXPECT_EQ(er.channel, 1);
  EXPECT_EQ(er.first_packet, 0x01000000u);
  EXPECT_EQ(er.last_packet, 0x01000002u);
  EXPECT_EQ(er.block_id, 0x0000000100000009u);
}

// Each row: a corruption of a valid command, and the rejection it must get.
TEST(CommandParser, RejectsMalformedCommandsWithTheDeviceStatus) {
  struct Case {
    const char* what;
    Bytes datagram;
    bool answerable;
    std::uint16_t status;
  };
  const Case cases[] = {
      {"empty datagram", {}, false, 0},
      {"7 bytes", {0x42, 0x01, 0x00, 0x80, 0x00, 0x00, 0x00}, false, 0},
      {"key 0x43 at offset 0", {0x43, 0x01, 0x00, 0x80, 0x00, 0x04, 0x00, 0x01, 0, 0, 0, 0}, false, 0},
      {"length 8 with 4 payload bytes",
       {0x42, 0x01, 0x00, 0x80, 0x00, 0x08, 0x00, 0x01, 0, 0, 0, 0},
       true,
       0x800E},
      {"READREG without addresses", {0x42, 0x01, 0x00, 0x80, 0x00, 0x00, 0x00, 0x01}, true, 0x8002},
      {"READREG length 6", {0x42, 0x01, 0x00, 0x80, 0x00, 0x06, 0x00, 0x01, 0, 0, 0, 0, 0, 0}, true, 0x8002},
      {"WRITEREG length 4", {0x42, 0x01, 0x00, 0x82, 0x00, 0x04, 0x00, 0x01, 0, 0, 0x0A, 0}, true, 0x8002},
      {"READMEM count 540",
       {0x42, 0x01, 0x00, 0x84, 0x00, 0x08, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0x02, 0x1C},
       true,
       0x8002},
      {"READMEM reserved bits set",
       {0x42, 0x01, 0x00, 0x84, 0x00, 0x08, 0x00, 0x01, 0, 0, 0, 0, 0, 1, 0, 4},
       true,
       0x8002},
      {"READMEM length 4", {0x42, 0x01, 0x00, 0x84, 0x00, 0x04, 0x00, 0x01, 0, 0, 0, 0}, true, 0x8002},
      {"WRITEMEM without address", {0x42, 0x01, 0x00, 0x86, 0x00, 0x02, 0x00, 0x01, 0, 0}, true, 0x8002},
      {"PACKETRESEND length 8",
       {0x42, 0x00, 0x00, 0x40, 0x00, 0x08, 0x00, 0x01, 0, 0, 0, 1, 0, 0, 0, 1},
       true,
       0x8002},
      {"unknown command 0x1234", {0x42, 0x01, 0x12, 0x34, 0x00, 0x00, 0x00, 0x01}, true, 0x8001},
      {"EVENT sent to a device", {0x42, 0x01, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x01}, true, 0x8001},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto parsed = parse_command(c.datagram);
    ASSERT_FALSE(parsed);
    EXPECT_EQ(parsed.error().header.has_value(), c.answerable);
    if (c.answerable) {
      EXPECT_EQ(parsed.error().status, c.status);
      EXPECT_EQ(parsed.error().header->request_id, 1);
    }
  }
}

TEST(CommandParser, RejectsTooManyRegistersForOneAcknowledge) {
  Bytes datagram = {0x42, 0x01, 0x00, 0x80, 0x02, 0x20, 0x00, 0x01};  // 136 addresses
  datagram.resize(8 + 136 * 4, 0);
  const auto parsed = parse_command(datagram);
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error().status, 0x8002);
  datagram[5] = 0x1C;  // 135 addresses fit
  datagram.resize(8 + 135 * 4);
  EXPECT_TRUE(parse_command(datagram));
}

TEST(CommandParser, BuildsAcknowledges) {
  Bytes out = {0xAA};  // the builder replaces what was there
  const std::uint8_t payload[] = {0x00, 0x00, 0x00, 0x02};
  build_ack(out, 0x0000, 0x0081, 0x1234, payload);
  EXPECT_EQ(out, (Bytes{0x00, 0x00, 0x00, 0x81, 0x00, 0x04, 0x12, 0x34, 0x00, 0x00, 0x00, 0x02}));

  build_ack(out, 0x8006, 0x0083, 7, {});
  EXPECT_EQ(out, (Bytes{0x80, 0x06, 0x00, 0x83, 0x00, 0x00, 0x00, 0x07}));

  // PENDING_ACK: reserved 16 bits, then the time in ms; capped at 65535.
  build_pending_ack(out, 9, 5000);
  EXPECT_EQ(out, (Bytes{0x00, 0x00, 0x00, 0x89, 0x00, 0x04, 0x00, 0x09, 0x00, 0x00, 0x13, 0x88}));
  build_pending_ack(out, 9, 100000);
  EXPECT_EQ(out[10], 0xFF);
  EXPECT_EQ(out[11], 0xFF);
}

TEST(CommandParser, BuildsEventsWithAndWithoutData) {
  EventMessage event;
  event.event_id = 0x9000;
  event.stream_channel = 0;
  event.block_id = 0x0102;
  event.timestamp = 0x0000000100000002;
  event.ack_required = true;
  Bytes out;
  build_event(out, event, 0x0033);
  EXPECT_EQ(out, (Bytes{0x42, 0x01, 0x00, 0xC0, 0x00, 0x10, 0x00, 0x33,  // header
                        0x00, 0x00, 0x90, 0x00, 0x00, 0x00, 0x01, 0x02,  // reserved, id, channel, block
                        0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02}));

  event.with_data = true;
  event.ack_required = false;
  event.data = {0xDE, 0xAD};
  build_event(out, event, 0x0034);
  ASSERT_EQ(out.size(), 8u + 16 + 2);
  EXPECT_EQ(out[1], 0x00);
  EXPECT_EQ(out[3], 0xC2);
  EXPECT_EQ(out[5], 18);
  EXPECT_EQ(out[24], 0xDE);
  EXPECT_EQ(out[25], 0xAD);
}

TEST(CommandParser, ReadsHostAcknowledgesOnly) {
  const Bytes event_ack = {0x00, 0x00, 0x00, 0xC1, 0x00, 0x00, 0x12, 0x34};
  const auto ack = parse_host_ack(event_ack);
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->ack_code, 0x00C1);
  EXPECT_EQ(ack->ack_id, 0x1234);
  EXPECT_FALSE(parse_host_ack(Bytes{0x42, 0x00, 0x00, 0xC1, 0x00, 0x00, 0x12, 0x34}));
  EXPECT_FALSE(parse_host_ack(Bytes{0x00, 0x00, 0x00, 0xC1, 0x00, 0x04, 0x12, 0x34}));
  EXPECT_FALSE(parse_host_ack(Bytes{0x00, 0x00, 0x00}));
}

}  // namespace
}  // namespace corvantic::sim
