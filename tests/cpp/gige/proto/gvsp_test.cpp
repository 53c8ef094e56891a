#include "gige/proto/gvsp.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

namespace corvantic::gige::proto {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes to_bytes(std::span<const std::uint8_t> s) { return Bytes(s.begin(), s.end()); }

// ---- Header

// A standard-form data packet: block 0x1234, packet 5, three data bytes.
const Bytes STANDARD_DATA = {
    0x00, 0x00,        // 0: status success
    0x12, 0x34,        // 2: block id
    0x03,              // 4: EI clear, format 3 (data payload)
    0x00, 0x00, 0x05,  // 5: packet id
    0xD0, 0xD1, 0xD2,  // 8: payload
};

// An extended-form leader: block 0x0102030405060708, packet 0, two payload bytes.
const Bytes EXTENDED_LEADER = {
    0x01, 0x00,                                      // 0: status 0x0100 (packet resend)
    0xEE, 0xEE,                                      // 2: not read
    0x81,                                            // 4: EI set, format 1 (leader)
    0xEE, 0xEE, 0xEE,                                // 5: not read
    0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  // 8: block id
    0x00, 0x00, 0x00, 0x00,                          // 16: packet id
    0xA0, 0xA1,                                      // 20: payload
};

TEST(ParseHeader, StandardGolden) {
  const auto h = parse_header(STANDARD_DATA);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->status, 0);
  EXPECT_FALSE(h->is_error());
  EXPECT_EQ(h->block_id, 0x1234u);
  EXPECT_EQ(h->format, GVSP_FORMAT_DATA);
  EXPECT_EQ(h->packet_id, 5u);
  EXPECT_FALSE(h->extended);
  EXPECT_EQ(h->payload.data(), STANDARD_DATA.data() + 8);
  EXPECT_EQ(to_bytes(h->payload), (Bytes{0xD0, 0xD1, 0xD2}));
}

TEST(ParseHeader, ExtendedGolden) {
  const auto h = parse_header(EXTENDED_LEADER);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->status, GvcpStatus::PACKET_RESEND);
  EXPECT_FALSE(h->is_error());
  EXPECT_EQ(h->block_id, 0x0102030405060708u);
  EXPECT_EQ(h->format, GVSP_FORMAT_LEADER);
  EXPECT_EQ(h->packet_id, 0u);
  EXPECT_TRUE(h->extended);
  EXPECT_EQ(h->payload.data(), EXTENDED_LEADER.data() + 20);
  EXPECT_EQ(h->payload.size(), 2u);
}

TEST(ParseHeader, TruncatedBelowEachFormsHeaderIsIgnored) {
  for (std::size_t size = 0; size < 8; ++size) {
    EXPECT_FALSE(parse_header(std::span(STANDARD_DATA).first(size))) << "truncated to " << size;
  }
  for (std::size_t size = 0; size < 20; ++size) {
    EXPECT_FALSE(parse_header(std::span(EXTENDED_LEADER).first(size))) << "truncated to " << size;
  }
  // Exactly a header: an empty payload.
  const auto standard = parse_header(std::span(STANDARD_DATA).first(8));
  ASSERT_TRUE(standard);
  EXPECT_TRUE(standard->payload.empty());
  const auto extended = parse_header(std::span(EXTENDED_LEADER).first(20));
  ASSERT_TRUE(extended);
  EXPECT_TRUE(extended->payload.empty());
}

TEST(ParseHeader, EiFlagAtOffset4SelectsTheExtendedForm) {
  // 00 00 12 34 83 00 00 05: as 8 bytes too short for the extended form.
  Bytes flagged(STANDARD_DATA.begin(), STANDARD_DATA.begin() + 8);
  flagged[4] = 0x83;
  EXPECT_FALSE(parse_header(flagged));

  // Padded to 20 bytes the ids come from offsets 8 and 16, not 2 and 5.
  for (std::uint8_t b = 1; b <= 12; ++b) flagged.push_back(b);
  const auto h = parse_header(flagged);
  ASSERT_TRUE(h);
  EXPECT_TRUE(h->extended);
  EXPECT_EQ(h->format, GVSP_FORMAT_DATA);
  EXPECT_EQ(h->block_id, 0x0102030405060708u);
  EXPECT_EQ(h->packet_id, 0x090A0B0Cu);
  EXPECT_TRUE(h->payload.empty());
}

TEST(ParseHeader, CorruptedAtNamedOffsets) {
  Bytes error = STANDARD_DATA;
  error[0] = 0x80;  // offset 0: status 0x800c
  error[1] = 0x0C;
  const auto e = parse_header(error);
  ASSERT_TRUE(e);
  EXPECT_TRUE(e->is_error());
  EXPECT_EQ(e->status, 0x800C);

  Bytes format = STANDARD_DATA;
  format[4] = 0x7F;  // offset 4: EI clear, format 127 (unknown, still parsed)
  const auto f = parse_header(format);
  ASSERT_TRUE(f);
  EXPECT_FALSE(f->extended);
  EXPECT_EQ(f->format, 0x7F);

  Bytes wide_id = STANDARD_DATA;
  wide_id[5] = 0xFF;  // offset 5: the top byte of the 24-bit packet id
  const auto w = parse_header(wide_id);
  ASSERT_TRUE(w);
  EXPECT_EQ(w->packet_id, 0x00FF0005u);

  Bytes ext_id = EXTENDED_LEADER;
  ext_id[16] = 0xFF;  // offset 16: the extended packet id uses all 32 bits
  ext_id[19] = 0x01;
  const auto x = parse_header(ext_id);
  ASSERT_TRUE(x);
  EXPECT_EQ(x->packet_id, 0xFF000001u);
}

TEST(ResendImpossible, OnlyTheThreeRemovedOrUnavailableStatuses) {
  EXPECT_TRUE(resend_impossible(0x800C));
  EXPECT_TRUE(resend_impossible(0x8011));
  EXPECT_TRUE(resend_impossible(0x8012));
  for (std::uint16_t status : {0x0000, 0x0100, 0x8001, 0x800D, 0x8010, 0x8013, 0x8014, 0x8FFF}) {
    EXPECT_FALSE(resend_impossible(status)) << std::hex << status;
  }
}

// ---- Leader

// A leader payload: Mono8 640x480 at (16, 8), type 1 with the extended-chunk bit.
const Bytes LEADER_PAYLOAD = {
    0xEE, 0xEE,                                      // 0: not read
    0x40, 0x01,                                      // 2: payload type 0x4001
    0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05,  // 4: timestamp
    0x01, 0x08, 0x00, 0x01,                          // 12: pixel format Mono8
    0x00, 0x00, 0x02, 0x80,                          // 16: size_x 640
    0x00, 0x00, 0x01, 0xE0,                          // 20: size_y 480
    0x00, 0x00, 0x00, 0x10,                          // 24: offset_x 16
    0x00, 0x00, 0x00, 0x08,                          // 28: offset_y 8
    0x00, 0x02,                                      // 32: padding_x
    0x00, 0x03,                                      // 34: padding_y
};

TEST(ParseLeader, Golden) {
  const auto leader = parse_leader(LEADER_PAYLOAD);
  ASSERT_TRUE(leader);
  EXPECT_EQ(leader->payload_type, GVSP_PAYLOAD_IMAGE);  // bit 14 cleared
  EXPECT_EQ(leader->timestamp, 0x0000000102030405u);
  EXPECT_EQ(leader->pixel_format, 0x01080001u);
  EXPECT_EQ(leader->size_x, 640u);
  EXPECT_EQ(leader->size_y, 480u);
  EXPECT_EQ(leader->offset_x, 16u);
  EXPECT_EQ(leader->offset_y, 8u);
  EXPECT_EQ(leader->padding_x, 2);
  EXPECT_EQ(leader->padding_y, 3);
  EXPECT_TRUE(leader->chunk_data);
}

// Chunk data: the extended-chunk bit over any type, or the chunk data types.
TEST(ParseLeader, ChunkDataByPayloadType) {
  Bytes leader = LEADER_PAYLOAD;
  for (const auto& [type, chunks] : std::vector<std::pair<std::uint16_t, bool>>{
           {0x0001, false}, {0x4001, true}, {0x0004, true}, {0x0005, true}, {0x4005, true}, {0x0002, false}}) {
    leader[2] = static_cast<std::uint8_t>(type >> 8);
    leader[3] = static_cast<std::uint8_t>(type);
    EXPECT_EQ(parse_leader(leader)->chunk_data, chunks) << std::hex << type;
  }
}

TEST(ParseLeader, FieldsCutByATruncatedPayloadAreZero) {
  for (std::size_t size = 0; size < 12; ++size) {
    EXPECT_FALSE(parse_leader(std::span(LEADER_PAYLOAD).first(size))) << "truncated to " << size;
  }
  const auto timestamp_only = parse_leader(std::span(LEADER_PAYLOAD).first(12));
  ASSERT_TRUE(timestamp_only);
  EXPECT_EQ(*timestamp_only,
            (LeaderInfo{.payload_type = 1, .timestamp = 0x0000000102030405u, .chunk_data = true}));

  // 23 bytes: size_y (offset 20..24) is cut, so it and everything after it is 0.
  const auto partial = parse_leader(std::span(LEADER_PAYLOAD).first(23));
  ASSERT_TRUE(partial);
  EXPECT_EQ(partial->size_x, 640u);
  EXPECT_EQ(partial->size_y, 0u);
  EXPECT_EQ(partial->offset_x, 0u);

  // 35 bytes: only padding_y is missing.
  const auto no_pad_y = parse_leader(std::span(LEADER_PAYLOAD).first(35));
  ASSERT_TRUE(no_pad_y);
  EXPECT_EQ(no_pad_y->padding_x, 2);
  EXPECT_EQ(no_pad_y->padding_y, 0);
}

// ---- Trailer

// An image trailer in chunk mode as the standard lays it out.
const Bytes CHUNK_TRAILER_PAYLOAD = {
    0xEE, 0xEE,              // 0: not read
    0x40, 0x01,              // 2: payload type 0x4001 (image, extended chunk)
    0x00, 0x00, 0x01, 0xE0,  // 4: size_y 480
    0x00, 0x04, 0xB0, 0x9C,  // 8: chunk data length 307356
    0x12, 0x34, 0x56, 0x78,  // 12: chunk layout id
};

// The form some devices send: the layout id where the length belongs.
const Bytes SHORT_CHUNK_TRAILER_PAYLOAD = {
    0xEE, 0xEE,              // 0: not read
    0x40, 0x01,              // 2: payload type 0x4001
    0x00, 0x00, 0x01, 0xE0,  // 4: size_y 480
    0x12, 0x34, 0x56, 0x78,  // 8: chunk layout id
};

// A chunk data trailer: the length right after the payload type.
const Bytes CHUNK_DATA_TRAILER_PAYLOAD = {
    0xEE, 0xEE,              // 0: not read
    0x00, 0x04,              // 2: payload type 0x0004 (chunk data)
    0x00, 0x00, 0x00, 0x54,  // 4: chunk data length 84
};

Bytes with_type(Bytes payload, std::uint16_t type) {
  payload[2] = static_cast<std::uint8_t>(type >> 8);
  payload[3] = static_cast<std::uint8_t>(type);
  return payload;
}

TEST(TrailerChunkDataLength, Golden) {
  EXPECT_EQ(trailer_chunk_data_length(CHUNK_TRAILER_PAYLOAD), 307356u);
  EXPECT_EQ(trailer_chunk_data_length(SHORT_CHUNK_TRAILER_PAYLOAD), std::nullopt);
  EXPECT_EQ(trailer_chunk_data_length(CHUNK_DATA_TRAILER_PAYLOAD), 84u);
  // A trailer longer than its form is read the same.
  Bytes longer = CHUNK_TRAILER_PAYLOAD;
  longer.insert(longer.end(), 4, 0xEE);
  EXPECT_EQ(trailer_chunk_data_length(longer), 307356u);
}

// Only trailers of chunk data carry the length; where it stands follows the
// payload type, with the extended-chunk bit cleared.
TEST(TrailerChunkDataLength, ByPayloadType) {
  for (const auto& [type, length] : std::vector<std::pair<std::uint16_t, std::optional<std::uint32_t>>>{
           {0x4001, 307356u},       // image in chunk mode: at 8
           {0x0001, std::nullopt},  // a plain image trailer has no length, whatever follows size_y
           {0x0004, 0x1E0u},        // chunk data: at 4
           {0x4004, 0x1E0u},
           {0x0005, 0x1E0u},        // extended chunk data: at 4
           {0x4005, 0x1E0u},
           {0x0002, std::nullopt},
           {0x4002, std::nullopt},
       }) {
    EXPECT_EQ(trailer_chunk_data_length(with_type(CHUNK_TRAILER_PAYLOAD, type)), length) << std::hex << type;
  }
}

// Cut anywhere before its end, a trailer gives no length: an image trailer
// shorter than 16 bytes is the form without it.
TEST(TrailerChunkDataLength, TruncatedAtNamedOffsets) {
  for (std::size_t size = 0; size < CHUNK_TRAILER_PAYLOAD.size(); ++size) {
    EXPECT_EQ(trailer_chunk_data_length(std::span(CHUNK_TRAILER_PAYLOAD).first(size)), std::nullopt)
        << "truncated to " << size;
  }
  for (std::size_t size = 0; size < CHUNK_DATA_TRAILER_PAYLOAD.size(); ++size) {
    EXPECT_EQ(trailer_chunk_data_length(std::span(CHUNK_DATA_TRAILER_PAYLOAD).first(size)), std::nullopt)
        << "truncated to " << size;
  }
}

// ---- Packet counts

GvspHeader header_of(std::uint8_t format, bool extended = false, std::uint32_t packet_id = 0) {
  return GvspHeader{.format = format, .packet_id = packet_id, .extended = extended};
}

Bytes leader_with_type(std::uint16_t type) {
  Bytes payload = LEADER_PAYLOAD;
  payload[2] = static_cast<std::uint8_t>(type >> 8);
  payload[3] = static_cast<std::uint8_t>(type);
  return payload;
}

TEST(PlannedBytesPerPacket, PacketSizeLessHeaders) {
  EXPECT_EQ(planned_bytes_per_packet(1500, false), 1464u);
  EXPECT_EQ(planned_bytes_per_packet(1500, true), 1452u);
  EXPECT_EQ(planned_bytes_per_packet(9000, false), 8964u);
  EXPECT_EQ(planned_bytes_per_packet(37, false), 1u);
  EXPECT_EQ(planned_bytes_per_packet(49, true), 1u);
  // Not above the overhead: no data bytes at all.
  EXPECT_FALSE(planned_bytes_per_packet(36, false));
  EXPECT_FALSE(planned_bytes_per_packet(48, true));
  EXPECT_FALSE(planned_bytes_per_packet(0, false));
}

TEST(PlannedDataPackets, AMegabyteAt1500) {
  EXPECT_EQ(planned_data_packets(1'000'000, 1464), 684u);
  EXPECT_EQ(1'000'000 - 683 * 1464, 88);  // the last data packet
  EXPECT_EQ(planned_data_packets(1'000'000, 1452), 689u);
  EXPECT_EQ(planned_data_packets(1464 * 3, 1464), 3u);
  EXPECT_EQ(planned_data_packets(0, 1464), 0u);
}

TEST(ExpectedPacketCount, LeaderOpensWithPlannedCount) {
  const Bytes image = leader_with_type(0x4001);
  EXPECT_EQ(expected_packet_count(header_of(GVSP_FORMAT_LEADER), image, 1500, 1'000'000), 686u);
  EXPECT_EQ(expected_packet_count(header_of(GVSP_FORMAT_LEADER, true), image, 1500, 1'000'000), 691u);
  for (std::uint16_t type : {0x0001, 0x0004, 0x0005, 0x4004, 0x4005}) {
    EXPECT_EQ(expected_packet_count(header_of(GVSP_FORMAT_LEADER), leader_with_type(type), 1500, 1464), 3u)
        << std::hex << type;
  }
}

TEST(ExpectedPacketCount, LeaderUnsupported) {
  const auto leader = header_of(GVSP_FORMAT_LEADER);
  // An 8-byte leader datagram: empty payload, no leader information.
  const Bytes bare = {0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00};
  const auto h = parse_header(bare);
  ASSERT_TRUE(h);
  EXPECT_FALSE(expected_packet_count(*h, h->payload, 1500, 1'000'000));
  EXPECT_FALSE(expected_packet_count(leader, std::span(LEADER_PAYLOAD).first(11), 1500, 1'000'000));
  for (std::uint16_t type : {0x0000, 0x0002, 0x0003, 0x0006, 0x4002, 0x8001}) {
    EXPECT_FALSE(expected_packet_count(leader, leader_with_type(type), 1500, 1'000'000)) << std::hex << type;
  }
  // A packet size without room for data.
  EXPECT_FALSE(expected_packet_count(leader, LEADER_PAYLOAD, 36, 1'000'000));
  EXPECT_FALSE(expected_packet_count(header_of(GVSP_FORMAT_LEADER, true), LEADER_PAYLOAD, 48, 1'000'000));
}

TEST(ExpectedPacketCount, TrailerDataAllInAndOthers) {
  EXPECT_EQ(expected_packet_count(header_of(GVSP_FORMAT_TRAILER, false, 685), {}, 1500, 1'000'000), 686u);
  EXPECT_EQ(expected_packet_count(header_of(GVSP_FORMAT_TRAILER, false, 0), {}, 1500, 1'000'000), 1u);
  EXPECT_EQ(expected_packet_count(header_of(GVSP_FORMAT_DATA, false, 17), {}, 1500, 1'000'000), 686u);
  EXPECT_EQ(expected_packet_count(header_of(GVSP_FORMAT_DATA, true, 17), {}, 1500, 1'000'000), 691u);
  EXPECT_EQ(expected_packet_count(header_of(GVSP_FORMAT_ALL_IN), {}, 1500, 1'000'000), 1u);
  // A data packet with nothing planned, or no room for data.
  EXPECT_FALSE(expected_packet_count(header_of(GVSP_FORMAT_DATA), {}, 1500, 0));
  EXPECT_FALSE(expected_packet_count(header_of(GVSP_FORMAT_DATA), {}, 36, 1'000'000));
  for (std::uint8_t format : {0, 5, 6, 0x7F}) {
    EXPECT_FALSE(expected_packet_count(header_of(format), LEADER_PAYLOAD, 1500, 1'000'000)) << int{format};
  }
}

// ---- The bound on packet counts from the wire

TEST(MaxPacketCount, SixtyFourByteDataPacketsPlusLeaderAndTrailer) {
  EXPECT_EQ(max_packet_count(0), 2u);
  EXPECT_EQ(max_packet_count(1), 3u);
  EXPECT_EQ(max_packet_count(64), 3u);
  EXPECT_EQ(max_packet_count(65), 4u);
  EXPECT_EQ(max_packet_count(1'000'000), 15627u);
  // No overflow at the top of the range.
  EXPECT_EQ(max_packet_count(std::numeric_limits<std::uint64_t>::max()), (std::uint64_t{1} << 58) + 2);
}

TEST(MaxPacketCount, HostileCountsAreUnsupported) {
  const std::uint64_t payload = 1'000'000;
  const std::uint32_t bound_id = static_cast<std::uint32_t>(max_packet_count(payload) - 1);
  EXPECT_EQ(expected_packet_count(header_of(GVSP_FORMAT_TRAILER, true, bound_id), {}, 1500, payload),
            max_packet_count(payload));
  EXPECT_FALSE(expected_packet_count(header_of(GVSP_FORMAT_TRAILER, true, bound_id + 1), {}, 1500, payload));
  EXPECT_FALSE(expected_packet_count(header_of(GVSP_FORMAT_TRAILER, true, 0xFFFFFFFF), {}, 1500, payload));
  // A packet size of 37 plans one data byte per packet: a million packets.
  EXPECT_FALSE(expected_packet_count(header_of(GVSP_FORMAT_DATA), {}, 37, payload));
  EXPECT_FALSE(expected_packet_count(header_of(GVSP_FORMAT_LEADER), LEADER_PAYLOAD, 37, payload));
  // The smallest packet size within the bound: 64 data bytes.
  EXPECT_EQ(expected_packet_count(header_of(GVSP_FORMAT_DATA), {}, 100, payload), max_packet_count(payload));
  EXPECT_FALSE(expected_packet_count(header_of(GVSP_FORMAT_DATA), {}, 99, payload));
}

TEST(PacketCountFor, ADataLengthTooSmallForThePayloadIsRefused) {
  EXPECT_EQ(packet_count_for(1'000'000, 1464), 686u);
  EXPECT_EQ(packet_count_for(1'000'000, 64), 15627u);
  EXPECT_FALSE(packet_count_for(1'000'000, 63));
  EXPECT_FALSE(packet_count_for(1'000'000, 1));
  EXPECT_FALSE(packet_count_for(1'000'000, 0));
  // A 10-byte payload fits one 64-byte data packet, so it may not take two.
  EXPECT_EQ(packet_count_for(10, 10), 3u);
  EXPECT_EQ(packet_count_for(10, 1000), 3u);
  EXPECT_FALSE(packet_count_for(10, 5));
}

}  // namespace
}  // namespace corvantic::gige::proto
