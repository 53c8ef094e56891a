// Features on chunk and event ports: which features a description places
// there, their values read against caller-supplied bytes (integer, float,
// boolean, enumeration and string registers; byte order, sign, bit fields),
// the failures of short or missing data, a snapshot that never reaches the
// device, and the device path refusing such features; the port each node's
// value is read from, and chunk readers following a camera's selectors.
#include "genicam/buffer_features.hpp"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "genicam/node.hpp"
#include "genicam/sample_style_description.hpp"

namespace corvantic::genicam {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = GenicamError::Kind;

// Chunk 0xA1: 8 bytes, big-endian counter then a little-endian signed 16-bit
// value and a flags byte. Chunk 0xA2: a big-endian float, a little-endian
// double. Chunk 0xA3: a 4-byte enumeration code then an 8-byte text. Event
// 0x9001: a 4-byte big-endian value. A selector in device memory chooses the
// offset of one feature.
constexpr std::string_view DESCRIPTION = R"(<RegisterDescription>
  <Port Name="Device"/>
  <Port Name="CounterPort"><ChunkID>A1</ChunkID></Port>
  <Port Name="RealPort"><ChunkID>0x000000A2</ChunkID></Port>
  <Port Name="TextPort"><ChunkID>a3</ChunkID></Port>
  <Port Name="EventPort"><EventID>9001</EventID></Port>

  <Integer Name="ChunkCounter"><pValue>ChunkCounterReg</pValue></Integer>
  <IntReg Name="ChunkCounterReg"><Address>0</Address><Length>4</Length><AccessMode>RO</AccessMode>
    <pPort>CounterPort</pPort><Endianess>BigEndian</Endianess></IntReg>
  <IntReg Name="ChunkDelta"><Address>4</Address><Length>2</Length><AccessMode>RO</AccessMode>
    <pPort>CounterPort</pPort><Sign>Signed</Sign><Endianess>LittleEndian</Endianess></IntReg>
  <Boolean Name="ChunkFlag"><pValue>ChunkFlagReg</pValue></Boolean>
  <MaskedIntReg Name="ChunkFlagReg"><Address>6</Address><Length>1</Length><AccessMode>RO</AccessMode>
    <pPort>CounterPort</pPort><Bit>2</Bit></MaskedIntReg>
  <IntSwissKnife Name="ChunkLevel"><pVariable Name="F">ChunkLevelReg</pVariable><Formula>F * 10</Formula></IntSwissKnife>
  <MaskedIntReg Name="ChunkLevelReg"><Address>7</Address><Length>1</Length><AccessMode>RO</AccessMode>
    <pPort>CounterPort</pPort><LSB>4</LSB><MSB>7</MSB></MaskedIntReg>

  <Float Name="ChunkGain"><pValue>ChunkGainReg</pValue></Float>
  <FloatReg Name="ChunkGainReg"><Address>0</Address><Length>4</Length><AccessMode>RO</AccessMode>
    <pPort>RealPort</pPort><Endianess>BigEndian</Endianess></FloatReg>
  <FloatReg Name="ChunkExposure"><Address>4</Address><Length>8</Length><AccessMode>RO</AccessMode>
    <pPort>RealPort</pPort><Endianess>LittleEndian</Endianess></FloatReg>

  <Enumeration Name="ChunkMode">
    <EnumEntry Name="Off"><Value>0</Value></EnumEntry>
    <EnumEntry Name="Fast"><Value>7</Value></EnumEntry>
    <pValue>ChunkModeReg</pValue>
  </Enumeration>
  <IntReg Name="ChunkModeReg"><Address>0</Address><Length>4</Length><AccessMode>RO</AccessMode>
    <pPort>TextPort</pPort><Endianess>BigEndian</Endianess></IntReg>
  <StringReg Name="ChunkLabel"><pAddress>LabelOffset</pAddress><Length>8</Length><AccessMode>RO</AccessMode>
    <pPort>TextPort</pPort></StringReg>
  <Integer Name="LabelOffset"><pValue>LabelOffsetReg</pValue></Integer>
  <IntReg Name="LabelOffsetReg"><Address>0x100</Address><Length>4</Length><AccessMode>RW</AccessMode>
    <pPort>Device</pPort><Endianess>BigEndian</Endianess></IntReg>

  <Integer Name="EventValue"><pValue>EventValueReg</pValue></Integer>
  <IntReg Name="EventValueReg"><Address>0</Address><Length>4</Length><AccessMode>RO</AccessMode>
    <pPort>EventPort</pPort><Endianess>BigEndian</Endianess></IntReg>

  <Integer Name="Width"><pValue>WidthReg</pValue></Integer>
  <IntReg Name="WidthReg"><Address>0x200</Address><Length>4</Length><AccessMode>RW</AccessMode>
    <pPort>Device</pPort><Endianess>BigEndian</Endianess></IntReg>
  <IntReg Name="NoPortReg"><Address>0x204</Address><Length>4</Length><AccessMode>RW</AccessMode>
    <Endianess>BigEndian</Endianess></IntReg>
</RegisterDescription>)";

class MemoryPort final : public RegisterPort {
 public:
  gige::CameraResult<Bytes> read(std::uint64_t address, std::size_t length) override {
    ++reads;
    Bytes out(length);
    for (std::size_t i = 0; i < length; ++i) out[i] = memory[address + i];
    return out;
  }
  gige::CameraResult<void> write(std::uint64_t address, std::span<const std::uint8_t> data) override {
    for (std::size_t i = 0; i < data.size(); ++i) memory[address + i] = data[i];
    return {};
  }
  std::map<std::uint64_t, std::uint8_t> memory;
  int reads = 0;
};

FeatureModel build() {
  auto model = build_feature_model(DESCRIPTION);
  EXPECT_TRUE(model) << model.error().display();
  return std::move(*model);
}

const Bytes COUNTER = {0x00, 0x01, 0x02, 0x03,  // 66051
                       0xFE, 0xFF,              // -2 as little-endian int16
                       0x04,                    // bit 2 set
                       0x9F};                   // bits 4..7 = 9
const Bytes REAL = {0x3F, 0xC0, 0x00, 0x00,                           // 1.5f big-endian
                    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x59, 0x40};  // 100.0 little-endian
const Bytes TEXT = {0x00, 0x00, 0x00, 0x07, 'c', 'a', 'm', '-', '1', 0x00, 0x00, 0x00};
const Bytes EVENT = {0x00, 0x00, 0x01, 0x00};

TEST(BufferFeatureReader, ListsTheTopFeatureOfEachChainWithItsPort) {
  const BufferFeatureReader reader(build());
  const std::vector<BufferFeature> expected{
      {"ChunkCounter", {BufferKind::Chunk, 0xA1}}, {"ChunkDelta", {BufferKind::Chunk, 0xA1}},
      {"ChunkFlag", {BufferKind::Chunk, 0xA1}},    {"ChunkLevel", {BufferKind::Chunk, 0xA1}},
      {"ChunkGain", {BufferKind::Chunk, 0xA2}},    {"ChunkExposure", {BufferKind::Chunk, 0xA2}},
      {"ChunkMode", {BufferKind::Chunk, 0xA3}},    {"ChunkLabel", {BufferKind::Chunk, 0xA3}},
      {"EventValue", {BufferKind::Event, 0x9001}},
  };
  EXPECT_EQ(reader.features(), expected);
  EXPECT_EQ(reader.chunk_features(), std::vector(expected.begin(), expected.end() - 1));
  EXPECT_EQ(reader.features_on(BufferKind::Chunk, 0xA2), (std::vector<std::string>{"ChunkGain", "ChunkExposure"}));
  EXPECT_EQ(reader.features_on(BufferKind::Event, 0x9001), std::vector<std::string>{"EventValue"});
  EXPECT_TRUE(reader.features_on(BufferKind::Event, 0xA1).empty());
}

TEST(BufferFeatureReader, ReadsEachTypeFromItsChunk) {
  auto model = build();
  // The snapshot holds the selector-like offset register's cached bytes.
  MemoryPort device;
  device.memory[0x103] = 4;
  ASSERT_TRUE(model.read_integer(*model.index_of("LabelOffset"), device));
  const BufferFeatureReader reader(model.snapshot());
  const std::vector<BufferSpans::Entry> chunks{{0xA1, COUNTER}, {0xA2, REAL}, {0xA3, TEXT}};
  const BufferSpans data(BufferKind::Chunk, chunks);

  const std::vector<std::pair<std::string, BufferValue>> cases{
      {"ChunkCounter", std::int64_t{66051}},
      {"ChunkCounterReg", std::int64_t{66051}},
      {"ChunkDelta", std::int64_t{-2}},
      {"ChunkFlag", true},
      {"ChunkLevel", std::int64_t{90}},
      {"ChunkGain", 1.5},
      {"ChunkExposure", 100.0},
      {"ChunkMode", std::string("Fast")},
      {"ChunkLabel", std::string("cam-1")},
  };
  for (const auto& [name, value] : cases) {
    SCOPED_TRACE(name);
    const auto read = reader.read(name, data);
    ASSERT_TRUE(read) << read.error().display();
    EXPECT_EQ(*read, value);
  }
  EXPECT_EQ(device.reads, 1);
}

TEST(BufferFeatureReader, EventFeaturesReadFromEventData) {
  const BufferFeatureReader reader(build());
  const std::vector<BufferSpans::Entry> events{{0x9001, EVENT}};
  EXPECT_EQ(reader.read("EventValue", BufferSpans(BufferKind::Event, events)), BufferValue(std::int64_t{256}));
  // The same id given as a chunk is not the event's data.
  const auto as_chunk = reader.read("EventValue", BufferSpans(BufferKind::Chunk, events));
  ASSERT_FALSE(as_chunk);
  EXPECT_EQ(as_chunk.error().display(), "formula in 'EventValueReg': event 0x9001 is not in the data");
}

TEST(BufferFeatureReader, FailuresAreGenicamErrors) {
  const BufferFeatureReader reader(build());
  const Bytes short_counter(COUNTER.begin(), COUNTER.begin() + 3);
  const std::vector<BufferSpans::Entry> chunks{{0xA1, short_counter}, {0xA3, TEXT}};
  const BufferSpans data(BufferKind::Chunk, chunks);
  struct Case {
    std::string name;
    Kind kind;
    std::string text;
  };
  const std::vector<Case> cases{
      {"ChunkCounter", Kind::Evaluation,
       "formula in 'ChunkCounterReg': 4 bytes at offset 0 run past the 3 bytes of chunk 0xa1"},
      {"ChunkDelta", Kind::Evaluation,
       "formula in 'ChunkDelta': 2 bytes at offset 4 run past the 3 bytes of chunk 0xa1"},
      {"ChunkGain", Kind::Evaluation, "formula in 'ChunkGainReg': chunk 0xa2 is not in the data"},
      // Its offset lives in device memory the snapshot never read.
      {"ChunkLabel", Kind::AccessDenied, "node 'LabelOffsetReg' is not accessible this way (access mode)"},
      {"Width", Kind::FeatureNotFound, "feature 'Width' not found"},
      {"NoSuchChunk", Kind::FeatureNotFound, "feature 'NoSuchChunk' not found"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto read = reader.read(c.name, data);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().kind(), c.kind);
    EXPECT_EQ(read.error().display(), c.text);
  }
}

TEST(BufferFeatureReader, AChunkRegisterIsNeverCachedAcrossFrames) {
  const BufferFeatureReader reader(build());
  Bytes frame = COUNTER;
  const std::vector<BufferSpans::Entry> chunks{{0xA1, frame}};
  EXPECT_EQ(reader.read("ChunkCounter", BufferSpans(BufferKind::Chunk, chunks)), BufferValue(std::int64_t{66051}));
  frame[3] = 0x04;
  EXPECT_EQ(reader.read("ChunkCounter", BufferSpans(BufferKind::Chunk, chunks)), BufferValue(std::int64_t{66052}));
}

TEST(BufferFeatureReader, TheDevicePathRefusesBufferFeaturesAndKeepsDeviceRegisters) {
  auto model = build();
  MemoryPort device;
  device.memory[0x203] = 42;
  device.memory[0x207] = 43;
  EXPECT_EQ(model.read_integer(*model.index_of("Width"), device), 42);
  EXPECT_EQ(model.read_integer(*model.index_of("NoPortReg"), device), 43);
  const auto reads = device.reads;
  for (const char* name : {"ChunkCounter", "ChunkGain", "EventValue"}) {
    SCOPED_TRACE(name);
    const auto read = model.read_float(*model.index_of(name), device);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().kind(), Kind::AccessDenied);
  }
  EXPECT_EQ(device.reads, reads);
  const auto write = model.write_integer(*model.index_of("ChunkCounterReg"), 1, device);
  ASSERT_FALSE(write);
  EXPECT_EQ(write.error().kind(), Kind::AccessDenied);
}

FeatureModel build_sample_style() {
  auto model = build_feature_model(SAMPLE_STYLE_DESCRIPTION);
  EXPECT_TRUE(model) << model.error().display();
  return std::move(*model);
}

// Every node that reads a chunk or event port, and no other: the Event<Name>
// id constant beside an event port is not event data, the selectors and the
// offsets they feed are device settings.
TEST(ValuePort, IsThePortOfTheDataAValueIsReadFrom) {
  const auto model = build_sample_style();
  const BufferPort gain{BufferKind::Chunk, 0x05200009};
  const BufferPort black_level{BufferKind::Chunk, 0x0504000B};
  const BufferPort exposure_end{BufferKind::Event, 0x9C43};
  const BufferPort exposure_start{BufferKind::Event, 0x9C42};
  const struct {
    const char* name;
    std::optional<BufferPort> port;
  } cases[] = {
      {"ChunkGain", gain},
      {"ChunkGainDB", gain},
      {"ChunkGain_Val", gain},
      {"ChunkBlackLevel", black_level},
      {"EventExposureEndTimestamp", exposure_end},
      {"EventExposureEndTimestamp_Val", exposure_end},
      {"EventExposureStart", exposure_start},
      {"EventExposureStartTimestamp", exposure_start},
      {"EventExposureEnd", std::nullopt},
      {"ChunkGainSelector", std::nullopt},
      {"ChunkGainSelectorInt", std::nullopt},
      {"ChunkGainAddr", std::nullopt},
      {"ChunkBlackLevelSelector_Reg", std::nullopt},
      {"EventSelector", std::nullopt},
      {"Width", std::nullopt},
      {"GainPort", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(value_port(model, *model.index_of(c.name)), c.port);
  }
}

TEST(LiveSettings, HoldTheDeviceSideNodesChunkReadsReach) {
  const auto model = build_sample_style();
  const LiveSettings settings(model);
  std::vector<std::string> names;
  for (const auto index : settings.nodes()) names.push_back(model.name(index));
  EXPECT_EQ(names, (std::vector<std::string>{"ChunkGainSelectorInt", "ChunkGainAddr", "ChunkBlackLevelSelector_Reg",
                                             "ChunkBlackLevelAddr"}));
}

// A reader over a snapshot reads with the settings of the moment it was
// made until the camera's model publishes others: a selector set as a
// constant, or in a register whose bytes the camera holds.
TEST(LiveSettings, AChunkReaderFollowsWhatTheCameraPublishes) {
  auto camera = build_sample_style();
  MemoryPort device;  // the black level selector register reads 0
  const auto black_level_selector = *camera.index_of("ChunkBlackLevelSelector");
  ASSERT_TRUE(camera.read_integer(black_level_selector, device));
  const auto settings = std::make_shared<LiveSettings>(camera);
  const BufferFeatureReader reader(camera.snapshot(), settings);
  // Little-endian gains 10, 20, 30, 40 (1.0 .. 4.0 dB) and black levels 5, 6.
  const Bytes gains = {10, 0, 0, 0, 20, 0, 0, 0, 30, 0, 0, 0, 40, 0, 0, 0};
  const Bytes black_levels = {5, 0, 0, 0, 6, 0, 0, 0};
  const std::vector<BufferSpans::Entry> chunks{{0x05200009, gains}, {0x0504000B, black_levels}};
  const BufferSpans frame(BufferKind::Chunk, chunks);
  EXPECT_EQ(reader.read("ChunkGain", frame), BufferValue(1.0));
  EXPECT_EQ(reader.read("ChunkBlackLevel", frame), BufferValue(std::int64_t{5}));

  ASSERT_TRUE(camera.select_entry(*camera.index_of("ChunkGainSelector"), "Blue", device));
  ASSERT_TRUE(camera.select_entry(black_level_selector, "Red", device));
  ASSERT_TRUE(camera.read_integer(black_level_selector, device));  // the write dropped its bytes
  EXPECT_EQ(reader.read("ChunkGain", frame), BufferValue(1.0));  // nothing published yet
  settings->publish(camera);
  EXPECT_EQ(reader.read("ChunkGain", frame), BufferValue(4.0));
  EXPECT_EQ(reader.read("ChunkBlackLevel", frame), BufferValue(std::int64_t{6}));
}

}  // namespace
}  // namespace corvantic::genicam
