// What a description says of device events: names by event id, and the data
// features read from an event's bytes, over the virtual camera's own
// description and over small ones.
#include "genicam/events.hpp"

#include <gtest/gtest.h>

#include "sim/description.hpp"
#include "util/bytes.hpp"

namespace corvantic::genicam {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Names = std::vector<std::string>;

gige::proto::DeviceEvent event(std::uint16_t id, const Bytes& data) {
  gige::proto::DeviceEvent e;
  e.command = gige::proto::GVCP_EVENTDATA;
  e.event_id = id;
  e.raw.resize(16);
  util::store_be16(&e.raw[2], id);
  e.raw.insert(e.raw.end(), data.begin(), data.end());
  return e;
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
      {{"Test"}, {"EventExposureEnd"}, ""},
      {{}, {"EventExposureEnd"}, ""},
      {{"ExposureEnd"}, {}, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(event_name(c.entries, c.on_port), c.name) << c.name;
}

class SimDescriptionEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    auto model = build_feature_model(sim::description_xml());
    ASSERT_TRUE(model) << model.error().display();
    catalog.emplace(std::move(*model));
  }
  std::optional<EventCatalog> catalog;
};

TEST_F(SimDescriptionEvents, NamesEachEventAndShowsTheIdOfOthers) {
  EXPECT_EQ(catalog->name(0x9001), "ExposureEnd");
  EXPECT_EQ(catalog->name(0x9002), "FrameTriggerMissed");
  EXPECT_EQ(catalog->name(0x9000), "Test");
  EXPECT_EQ(catalog->name(0x0001), "0x0001");
  EXPECT_EQ(event_id_text(0xABCD), "0xabcd");
}

TEST_F(SimDescriptionEvents, ReadsTheDataFeaturesFromTheBytesAfterTheHeader) {
  Bytes data(24);
  util::store_be32(&data[0], 0x9001);
  util::store_be64(&data[8], 123456789);
  util::store_be64(&data[16], 77);
  const auto fields = catalog->data(event(0x9001, data));
  ASSERT_EQ(fields.size(), 3u);
  EXPECT_EQ(fields[0].name, "EventExposureEnd");
  EXPECT_EQ(fields[0].value, EventValue(std::int64_t{0x9001}));
  EXPECT_EQ(fields[1].name, "EventExposureEndTimestamp");
  EXPECT_EQ(fields[1].value, EventValue(std::int64_t{123456789}));
  EXPECT_EQ(fields[2].name, "EventExposureEndFrameID");
  EXPECT_EQ(fields[2].value, EventValue(std::int64_t{77}));

  // Data that ends early: the features it does not reach are left out.
  data.resize(16);
  const auto short_fields = catalog->data(event(0x9001, data));
  ASSERT_EQ(short_fields.size(), 2u);
  EXPECT_EQ(short_fields[1].name, "EventExposureEndTimestamp");
  EXPECT_TRUE(catalog->data(event(0x9001, {})).empty());
  EXPECT_TRUE(catalog->data(event(0x1234, data)).empty());
}

TEST(EventCatalog, WithoutADescriptionNamesByIdAndReadsNothing) {
  const EventCatalog empty;
  EXPECT_EQ(empty.name(0x9001), "0x9001");
  EXPECT_TRUE(empty.data(event(0x9001, Bytes(24))).empty());
}

TEST(EventCatalog, AnEventWithoutASelectorEntryIsNamedByItsId) {
  auto model = build_feature_model(R"(<RegisterDescription>
    <Port Name="Device"/>
    <Port Name="P"><EventID>0x00A0</EventID></Port>
    <Integer Name="EventThing"><pValue>R</pValue></Integer>
    <IntReg Name="R"><Address>0</Address><Length>2</Length><AccessMode>RO</AccessMode><pPort>P</pPort>
      <Endianess>BigEndian</Endianess></IntReg>
  </RegisterDescription>)");
  ASSERT_TRUE(model) << model.error().display();
  const EventCatalog catalog(std::move(*model));
  EXPECT_EQ(catalog.name(0x00A0), "0x00a0");
  const auto fields = catalog.data(event(0x00A0, {0x01, 0x02}));
  ASSERT_EQ(fields.size(), 1u);
  EXPECT_EQ(fields[0].name, "EventThing");
  EXPECT_EQ(fields[0].value, EventValue(std::int64_t{0x0102}));
}

}  // namespace
}  // namespace corvantic::genicam
