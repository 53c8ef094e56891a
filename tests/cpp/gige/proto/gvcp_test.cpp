#include "gige/proto/gvcp.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <set>
#include <vector>

namespace corvantic::gige::proto {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes to_bytes(std::span<const std::uint8_t> s) { return Bytes(s.begin(), s.end()); }

// ---- Request ids

TEST(RequestIds, CountsFromOneAndWrapsAfterFffe) {
  RequestIds ids;
  EXPECT_EQ(ids.next(), 1);
  EXPECT_EQ(ids.next(), 2);
  for (int i = 3; i < 0xFFFE; ++i) (void)ids.next();
  EXPECT_EQ(ids.next(), 0xFFFE);
  EXPECT_EQ(ids.next(), 1);
  EXPECT_EQ(ids.next(), 2);
}

TEST(RequestIds, NeverHandsOutZeroOrTheDiscoveryId) {
  RequestIds ids;
  std::set<std::uint16_t> seen;
  for (int i = 0; i < 3 * 0x10000; ++i) seen.insert(ids.next());
  EXPECT_FALSE(seen.contains(0));
  EXPECT_FALSE(seen.contains(DISCOVERY_REQUEST_ID));
  EXPECT_EQ(seen.size(), 0xFFFEu);
}

// ---- Encoders: golden datagrams

TEST(EncodeDiscovery, FixedEightBytes) {
  EXPECT_EQ(encode_discovery(), (Bytes{0x42, 0x11, 0x00, 0x02, 0x00, 0x00, 0xFF, 0xFF}));
}

TEST(EncodeReadreg, ThreeAddresses) {
  const std::uint32_t addresses[] = {0x0000, 0x0A00, 0x0934};
  const Bytes expected = {
      0x42, 0x01, 0x00, 0x80,  // 0: key, ack required, READREG
      0x00, 0x0C, 0x00, 0x07,  // 4: length 12, request id 7
      0x00, 0x00, 0x00, 0x00,  // 8: 0x0000
      0x00, 0x00, 0x0A, 0x00,  // 12: 0x0a00
      0x00, 0x00, 0x09, 0x34,  // 16: 0x0934
  };
  EXPECT_EQ(encode_readreg(addresses, 7), expected);
}

TEST(EncodeReadreg, OneAddressUsesFullWidthFields) {
  const std::uint32_t address[] = {0xDEADBEEF};
  const Bytes expected = {0x42, 0x01, 0x00, 0x80, 0x00, 0x04, 0xFF, 0xFE, 0xDE, 0xAD, 0xBE, 0xEF};
  EXPECT_EQ(encode_readreg(address, 0xFFFE), expected);
}

TEST(EncodeWritereg, OnePair) {
  const RegisterWrite writes[] = {{0x0A00, 0}};
  const Bytes expected = {
      0x42, 0x01, 0x00, 0x82,  // 0: key, ack required, WRITEREG
      0x00, 0x08, 0x01, 0x02,  // 4: length 8, request id 0x0102
      0x00, 0x00, 0x0A, 0x00,  // 8: address
      0x00, 0x00, 0x00, 0x00,  // 12: value
  };
  EXPECT_EQ(encode_writereg(writes, 0x0102), expected);
}

TEST(EncodeWritereg, PairsKeepTheirOrder) {
  const RegisterWrite writes[] = {{0x0D18, 0x7F000001}, {0x0D00, 0xC350}};
  const Bytes expected = {
      0x42, 0x01, 0x00, 0x82, 0x00, 0x10, 0x00, 0x03,  // 0: length 16, request id 3
      0x00, 0x00, 0x0D, 0x18, 0x7F, 0x00, 0x00, 0x01,  // 8: first pair
      0x00, 0x00, 0x0D, 0x00, 0x00, 0x00, 0xC3, 0x50,  // 16: second pair
  };
  EXPECT_EQ(encode_writereg(writes, 3), expected);
}

TEST(MemReadChunkCount, RoundsUpToFourAndCapsAt512) {
  struct Case {
    std::size_t remaining;
    std::uint16_t count;
  };
  const Case cases[] = {
      {0, 0},     {1, 4},     {4, 4},     {6, 8},     {276, 276},
      {509, 512}, {511, 512}, {512, 512}, {513, 512}, {2000, 512},
      {std::numeric_limits<std::size_t>::max(), 512},
  };
  for (const auto& c : cases) EXPECT_EQ(mem_read_chunk_count(c.remaining), c.count) << c.remaining;
}

TEST(MemReadChunkCount, A1300ByteReadIsThreeChunks) {
  std::vector<std::uint16_t> chunks;
  for (std::size_t remaining = 1300; remaining > 0;) {
    chunks.push_back(mem_read_chunk_count(remaining));
    remaining -= std::min<std::size_t>(chunks.back(), remaining);
  }
  EXPECT_EQ(chunks, (std::vector<std::uint16_t>{512, 512, 276}));
}

TEST(EncodeReadmem, AddressThenCount) {
  const Bytes expected = {
      0x42, 0x01, 0x00, 0x84,  // 0: key, ack required, READMEM
      0x00, 0x08, 0x00, 0x09,  // 4: length 8, request id 9
      0x00, 0x00, 0x02, 0x00,  // 8: address
      0x00, 0x00, 0x02, 0x00,  // 12: count, upper 16 bits 0
  };
  EXPECT_EQ(encode_readmem(0x00000200, 512, 9), expected);
}

TEST(EncodeWritemem, SendsDataUnpadded) {
  const std::uint8_t data[] = {1, 2, 3, 4, 5, 6};
  const Bytes expected = {
      0x42, 0x01, 0x00, 0x86,  // 0: key, ack required, WRITEMEM
      0x00, 0x0A, 0x0A, 0x0B,  // 4: length 4 + 6, request id 0x0a0b
      0x12, 0x34, 0x56, 0x78,  // 8: address
      1, 2, 3, 4, 5, 6,        // 12: data
  };
  EXPECT_EQ(encode_writemem(0x12345678, data, 0x0A0B), expected);
}

TEST(EncodeWritemem, EmptyDataCarriesOnlyTheAddress) {
  const Bytes expected = {0x42, 0x01, 0x00, 0x86, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x10, 0x00};
  EXPECT_EQ(encode_writemem(0x1000, {}, 1), expected);
}

TEST(EncodeWritemem, FullChunkLengthField) {
  const Bytes data(MAX_MEM_CHUNK, 0xAB);
  const Bytes out = encode_writemem(0, data, 1);
  ASSERT_EQ(out.size(), 12 + MAX_MEM_CHUNK);
  EXPECT_EQ(out[4], 0x02);  // length 516 = 0x0204
  EXPECT_EQ(out[5], 0x04);
  EXPECT_EQ(Bytes(out.begin() + 12, out.end()), data);
}

// The buffer is pre-filled so that bytes beyond the message show as 0xEE.
std::array<std::uint8_t, PACKETRESEND_MAX_SIZE> resend_buffer() {
  std::array<std::uint8_t, PACKETRESEND_MAX_SIZE> buf;
  buf.fill(0xEE);
  return buf;
}

TEST(EncodePacketresend, StandardForm) {
  auto buf = resend_buffer();
  const Bytes expected = {
      0x42, 0x00, 0x00, 0x40,  // 0: key, no ack, PACKETRESEND
      0x00, 0x0C, 0x00, 0x01,  // 4: length 12, request id 1
      0x00, 0x00, 0x00, 0x05,  // 8: channel 0, block 5
      0x00, 0x00, 0x00, 0x03,  // 12: first packet
      0x00, 0x00, 0x00, 0x04,  // 16: last packet
  };
  ASSERT_EQ(encode_packetresend(buf, 0, 5, 3, 4, false, 1), 20u);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 20), expected);
  EXPECT_EQ(Bytes(buf.begin() + 20, buf.end()), Bytes(8, 0xEE));
}

TEST(EncodePacketresend, StandardFormMasksPacketIdsTo24Bits) {
  auto buf = resend_buffer();
  const Bytes expected_payload = {
      0x00, 0x03, 0xFF, 0xFF,  // 8: channel 3, block 0xffff
      0x00, 0x12, 0x34, 0x56,  // 12: first, top byte cleared
      0x00, 0x00, 0x00, 0x01,  // 16: last, top byte cleared
  };
  ASSERT_EQ(encode_packetresend(buf, 3, 0xFFFF, 0xAB123456, 0xFF000001, false, 0x2222), 20u);
  EXPECT_EQ(Bytes(buf.begin() + 8, buf.begin() + 20), expected_payload);
}

TEST(EncodePacketresend, ExtendedForm) {
  auto buf = resend_buffer();
  const Bytes expected = {
      0x42, 0x10, 0x00, 0x40,                          // 0: key, extended id flag, PACKETRESEND
      0x00, 0x14, 0x03, 0x04,                          // 4: length 20, request id 0x0304
      0x01, 0x02, 0x00, 0x00,                          // 8: channel 0x0102, 16-bit block id 0
      0xAB, 0x12, 0x34, 0x56,                          // 12: first packet, 32 bits
      0xAB, 0x12, 0x34, 0x60,                          // 16: last packet, 32 bits
      0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  // 20: 64-bit block id
  };
  ASSERT_EQ(encode_packetresend(buf, 0x0102, 0x0102030405060708, 0xAB123456, 0xAB123460, true, 0x0304), 28u);
  EXPECT_EQ(Bytes(buf.begin(), buf.end()), expected);
}

TEST(EncodeEventAck, AnswersEventAndEventdata) {
  const Bytes event_ack = {0x00, 0x00, 0x00, 0xC1, 0x00, 0x00, 0x12, 0x34};
  EXPECT_EQ(to_bytes(encode_event_ack(GVCP_EVENT, 0x1234)), event_ack);
  const Bytes eventdata_ack = {0x00, 0x00, 0x00, 0xC3, 0x00, 0x00, 0xFF, 0xFF};
  EXPECT_EQ(to_bytes(encode_event_ack(GVCP_EVENTDATA, 0xFFFF)), eventdata_ack);
}

// ---- Framing

TEST(ClassifyDatagram, KeyByteMeansCommandWhateverFollows) {
  EXPECT_EQ(classify_datagram(Bytes{0x42}), GvcpDatagramKind::DeviceCommand);
  // Would be a valid DISCOVERY_ACK header apart from its first byte.
  EXPECT_EQ(classify_datagram(Bytes{0x42, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01}),
            GvcpDatagramKind::DeviceCommand);
  EXPECT_EQ(classify_datagram(Bytes{}), GvcpDatagramKind::Acknowledge);
  EXPECT_EQ(classify_datagram(Bytes{0x00, 0x42}), GvcpDatagramKind::Acknowledge);
  EXPECT_EQ(classify_datagram(Bytes{0x43}), GvcpDatagramKind::Acknowledge);
}

// A READREG_ACK answering request 7 with the values of 0x0a00 and 0x0934.
const Bytes READREG_ACK = {
    0x00, 0x00,              // 0: status success
    0x00, 0x81,              // 2: READREG_ACK
    0x00, 0x08,              // 4: length 8
    0x00, 0x07,              // 6: ack id 7
    0x00, 0x00, 0x00, 0x02,  // 8: first value
    0x00, 0x00, 0x00, 0x07,  // 12: second value
};

TEST(ParseAck, Golden) {
  const auto ack = parse_ack(READREG_ACK);
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->header.status, GvcpStatus{GvcpStatus::SUCCESS});
  EXPECT_EQ(ack->header.acknowledge, GVCP_READREG_ACK);
  EXPECT_EQ(ack->header.length, 8);
  EXPECT_EQ(ack->header.ack_id, 7);
  EXPECT_EQ(ack->payload.data(), READREG_ACK.data() + 8);
  EXPECT_EQ(ack->payload.size(), 8u);
}

TEST(ParseAck, TruncatedAnywhereIsRejected) {
  for (std::size_t size = 0; size < READREG_ACK.size(); ++size) {
    EXPECT_FALSE(parse_ack(std::span(READREG_ACK).first(size))) << "truncated to " << size;
  }
}

TEST(ParseAck, LengthFieldAtOffset4) {
  Bytes claims_more = READREG_ACK;
  claims_more[5] = 0x09;  // 9 payload bytes claimed, 8 present
  EXPECT_FALSE(parse_ack(claims_more));

  Bytes claims_huge = READREG_ACK;
  claims_huge[4] = 0xFF;
  claims_huge[5] = 0xFF;
  EXPECT_FALSE(parse_ack(claims_huge));

  Bytes claims_less = READREG_ACK;
  claims_less[5] = 0x04;
  const auto ack = parse_ack(claims_less);
  ASSERT_TRUE(ack);
  EXPECT_EQ(to_bytes(ack->payload), (Bytes{0x00, 0x00, 0x00, 0x02}));
}

TEST(ParseAck, IgnoresBytesBeyondThePayload) {
  Bytes wire = {0x00, 0x00, 0x00, 0x85, 0x00, 0x08, 0x00, 0x01};  // length 8
  for (std::uint8_t b = 1; b <= 12; ++b) wire.push_back(b);        // 20 bytes after the header
  const auto ack = parse_ack(wire);
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->header.length, 8);
  EXPECT_EQ(to_bytes(ack->payload), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(ParseAck, HeaderAloneHasEmptyPayload) {
  const auto ack = parse_ack(Bytes{0x80, 0x06, 0x00, 0x83, 0x00, 0x00, 0xAB, 0xCD});
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->header.status, GvcpStatus{GvcpStatus::ACCESS_DENIED});
  EXPECT_EQ(ack->header.acknowledge, GVCP_WRITEREG_ACK);
  EXPECT_EQ(ack->header.ack_id, 0xABCD);
  EXPECT_TRUE(ack->payload.empty());
}

TEST(ParseAck, KeyByteAtOffset0IsNeverAnAcknowledge) {
  Bytes keyed = READREG_ACK;
  keyed[0] = GVCP_KEY;
  EXPECT_FALSE(parse_ack(keyed));
}

// An EVENT from the device, request id 0x1234, acknowledge required.
const Bytes EVENT_COMMAND = {
    0x42, 0x01,                                      // 0: key, ack required
    0x00, 0xC0,                                      // 2: EVENT
    0x00, 0x14,                                      // 4: length 20
    0x12, 0x34,                                      // 6: request id
    0xAA, 0xBB,                                      // 8: reserved, not read
    0x90, 0x01,                                      // 10: event id
    0x00, 0x02,                                      // 12: stream channel
    0x00, 0x63,                                      // 14: block id
    0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05,  // 16: timestamp
    0xD0, 0xD1, 0xD2, 0xD3,                          // 24: data
};

TEST(ParseDeviceCommand, Golden) {
  const auto cmd = parse_device_command(EVENT_COMMAND);
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->header.flags, 0x01);
  EXPECT_TRUE(cmd->header.ack_required());
  EXPECT_EQ(cmd->header.command, GVCP_EVENT);
  EXPECT_EQ(cmd->header.length, 20);
  EXPECT_EQ(cmd->header.request_id, 0x1234);
  EXPECT_EQ(cmd->payload.data(), EVENT_COMMAND.data() + 8);
  EXPECT_EQ(cmd->payload.size(), 20u);
}

TEST(ParseDeviceCommand, TruncatedAnywhereIsRejected) {
  for (std::size_t size = 0; size < EVENT_COMMAND.size(); ++size) {
    EXPECT_FALSE(parse_device_command(std::span(EVENT_COMMAND).first(size))) << "truncated to " << size;
  }
}

TEST(ParseDeviceCommand, CorruptedAtNamedOffsets) {
  Bytes claims_more = EVENT_COMMAND;
  claims_more[5] = 0x15;  // offset 4: 21 payload bytes claimed, 20 present
  EXPECT_FALSE(parse_device_command(claims_more));

  Bytes not_keyed = EVENT_COMMAND;
  not_keyed[0] = 0x43;  // offset 0: not the command key
  EXPECT_FALSE(parse_device_command(not_keyed));

  Bytes no_ack = EVENT_COMMAND;
  no_ack[1] = 0x10;  // offset 1: another flag, no ack required
  const auto cmd = parse_device_command(no_ack);
  ASSERT_TRUE(cmd);
  EXPECT_FALSE(cmd->header.ack_required());
}

// ---- Acknowledge payloads

TEST(ReadregAckValues, WholeWordsOnly) {
  EXPECT_EQ(readreg_ack_values(std::span(READREG_ACK).subspan(8)), (std::vector<std::uint32_t>{2, 7}));
  const Bytes partial = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};  // one word and two stray bytes
  EXPECT_EQ(readreg_ack_values(partial), (std::vector<std::uint32_t>{0x12345678}));
  EXPECT_TRUE(readreg_ack_values(Bytes{0x01, 0x02, 0x03}).empty());
  EXPECT_TRUE(readreg_ack_values(Bytes{}).empty());
}

TEST(ReadmemAckData, DataFollowsTheEchoedAddress) {
  const Bytes payload = {0x00, 0x00, 0x02, 0x00, 'a', 'b', 'c'};
  const auto data = readmem_ack_data(payload);
  ASSERT_TRUE(data);
  EXPECT_EQ(to_bytes(*data), (Bytes{'a', 'b', 'c'}));
}

TEST(ReadmemAckData, AddressOnlyIsEmptyDataAndShorterIsNothing) {
  const auto empty = readmem_ack_data(Bytes{0x00, 0x00, 0x02, 0x00});
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
  EXPECT_FALSE(readmem_ack_data(Bytes{0x00, 0x00, 0x02}));
  EXPECT_FALSE(readmem_ack_data(Bytes{}));
}

TEST(ReadmemAckData, StopsAtTheLengthField) {
  // length 6: address and two data bytes; the two bytes after them are not data.
  const Bytes wire = {0x00, 0x00, 0x00, 0x85, 0x00, 0x06, 0x00, 0x02, 0, 0, 0, 0, 'x', 'y', 'z', 'z'};
  const auto ack = parse_ack(wire);
  ASSERT_TRUE(ack);
  const auto data = readmem_ack_data(ack->payload);
  ASSERT_TRUE(data);
  EXPECT_EQ(to_bytes(*data), (Bytes{'x', 'y'}));
}

GvcpAck ack_of(std::uint16_t code, std::span<const std::uint8_t> payload) {
  return GvcpAck{.header = {.acknowledge = code, .length = static_cast<std::uint16_t>(payload.size())},
                 .payload = payload};
}

TEST(PendingAckTimeout, ReadsFirstFourPayloadBytes) {
  using std::chrono::milliseconds;
  const Bytes five_s = {0x00, 0x00, 0x13, 0x88};
  EXPECT_EQ(pending_ack_timeout(ack_of(GVCP_PENDING_ACK, five_s)), milliseconds(5000));
  const Bytes large = {0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF};  // a 32-bit count; bytes after it not read
  EXPECT_EQ(pending_ack_timeout(ack_of(GVCP_PENDING_ACK, large)), milliseconds(0x01000000));
}

TEST(PendingAckTimeout, ShortPayloadOrOtherCodeIsNotPending) {
  const Bytes three = {0x00, 0x13, 0x88};
  EXPECT_FALSE(pending_ack_timeout(ack_of(GVCP_PENDING_ACK, three)));
  EXPECT_FALSE(pending_ack_timeout(ack_of(GVCP_PENDING_ACK, {})));
  const Bytes four = {0x00, 0x00, 0x13, 0x88};
  EXPECT_FALSE(pending_ack_timeout(ack_of(GVCP_READREG_ACK, four)));
}

TEST(PendingAckTimeout, FromTheWire) {
  const Bytes wire = {0x00, 0x00, 0x00, 0x89, 0x00, 0x04, 0x00, 0x05, 0x00, 0x00, 0x00, 0x64};
  const auto ack = parse_ack(wire);
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->header.ack_id, 5);
  EXPECT_EQ(pending_ack_timeout(*ack), std::chrono::milliseconds(100));
}

// A DISCOVERY_ACK header with a 4-byte payload; the payload size is the identity parser's concern.
const Bytes DISCOVERY_ACK = {
    0x00, 0x00,             // 0: status success
    0x00, 0x03,             // 2: DISCOVERY_ACK
    0x00, 0x04,             // 4: length 4
    0xFF, 0xFF,             // 6: ack id
    0x00, 0x02, 0x00, 0x01  // 8: payload
};

TEST(DiscoveryAckPayload, AcceptsSuccessWithAnyAckId) {
  Bytes other_id = DISCOVERY_ACK;
  other_id[7] = 0x01;
  for (const Bytes& wire : {DISCOVERY_ACK, other_id}) {
    const auto payload = discovery_ack_payload(wire);
    ASSERT_TRUE(payload);
    EXPECT_EQ(to_bytes(*payload), (Bytes{0x00, 0x02, 0x00, 0x01}));
  }
}

TEST(DiscoveryAckPayload, RejectionsAtNamedOffsets) {
  struct Case {
    const char* what;
    std::size_t offset;
    std::uint8_t value;
    bool accepted;
  };
  const Case cases[] = {
      {"error status", 0, 0x80, false},
      {"non-error status other than success", 0, 0x01, true},
      {"key byte at offset 0", 0, 0x42, false},
      {"READREG_ACK code", 3, 0x81, false},
      {"length beyond the datagram", 5, 0x05, false},
  };
  for (const auto& c : cases) {
    Bytes wire = DISCOVERY_ACK;
    wire[c.offset] = c.value;
    EXPECT_EQ(discovery_ack_payload(wire).has_value(), c.accepted) << c.what;
  }
  EXPECT_FALSE(discovery_ack_payload(std::span(DISCOVERY_ACK).first(7)));
}

// ---- Events

// The golden command as an EVENTDATA: one record, then its data.
Bytes eventdata_command() {
  Bytes wire = EVENT_COMMAND;
  wire[3] = 0xC2;
  return wire;
}

TEST(ParseDeviceEvents, EventdataIsOneRecordWithItsData) {
  const Bytes wire = eventdata_command();
  const auto events = parse_device_events(*parse_device_command(wire));
  ASSERT_EQ(events.size(), 1u);
  const DeviceEvent& event = events[0];
  EXPECT_EQ(event.command, GVCP_EVENTDATA);
  EXPECT_EQ(event.event_id, 0x9001);
  EXPECT_EQ(event.stream_channel, 2);
  EXPECT_EQ(event.block_id, 0x63u);
  EXPECT_EQ(event.timestamp, 0x0000000102030405u);
  EXPECT_FALSE(event.extended_id);
  EXPECT_EQ(to_bytes(event.data()), (Bytes{0xD0, 0xD1, 0xD2, 0xD3}));
  // The whole record, header included: descriptions address it so.
  EXPECT_EQ(event.raw, Bytes(wire.begin() + 8, wire.end()));
}

TEST(ParseDeviceEvents, RawStopsAtTheLengthField) {
  Bytes wire = eventdata_command();
  wire[5] = 18;  // offset 4: two of the four data bytes
  const auto events = parse_device_events(*parse_device_command(wire));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].raw.size(), 18u);
  EXPECT_EQ(to_bytes(events[0].data()), (Bytes{0xD0, 0xD1}));
}

// An EVENT of three records, acknowledge required: each record is an event
// of its own, without data.
TEST(ParseDeviceEvents, EachRecordOfAnEventIsAnEvent) {
  const Bytes wire = {
      0x42, 0x01, 0x00, 0xC0, 0x00, 0x30, 0x00, 0x07,                  // 0: header, length 48
      0x00, 0x00, 0x90, 0x01, 0x00, 0x00, 0x00, 0x01,                  // 8: 0x9001, channel 0, block 1
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0A,                  // 16: timestamp 10
      0x00, 0x00, 0x90, 0x02, 0xFF, 0xFF, 0x00, 0x02,                  // 24: 0x9002, no channel, block 2
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0B,                  // 32: timestamp 11
      0x00, 0x00, 0x4F, 0xFF, 0x00, 0x01, 0x00, 0x03,                  // 40: 0x4fff, channel 1, block 3
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0C,                  // 48: timestamp 12
  };
  std::size_t trailing = 99;
  const auto events = parse_device_events(*parse_device_command(wire), &trailing);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(trailing, 0u);
  struct Expected {
    std::uint16_t id, channel;
    std::uint64_t block, timestamp;
  };
  const Expected expected[] = {{0x9001, 0, 1, 10}, {0x9002, 0xFFFF, 2, 11}, {0x4FFF, 1, 3, 12}};
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(events[i].command, GVCP_EVENT);
    EXPECT_EQ(events[i].event_id, expected[i].id);
    EXPECT_EQ(events[i].stream_channel, expected[i].channel);
    EXPECT_EQ(events[i].block_id, expected[i].block);
    EXPECT_EQ(events[i].timestamp, expected[i].timestamp);
    EXPECT_EQ(events[i].raw, Bytes(wire.begin() + 8 + 16 * i, wire.begin() + 24 + 16 * i));
    EXPECT_TRUE(events[i].data().empty());
  }
}

// Extended ids (flag 0x10): 24-byte records with a 64-bit block id.
TEST(ParseDeviceEvents, ExtendedRecordsCarry64BitBlockIds) {
  const Bytes record = {
      0x00, 0x18, 0x90, 0x01, 0x00, 0x00, 0x00, 0x00,  // 0: size 24, 0x9001, channel 0, 0
      0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02,  // 8: block id 0x100000002
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x30, 0x39,  // 16: timestamp 12345
  };
  Bytes event_wire = {0x42, 0x11, 0x00, 0xC0, 0x00, 0x30, 0x00, 0x08};
  event_wire.insert(event_wire.end(), record.begin(), record.end());
  event_wire.insert(event_wire.end(), record.begin(), record.end());
  event_wire[8 + 24 + 15] = 0x03;  // the second record's block id ends in 3
  const auto events = parse_device_events(*parse_device_command(event_wire));
  ASSERT_EQ(events.size(), 2u);
  EXPECT_TRUE(events[0].extended_id);
  EXPECT_EQ(events[0].block_id, 0x100000002u);
  EXPECT_EQ(events[1].block_id, 0x100000003u);
  EXPECT_EQ(events[0].timestamp, 12345u);
  EXPECT_EQ(events[0].header_size(), EXTENDED_EVENT_RECORD_SIZE);

  Bytes data_wire = {0x42, 0x11, 0x00, 0xC2, 0x00, 0x1A, 0x00, 0x09};
  data_wire.insert(data_wire.end(), record.begin(), record.end());
  data_wire.insert(data_wire.end(), {0xAB, 0xCD});
  const auto with_data = parse_device_events(*parse_device_command(data_wire));
  ASSERT_EQ(with_data.size(), 1u);
  EXPECT_EQ(with_data[0].block_id, 0x100000002u);
  EXPECT_EQ(to_bytes(with_data[0].data()), (Bytes{0xAB, 0xCD}));
  EXPECT_EQ(with_data[0].raw.size(), 26u);
}

// Bytes after the last whole record of an EVENT are no event; they are
// counted for the caller to report.
TEST(ParseDeviceEvents, BytesAfterTheLastWholeRecordAreLeftOut) {
  Bytes wire = EVENT_COMMAND;  // an EVENT of one record and four more bytes
  std::size_t trailing = 0;
  const auto events = parse_device_events(*parse_device_command(wire), &trailing);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(trailing, 4u);
  EXPECT_EQ(events[0].raw, Bytes(wire.begin() + 8, wire.begin() + 24));
  EXPECT_TRUE(events[0].data().empty());
}

// A payload cut short: a field is 0 unless all its bytes are present, even
// when some of them are.
TEST(ParseDeviceEvents, MissingBytesGiveZeroFields) {
  const Bytes full(EVENT_COMMAND.begin() + 8, EVENT_COMMAND.begin() + 24);  // the 16-byte record
  struct Case {
    std::size_t size;
    std::uint16_t event_id, stream_channel, block_id;
    std::uint64_t timestamp;
  };
  const Case cases[] = {
      {0, 0, 0, 0, 0},           {3, 0, 0, 0, 0},
      {4, 0x9001, 0, 0, 0},      {5, 0x9001, 0, 0, 0},
      {6, 0x9001, 2, 0, 0},      {7, 0x9001, 2, 0, 0},
      {8, 0x9001, 2, 0x63, 0},   {15, 0x9001, 2, 0x63, 0},
      {16, 0x9001, 2, 0x63, 0x0000000102030405},
  };
  for (const std::uint16_t code : {GVCP_EVENT, GVCP_EVENTDATA}) {
    for (const auto& c : cases) {
      const std::span payload = std::span(full).first(c.size);
      const GvcpCommand command{.header = {.command = code}, .payload = payload};
      const auto events = parse_device_events(command);
      ASSERT_EQ(events.size(), 1u) << c.size;
      const DeviceEvent& event = events[0];
      EXPECT_EQ(event.command, code);
      EXPECT_EQ(event.event_id, c.event_id) << c.size;
      EXPECT_EQ(event.stream_channel, c.stream_channel) << c.size;
      EXPECT_EQ(event.block_id, c.block_id) << c.size;
      EXPECT_EQ(event.timestamp, c.timestamp) << c.size;
      EXPECT_EQ(event.raw, to_bytes(payload)) << c.size;
      EXPECT_TRUE(event.data().empty()) << c.size;
    }
  }
}

TEST(ParseDeviceEvents, OtherCommandsAreNotEvents) {
  const std::uint16_t codes[] = {GVCP_DISCOVERY, GVCP_READREG, GVCP_EVENT_ACK, 0x00C4};
  for (const std::uint16_t code : codes) {
    EXPECT_TRUE(parse_device_events(GvcpCommand{.header = {.command = code}, .payload = EVENT_COMMAND}).empty())
        << code;
  }
}

}  // namespace
}  // namespace corvantic::gige::proto
