// What a description says of device events: names by event id, and the data
// features read from an event's record, over the virtual camera's own
// description and over small ones written as vendors write theirs.
#include "genicam/events.hpp"

#include <gtest/gtest.h>

#include "sim/description.hpp"
#include "util/bytes.hpp"

namespace corvantic::genicam {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Names = std::vector<std::string>;

// An EVENTDATA's record as received: the standard header (event id at 0x2,
// timestamp at 0x8), then `data`.
gige::proto::DeviceEvent event(std::uint16_t id, std::uint64_t timestamp, const Bytes& data) {
  gige::proto::DeviceEvent e;
  e.command = gige::proto::GVCP_EVENTDATA;
  e.event_id = id;
  e.timestamp = timestamp;
  e.raw.assign(16 + data.size(), 0);  // at its full size at once (gcc 12 misreads a later insert)
  util::store_be16(&e.raw[2], id);
  util::store_be64(&e.raw[8], timestamp);
  std::ranges::copy(data, e.raw.begin() + 16);
  return e;
}

EventCatalog catalog_of(std::string_view xml) {
  auto model = build_feature_model(xml);
  EXPECT_TRUE(model) << model.error().display();
  return model ? EventCatalog(std::move(*model)) : EventCatalog();
}

TEST(EventName, IsTheSelectorEntryWhoseFeatureLiesOnThePort) {
  struct Case {
    Names entries, on_port;
    std::string name;
  };
  const std::vector<Case> cases{
      {{"ExposureEnd", "Test"}, {"EventExposureEnd", "EventExposureEndTimestamp"}, "ExposureEnd"},
      {{"Exposure", "ExposureEnd"}, {"EventExposureEndFrameID"}, "ExposureEnd"},  // the longest that fits
      {{"Exposure", "ExposureEnd"}, {"EventExposure", "EventExposureEndFrameID"}, "Exposure"},  // exact first
      // No entry fits: the feature whose name begins every other one.
      {{"ExposureEnd"}, {"EventTest", "EventTestTimestamp", "EventTestFrameID"}, "Test"},
      {{}, {"EventExposureEndTimestamp"}, "ExposureEndTimestamp"},
      {{"Test"}, {"EventExposureEndTimestamp", "EventExposureEndFrameID"}, ""},
      {{"Test"}, {"ExposureEndTimestamp"}, ""},
      {{"ExposureEnd"}, {}, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(event_name(c.entries, c.on_port), c.name) << c.name;
}

class SimDescriptionEvents : public ::testing::Test {
 protected:
  EventCatalog catalog = catalog_of(sim::description_xml());
};

TEST_F(SimDescriptionEvents, NamesEachEventAndShowsTheIdOfOthers) {
  EXPECT_EQ(catalog.name(0x9001), "ExposureEnd");
  EXPECT_EQ(catalog.name(0x9002), "FrameTriggerMissed");
  EXPECT_EQ(catalog.name(0x9000), "Test");
  EXPECT_EQ(catalog.name(0x0001), "0x0001");
  EXPECT_EQ(event_id_text(0xABCD), "0xabcd");
}

// The port's address 0 is the record's first byte: the timestamp comes from
// the header, the frame id from the device's data after it.
TEST_F(SimDescriptionEvents, ReadsTheDataFeaturesFromTheWholeRecord) {
  Bytes frame_id(8);
  util::store_be64(frame_id.data(), 77);
  const auto fields = catalog.data(event(0x9001, 123456789, frame_id));
  ASSERT_EQ(fields.size(), 2u);
  EXPECT_EQ(fields[0].name, "EventExposureEndTimestamp");
  EXPECT_EQ(fields[0].value, EventValue(std::int64_t{123456789}));
  EXPECT_EQ(fields[1].name, "EventExposureEndFrameID");
  EXPECT_EQ(fields[1].value, EventValue(std::int64_t{77}));

  // A record without the data: the features it does not reach are left out.
  const auto short_fields = catalog.data(event(0x9001, 5, {}));
  ASSERT_EQ(short_fields.size(), 1u);
  EXPECT_EQ(short_fields[0].name, "EventExposureEndTimestamp");
  EXPECT_EQ(short_fields[0].value, EventValue(std::int64_t{5}));
  EXPECT_TRUE(catalog.data(event(0x1234, 5, frame_id)).empty());
}

TEST(EventCatalog, WithoutADescriptionNamesByIdAndReadsNothing) {
  const EventCatalog empty;
  EXPECT_EQ(empty.name(0x9001), "0x9001");
  EXPECT_TRUE(empty.data(event(0x9001, 1, Bytes(24))).empty());
}

// Written as camera vendors write theirs: Event<Name> is a constant holding
// the event's id, marked with an EventID of its own (which does not put it
// on the port); a constant without that mark (a selector's value) names
// nothing; the data registers address the record from its first byte,
// little endian here.
constexpr std::string_view VENDOR_EVENTS = R"(<RegisterDescription>
    <Port Name="Device"/>
    <Integer Name="EventSelectorValue"><Value>0x9C43</Value></Integer>
    <Enumeration Name="EventSelector"><EnumEntry Name="ExposureEnd"><Value>3</Value></EnumEntry>
      <pValue>Sel</pValue></Enumeration>
    <IntReg Name="Sel"><Address>0x100</Address><Length>4</Length><AccessMode>RW</AccessMode>
      <pPort>Device</pPort></IntReg>
    <Integer Name="EventExposureEnd"><EventID>9C43</EventID><ImposedAccessMode>RO</ImposedAccessMode>
      <Value>0x9C43</Value></Integer>
    <Port Name="EventExposureEndPort"><EventID>9C43</EventID></Port>
    <Integer Name="EventExposureEndTimestamp"><pValue>EventExposureEndTimestamp_Val</pValue></Integer>
    <IntReg Name="EventExposureEndTimestamp_Val"><Address>0x8</Address><Length>8</Length><AccessMode>RO</AccessMode>
      <pPort>EventExposureEndPort</pPort><Endianess>LittleEndian</Endianess></IntReg>
    <Integer Name="EventExposureEndFrameID"><pValue>EventExposureEndFrameID_Val</pValue></Integer>
    <IntReg Name="EventExposureEndFrameID_Val"><Address>0x10</Address><Length>8</Length><AccessMode>RO</AccessMode>
      <pPort>EventExposureEndPort</pPort><Endianess>LittleEndian</Endianess></IntReg>
    <Integer Name="EventTest"><EventID>4FFF</EventID><Value>0x4FFF</Value></Integer>
    <Port Name="EventTestPort"><EventID>4FFF</EventID></Port>
    <Integer Name="EventTestTimestamp"><pValue>EventTestTimestamp_Val</pValue></Integer>
    <IntReg Name="EventTestTimestamp_Val"><Address>0x8</Address><Length>8</Length><AccessMode>RO</AccessMode>
      <pPort>EventTestPort</pPort><Endianess>LittleEndian</Endianess></IntReg>
    <Integer Name="EventLineRise"><EventID>9100</EventID><Value>0x9100</Value></Integer>
    <Integer Name="EventCount"><pValue>Sel</pValue></Integer>
  </RegisterDescription>)";

TEST(EventCatalog, NamesEventsByTheirIdConstants) {
  const EventCatalog catalog = catalog_of(VENDOR_EVENTS);
  EXPECT_EQ(catalog.name(0x9C43), "ExposureEnd");
  EXPECT_EQ(catalog.name(0x4FFF), "Test");      // no selector entry names it
  EXPECT_EQ(catalog.name(0x9100), "LineRise");  // a constant without a port
  EXPECT_EQ(catalog.name(0x0100), "0x0100");    // a feature in device memory names nothing
}

TEST(EventCatalog, ReadsVendorDataFeaturesFromTheRecord) {
  const EventCatalog catalog = catalog_of(VENDOR_EVENTS);
  Bytes record(24);
  const auto store_le64 = [&](std::size_t at, std::uint64_t value) {
    for (std::size_t i = 0; i < 8; ++i) record[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  };
  util::store_be16(&record[2], 0x9C43);
  store_le64(8, 0x0102030405060708);
  store_le64(16, 42);
  gige::proto::DeviceEvent e = event(0x9C43, 0, {});
  e.raw = record;
  const auto fields = catalog.data(e);
  ASSERT_EQ(fields.size(), 2u);
  EXPECT_EQ(fields[0].name, "EventExposureEndTimestamp");
  EXPECT_EQ(fields[0].value, EventValue(std::int64_t{0x0102030405060708}));
  EXPECT_EQ(fields[1].name, "EventExposureEndFrameID");
  EXPECT_EQ(fields[1].value, EventValue(std::int64_t{42}));
}

}  // namespace
}  // namespace corvantic::genicam
