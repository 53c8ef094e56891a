// Node evaluation through a register port over an in-memory byte map that
// counts device reads and writes: register codecs, caching and
// invalidation, references and cycles, formulas and converters, typed
// operations per kind, bounds, entries and access modes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "genicam/node.hpp"

namespace corvantic::genicam {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = GenicamError::Kind;

class MemoryPort final : public RegisterPort {
 public:
  void set(std::uint64_t address, const Bytes& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) memory_[address + i] = bytes[i];
  }
  [[nodiscard]] Bytes get(std::uint64_t address, std::size_t length) const {
    Bytes out(length);
    for (std::size_t i = 0; i < length; ++i) {
      const auto found = memory_.find(address + i);
      out[i] = found == memory_.end() ? 0 : found->second;
    }
    return out;
  }

  gige::CameraResult<Bytes> read(std::uint64_t address, std::size_t length) override {
    ++reads;
    last_read = {address, length};
    if (failure) return std::unexpected(*failure);
    return get(address, length);
  }
  gige::CameraResult<void> write(std::uint64_t address, std::span<const std::uint8_t> data) override {
    ++writes;
    if (failure) return std::unexpected(*failure);
    set(address, Bytes(data.begin(), data.end()));
    last_write = {address, Bytes(data.begin(), data.end())};
    return {};
  }

  int reads = 0;
  int writes = 0;
  std::pair<std::uint64_t, std::size_t> last_read{};
  std::pair<std::uint64_t, Bytes> last_write{};
  std::optional<gige::CameraError> failure;

 private:
  std::map<std::uint64_t, std::uint8_t> memory_;
};

// A model of `body` and a port; nodes are addressed by name.
class Device {
 public:
  explicit Device(std::string_view body)
      : built_(build_feature_model("<RegisterDescription>" + std::string(body) + "</RegisterDescription>")) {
    EXPECT_TRUE(built_) << built_.error().display();
  }
  FeatureModel& model() { return *built_; }
  std::uint32_t at(std::string_view name) {
    const auto index = built_->index_of(name);
    EXPECT_TRUE(index) << "no node " << name;
    return index.value_or(0);
  }

  GenicamResult<std::int64_t> read_integer(std::string_view name) {
    return model().read_integer(at(name), port);
  }
  GenicamResult<double> read_float(std::string_view name) { return model().read_float(at(name), port); }
  GenicamResult<bool> read_boolean(std::string_view name) { return model().read_boolean(at(name), port); }
  GenicamResult<std::string> read_string(std::string_view name) {
    return model().read_string(at(name), port);
  }
  GenicamResult<void> write_integer(std::string_view name, std::int64_t v) {
    return model().write_integer(at(name), v, port);
  }
  GenicamResult<void> write_float(std::string_view name, double v) {
    return model().write_float(at(name), v, port);
  }
  GenicamResult<void> write_boolean(std::string_view name, bool v) {
    return model().write_boolean(at(name), v, port);
  }
  GenicamResult<void> write_string(std::string_view name, std::string_view v) {
    return model().write_string(at(name), v, port);
  }

  MemoryPort port;

 private:
  GenicamResult<FeatureModel> built_;
};

template <typename T>
std::string error_text(const GenicamResult<T>& result) {
  return result ? std::string("(no error)") : result.error().display();
}

// ---- Integer registers

TEST(FeatureModelEval, MaskedBigEndianFieldReadsAndWritesOnlyItsBits) {
  Device d(
      "<MaskedIntReg Name=\"Packet\"><Address>0xd04</Address><Length>4</Length><LSB>31</LSB><MSB>16</MSB>"
      "<Endianess>BigEndian</Endianess><Cachable>NoCache</Cachable></MaskedIntReg>");
  d.port.set(0xd04, {0x12, 0x34, 0x05, 0xDC});
  EXPECT_EQ(d.read_integer("Packet"), 1500);
  EXPECT_EQ(d.port.last_read, (std::pair<std::uint64_t, std::size_t>(0xd04, 4)));
  ASSERT_TRUE(d.write_integer("Packet", 9000));
  EXPECT_EQ(d.port.get(0xd04, 4), (Bytes{0x12, 0x34, 0x23, 0x28}));
  // Bits of the value beyond the field are dropped.
  ASSERT_TRUE(d.write_integer("Packet", 0x7FFFF));
  EXPECT_EQ(d.port.get(0xd04, 4), (Bytes{0x12, 0x34, 0xFF, 0xFF}));
}

TEST(FeatureModelEval, IntRegSignAndByteOrder) {
  Device d(
      "<IntReg Name=\"S\"><Address>0</Address><Length>2</Length><Sign>Signed</Sign></IntReg>"
      "<IntReg Name=\"U\"><Address>0</Address><Length>2</Length></IntReg>"
      "<IntReg Name=\"BE\"><Address>4</Address><Length>3</Length><Endianess>BigEndian</Endianess></IntReg>"
      "<IntReg Name=\"LE\"><Address>4</Address><Length>3</Length></IntReg>"
      "<IntReg Name=\"Wide\"><Address>8</Address><Length>8</Length></IntReg>");
  d.port.set(0, {0xFF, 0xFF});
  d.port.set(4, {0x01, 0x02, 0x03});
  d.port.set(8, {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(d.read_integer("S"), -1);
  EXPECT_EQ(d.read_integer("U"), 65535);
  EXPECT_EQ(d.read_integer("BE"), 0x010203);
  EXPECT_EQ(d.read_integer("LE"), 0x030201);
  // A full 64-bit register is taken bit for bit.
  EXPECT_EQ(d.read_integer("Wide"), -2);

  ASSERT_TRUE(d.write_integer("BE", 0x0A0B0C));
  EXPECT_EQ(d.port.last_write.second, (Bytes{0x0A, 0x0B, 0x0C}));
  ASSERT_TRUE(d.write_integer("S", -2));
  EXPECT_EQ(d.port.last_write, (std::pair<std::uint64_t, Bytes>(0, Bytes{0xFE, 0xFF})));
}

TEST(FeatureModelEval, BitFieldPositions) {
  // 16-bit register 0xA5C3 = 1010 0101 1100 0011 (bit 15 .. bit 0).
  Device d(
      "<MaskedIntReg Name=\"LeBit\"><Address>0</Address><Length>2</Length><Bit>1</Bit></MaskedIntReg>"
      "<MaskedIntReg Name=\"LeRange\"><Address>0</Address><Length>2</Length><LSB>4</LSB><MSB>7</MSB>"
      "</MaskedIntReg>"
      "<MaskedIntReg Name=\"LeSigned\"><Address>0</Address><Length>2</Length><LSB>4</LSB><MSB>7</MSB>"
      "<Sign>Signed</Sign></MaskedIntReg>"
      "<MaskedIntReg Name=\"LeMsbOnly\"><Address>0</Address><Length>2</Length><MSB>3</MSB></MaskedIntReg>"
      "<MaskedIntReg Name=\"BeBit\"><Address>0</Address><Length>2</Length><Bit>0</Bit>"
      "<Endianess>BigEndian</Endianess></MaskedIntReg>"
      "<MaskedIntReg Name=\"BeMsbOnly\"><Address>0</Address><Length>2</Length><MSB>15</MSB>"
      "<Endianess>BigEndian</Endianess></MaskedIntReg>"
      "<MaskedIntReg Name=\"BeRange\"><Address>0</Address><Length>2</Length><LSB>7</LSB><MSB>0</MSB>"
      "<Endianess>BigEndian</Endianess></MaskedIntReg>"
      "<MaskedIntReg Name=\"BeLsbWithBit\"><Address>0</Address><Length>2</Length><LSB>15</LSB><Bit>12</Bit>"
      "<Endianess>BigEndian</Endianess></MaskedIntReg>");
  d.port.set(0, {0xC3, 0xA5});  // little-endian bytes of 0xA5C3
  EXPECT_EQ(d.read_integer("LeBit"), 1);
  EXPECT_EQ(d.read_integer("LeRange"), 0xC);
  EXPECT_EQ(d.read_integer("LeSigned"), -4);
  EXPECT_EQ(d.read_integer("LeMsbOnly"), 0x3);
  d.port.set(0, {0xA5, 0xC3});  // big-endian bytes of the same value
  d.model().invalidate_caches();
  EXPECT_EQ(d.read_integer("BeBit"), 1);           // bit 15
  EXPECT_EQ(d.read_integer("BeMsbOnly"), 1);       // MSB 15 counts from the top: bit 0
  EXPECT_EQ(d.read_integer("BeRange"), 0xA5);      // bits 8..15
  EXPECT_EQ(d.read_integer("BeLsbWithBit"), 0x3);  // bits 0..3: LSB 15, high end from Bit 12
}

TEST(FeatureModelEval, IntegerRegisterLengthAndBitRangeFaults) {
  Device d(
      "<IntReg Name=\"Nine\"><Address>0</Address><Length>9</Length></IntReg>"
      "<IntReg Name=\"Zero\"><Address>0</Address><Length>0</Length></IntReg>"
      "<IntReg Name=\"Negative\"><Address>0</Address><Length>-1</Length></IntReg>"
      "<IntReg Name=\"Huge\"><Address>0</Address><Length>0x7FFFFFFFFFFFFFFF</Length></IntReg>"
      "<MaskedIntReg Name=\"Outside\"><Address>0</Address><Length>4</Length><LSB>40</LSB></MaskedIntReg>"
      "<MaskedIntReg Name=\"Reversed\"><Address>0</Address><Length>4</Length><LSB>5</LSB><MSB>0</MSB>"
      "</MaskedIntReg>"
      "<MaskedIntReg Name=\"BeOutside\"><Address>0</Address><Length>4</Length><Bit>40</Bit>"
      "<Endianess>BigEndian</Endianess></MaskedIntReg>"
      "<MaskedIntReg Name=\"Extreme\"><Address>0</Address><Length>4</Length><LSB>-9223372036854775808</LSB>"
      "<Endianess>BigEndian</Endianess></MaskedIntReg>");
  EXPECT_EQ(error_text(d.read_integer("Nine")), "formula in 'Nine': unsupported integer register length 9");
  EXPECT_EQ(error_text(d.write_integer("Nine", 1)),
            "formula in 'Nine': unsupported integer register length 9");
  EXPECT_EQ(error_text(d.read_integer("Zero")), "formula in 'Zero': unsupported integer register length 0");
  const int reads = d.port.reads;
  EXPECT_EQ(error_text(d.read_integer("Negative")),
            "formula in 'Negative': unsupported integer register length -1");
  EXPECT_EQ(error_text(d.read_integer("Huge")),
            "formula in 'Huge': unsupported integer register length 9223372036854775807");
  EXPECT_EQ(d.port.reads, reads);  // refused before any device access
  EXPECT_EQ(error_text(d.read_integer("Outside")), "formula in 'Outside': bad bit range 40..40 for 4 bytes");
  EXPECT_EQ(error_text(d.read_integer("Reversed")), "formula in 'Reversed': bad bit range 5..0 for 4 bytes");
  EXPECT_EQ(error_text(d.read_integer("BeOutside")),
            "formula in 'BeOutside': bad bit range -9..-9 for 4 bytes");
  EXPECT_EQ(d.read_integer("Extreme").error().kind(), Kind::Evaluation);
  const int writes = d.port.writes;
  EXPECT_EQ(error_text(d.write_integer("Outside", 1)),
            "formula in 'Outside': bad bit range 40..40 for 4 bytes");
  EXPECT_EQ(d.port.writes, writes);
}

TEST(FeatureModelEval, AddressTermsAreSummedAndLengthMayBeAReference) {
  Device d(
      "<IntReg Name=\"R\"><Address>0x1000</Address><pAddress>Offset</pAddress><Address>0x20</Address>"
      "<pLength>Len</pLength></IntReg>"
      "<Integer Name=\"Offset\"><Value>0x300</Value></Integer><Integer "
      "Name=\"Len\"><Value>2</Value></Integer>"
      "<IntReg Name=\"Wrap\"><Address>0xFFFFFFFFFFFFFFFF</Address><Address>0x11</Address></IntReg>"
      "<IntReg Name=\"Inline\"><IntSwissKnife><pVariable Name=\"O\">Offset</pVariable><Formula>O*2</Formula>"
      "</IntSwissKnife><Address>1</Address></IntReg>");
  d.port.set(0x1320, {0x34, 0x12});
  EXPECT_EQ(d.read_integer("R"), 0x1234);
  EXPECT_EQ(d.port.last_read, (std::pair<std::uint64_t, std::size_t>(0x1320, 2)));
  (void)d.read_integer("Wrap");
  EXPECT_EQ(d.port.last_read, (std::pair<std::uint64_t, std::size_t>(0x10, 4)));
  (void)d.read_integer("Inline");
  EXPECT_EQ(d.port.last_read, (std::pair<std::uint64_t, std::size_t>(0x601, 4)));
}

// ---- Caching and invalidation

TEST(FeatureModelEval, WriteAroundRegisterReadsTheDeviceOnceUntilWritten) {
  Device d("<IntReg Name=\"R\"><Address>0x10</Address></IntReg>");
  d.port.set(0x10, {7, 0, 0, 0});
  EXPECT_EQ(d.read_integer("R"), 7);
  d.port.set(0x10, {8, 0, 0, 0});  // changed behind the model's back
  EXPECT_EQ(d.read_integer("R"), 7);
  EXPECT_EQ(d.port.reads, 1);
  ASSERT_TRUE(d.write_integer("R", 9));
  EXPECT_EQ(d.read_integer("R"), 9);
  EXPECT_EQ(d.port.reads, 2);
  d.port.set(0x10, {10, 0, 0, 0});
  d.model().invalidate_caches();
  EXPECT_EQ(d.read_integer("R"), 10);
  EXPECT_EQ(d.port.reads, 3);
}

TEST(FeatureModelEval, WriteThroughRegisterIsNotReadBack) {
  Device d(
      "<IntReg Name=\"R\"><Address>0x10</Address><Cachable>WriteThrough</Cachable></IntReg>"
      "<FloatReg Name=\"F\"><Address>0x20</Address><Cachable>WriteThrough</Cachable></FloatReg>");
  ASSERT_TRUE(d.write_integer("R", 42));
  ASSERT_TRUE(d.write_float("F", 1.5));
  EXPECT_EQ(d.read_integer("R"), 42);
  EXPECT_EQ(d.read_float("F"), 1.5);
  EXPECT_EQ(d.port.reads, 0);
  EXPECT_EQ(d.port.writes, 2);
}

TEST(FeatureModelEval, NoCacheRegisterAlwaysReadsTheDevice) {
  Device d("<IntReg Name=\"R\"><Address>0x10</Address><Cachable>NoCache</Cachable></IntReg>");
  d.port.set(0x10, {1, 0, 0, 0});
  EXPECT_EQ(d.read_integer("R"), 1);
  d.port.set(0x10, {2, 0, 0, 0});
  EXPECT_EQ(d.read_integer("R"), 2);
  ASSERT_TRUE(d.write_integer("R", 3));
  EXPECT_EQ(d.read_integer("R"), 3);
  EXPECT_EQ(d.port.reads, 3);
}

TEST(FeatureModelEval, WritingARegisterInvalidatesItsDependentsOnly) {
  Device d(
      "<IntReg Name=\"Trigger\"><Address>0</Address></IntReg>"
      "<IntReg Name=\"Status\"><Address>4</Address><pInvalidator>Trigger</pInvalidator></IntReg>"
      "<IntReg Name=\"Derived\"><Address>8</Address><pInvalidator>Status</pInvalidator></IntReg>"
      "<IntReg Name=\"Other\"><Address>12</Address></IntReg>");
  for (const char* name : {"Status", "Derived", "Other"}) ASSERT_TRUE(d.read_integer(name));
  EXPECT_EQ(d.port.reads, 3);
  d.port.set(4, {5, 0, 0, 0});
  ASSERT_TRUE(d.write_integer("Trigger", 1));
  EXPECT_EQ(d.read_integer("Status"), 5);
  EXPECT_EQ(d.port.reads, 4);
  // Dependents of dependents are not visited.
  ASSERT_TRUE(d.read_integer("Derived"));
  ASSERT_TRUE(d.read_integer("Other"));
  EXPECT_EQ(d.port.reads, 4);
}

// An invalidator may name a feature rather than a register: writing the
// feature, or any node on the way from it to the register written, then
// invalidates. Writing the register alone does not, nor does writing a
// node off that way.
TEST(FeatureModelEval, WritesInvalidateRegistersNamingAnyNodeOnTheirWay) {
  Device d(
      "<Integer Name=\"Width\"><pValue>WidthConverter</pValue></Integer>"
      "<IntConverter Name=\"WidthConverter\"><pValue>WidthReg</pValue>"
      "<FormulaTo>FROM / 2</FormulaTo><FormulaFrom>TO * 2</FormulaFrom></IntConverter>"
      "<IntReg Name=\"WidthReg\"><Address>0</Address><Cachable>WriteThrough</Cachable></IntReg>"
      "<IntReg Name=\"PayloadSize\"><Address>4</Address><pInvalidator>Width</pInvalidator></IntReg>"
      "<IntReg Name=\"LineSize\"><Address>8</Address><pInvalidator>WidthConverter</pInvalidator></IntReg>"
      "<IntReg Name=\"Elsewhere\"><Address>12</Address><pInvalidator>Height</pInvalidator></IntReg>"
      "<Integer Name=\"Height\"><Value>48</Value></Integer>"
      "<Command Name=\"Apply\"><pValue>Width</pValue><CommandValue>64</CommandValue></Command>");
  const auto cached_reads = [&] {
    const int before = d.port.reads;
    for (const char* name : {"PayloadSize", "LineSize", "Elsewhere"}) {
      EXPECT_TRUE(d.read_integer(name)) << name;
    }
    return d.port.reads - before;
  };
  EXPECT_EQ(cached_reads(), 3);
  EXPECT_EQ(cached_reads(), 0);

  d.port.set(4, {0x00, 0x0C, 0, 0});
  ASSERT_TRUE(d.write_integer("Width", 32));
  EXPECT_EQ(d.port.get(0, 4), (Bytes{16, 0, 0, 0}));
  EXPECT_EQ(cached_reads(), 2);
  EXPECT_EQ(d.read_integer("PayloadSize"), 0xC00);

  // Guarded, as feature access runs it; through a command; as a float.
  FeatureModel& model = d.model();
  const auto width = d.at("Width");
  ASSERT_TRUE(model.guarded(width, [&] { return model.write_integer(width, 16, d.port); }));
  EXPECT_EQ(cached_reads(), 2);
  ASSERT_TRUE(model.execute(d.at("Apply"), d.port));
  EXPECT_EQ(cached_reads(), 2);
  ASSERT_TRUE(d.write_float("Width", 8.0));
  EXPECT_EQ(cached_reads(), 2);

  // From the converter on: the feature is not on the way.
  ASSERT_TRUE(d.write_integer("WidthConverter", 8));
  EXPECT_EQ(cached_reads(), 1);
  // The register alone, and a node that writes nothing.
  ASSERT_TRUE(d.write_integer("WidthReg", 4));
  ASSERT_TRUE(d.write_integer("Height", 24));
  EXPECT_EQ(cached_reads(), 0);
}

TEST(FeatureModelEval, FailedWritesLeaveTheCacheAndDeviceAlone) {
  Device d(
      "<IntReg Name=\"R\"><Address>0</Address></IntReg>"
      "<IntReg Name=\"Lost\"><pAddress>Nowhere</pAddress></IntReg>");
  d.port.set(0, {1, 0, 0, 0});
  ASSERT_EQ(d.read_integer("R"), 1);
  d.port.failure = gige::CameraError::ack_timeout();
  const auto failed = d.write_integer("R", 2);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().kind(), Kind::Transport);
  EXPECT_EQ(failed.error().display(), "timed out waiting for acknowledge");
  d.port.failure.reset();
  EXPECT_EQ(d.read_integer("R"), 1);  // still cached: the write did not happen
  const int writes = d.port.writes;
  EXPECT_EQ(error_text(d.write_integer("Lost", 1)), "dangling reference 'Nowhere'");
  EXPECT_EQ(d.port.writes, writes);
}

TEST(FeatureModelEval, PortFailuresBecomeTransportErrors) {
  Device d(
      "<IntReg Name=\"R\"><Address>0</Address></IntReg><StringReg Name=\"S\"><Address>0</Address></StringReg>"
      "<Integer Name=\"I\"><pValue>R</pValue></Integer>");
  d.port.failure = gige::CameraError::control_lost();
  for (const auto& result : {d.read_integer("R"), d.read_integer("I")}) {
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), Kind::Transport);
    EXPECT_EQ(result.error().display(), "device control was lost (heartbeat failed)");
  }
  EXPECT_EQ(d.read_string("S").error().kind(), Kind::Transport);
  EXPECT_TRUE(d.model().evaluation_stack().empty());
}

// ---- Access modes of registers

TEST(FeatureModelEval, RegisterAccessModesAreCheckedBeforeDeviceTraffic) {
  Device d(
      "<IntReg Name=\"RO\"><Address>0</Address><AccessMode>RO</AccessMode></IntReg>"
      "<IntReg Name=\"WO\"><Address>0</Address><AccessMode>WO</AccessMode></IntReg>"
      "<FloatReg Name=\"FRO\"><Address>0</Address><AccessMode>RO</AccessMode></FloatReg>"
      "<StringReg Name=\"SRO\"><Address>0</Address><AccessMode>RO</AccessMode></StringReg>"
      "<StringReg Name=\"SWO\"><Address>0</Address><AccessMode>WO</AccessMode></StringReg>");
  EXPECT_EQ(error_text(d.write_integer("RO", 1)), "node 'RO' is not accessible this way (access mode)");
  EXPECT_EQ(error_text(d.read_integer("WO")), "node 'WO' is not accessible this way (access mode)");
  EXPECT_EQ(d.write_float("FRO", 1).error().kind(), Kind::AccessDenied);
  EXPECT_EQ(d.write_string("SRO", "x").error().kind(), Kind::AccessDenied);
  EXPECT_EQ(d.read_string("SWO").error().kind(), Kind::AccessDenied);
  EXPECT_EQ(d.port.reads + d.port.writes, 0);
  ASSERT_TRUE(d.write_integer("WO", 3));
  EXPECT_TRUE(d.read_integer("RO"));
}

// Write-only registers cannot be read: a bit field in one is written with
// the other bits zero, in the register's byte order and length.
TEST(FeatureModelEval, WriteOnlyBitFieldsAreWrittenWithTheOtherBitsZero) {
  Device d(
      "<MaskedIntReg Name=\"Start\"><Address>0x10</Address><Length>4</Length><AccessMode>WO</AccessMode>"
      "<Bit>30</Bit><Endianess>BigEndian</Endianess></MaskedIntReg>"
      "<MaskedIntReg Name=\"Mode\"><Address>0x20</Address><Length>2</Length><AccessMode>WO</AccessMode>"
      "<LSB>4</LSB><MSB>7</MSB></MaskedIntReg>"
      "<StructReg><Address>0x30</Address><Length>4</Length><AccessMode>WO</AccessMode>"
      "<StructEntry Name=\"Stop\"><Bit>0</Bit></StructEntry>"
      "<StructEntry Name=\"Level\"><LSB>8</LSB><MSB>15</MSB><AccessMode>RW</AccessMode></StructEntry>"
      "<StructEntry Name=\"Wide\"><LSB>40</LSB><MSB>41</MSB></StructEntry>"
      "</StructReg>"
      "<Command Name=\"AcquisitionStart\"><pValue>Start</pValue><CommandValue>1</CommandValue></Command>");
  d.port.set(0x10, {0xFF, 0xFF, 0xFF, 0xFF});
  d.port.set(0x20, {0xFF, 0xFF});
  d.port.set(0x30, {0xFF, 0xFF, 0xFF, 0xFF});

  ASSERT_TRUE(d.model().execute(d.at("AcquisitionStart"), d.port));
  EXPECT_EQ(d.port.get(0x10, 4), (Bytes{0x00, 0x00, 0x00, 0x02}));
  ASSERT_TRUE(d.write_integer("Mode", 0x1A));  // bits beyond the field dropped
  EXPECT_EQ(d.port.get(0x20, 2), (Bytes{0xA0, 0x00}));
  ASSERT_TRUE(d.write_integer("Stop", 1));
  EXPECT_EQ(d.port.get(0x30, 4), (Bytes{0x01, 0x00, 0x00, 0x00}));
  EXPECT_EQ(d.port.reads, 0);
  EXPECT_EQ(d.port.writes, 3);
  // A readable entry of the same register is still read, modified, written.
  ASSERT_TRUE(d.write_integer("Level", 0x55));
  EXPECT_EQ(d.port.reads, 1);
  EXPECT_EQ(d.port.get(0x30, 4), (Bytes{0x01, 0x55, 0x00, 0x00}));
  // The bit range is checked against the length all the same.
  EXPECT_EQ(error_text(d.write_integer("Wide", 1)), "formula in 'Wide': bad bit range 40..41 for 4 bytes");
  EXPECT_EQ(error_text(d.read_integer("Stop")), "node 'Stop' is not accessible this way (access mode)");
}

// ---- Float and string registers

TEST(FeatureModelEval, FloatRegisters) {
  Device d(
      "<FloatReg Name=\"Single\"><Address>0</Address><Length>4</Length><Endianess>BigEndian</Endianess>"
      "</FloatReg>"
      "<FloatReg Name=\"Double\"><Address>8</Address><Length>8</Length></FloatReg>"
      "<FloatReg Name=\"Short\"><Address>0</Address><Length>2</Length></FloatReg>");
  d.port.set(0, {0x3F, 0xC0, 0x00, 0x00});        // 1.5f, big-endian
  d.port.set(8, {0, 0, 0, 0, 0, 0, 0x04, 0xC0});  // -2.5, little-endian
  EXPECT_EQ(d.read_float("Single"), 1.5);
  EXPECT_EQ(d.read_float("Double"), -2.5);
  EXPECT_EQ(error_text(d.read_float("Short")), "formula in 'Short': unsupported float register length 2");
  EXPECT_EQ(error_text(d.write_float("Short", 1)), "formula in 'Short': unsupported float register length 2");
  ASSERT_TRUE(d.write_float("Single", -0.25));
  EXPECT_EQ(d.port.last_write.second, (Bytes{0xBE, 0x80, 0x00, 0x00}));
  ASSERT_TRUE(d.write_float("Double", 1.0));
  EXPECT_EQ(d.port.last_write.second, (Bytes{0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));
  EXPECT_EQ(d.read_integer("Single").error().kind(), Kind::WrongType);
  EXPECT_EQ(d.write_integer("Single", 1).error().kind(), Kind::WrongType);
}

TEST(FeatureModelEval, StringRegisters) {
  Device d(
      "<StringReg Name=\"S\"><Address>0</Address><Length>8</Length></StringReg>"
      "<StringReg Name=\"Full\"><Address>0</Address><Length>3</Length></StringReg>"
      "<StringReg Name=\"Bad\"><Address>16</Address><Length>4</Length></StringReg>");
  d.port.set(0, {'M', 'o', 'n', 'o', 0, 'x', 'y', 'z'});
  d.port.set(16, {'a', 0xFF, 'b', 0});
  EXPECT_EQ(d.read_string("S"), "Mono");
  EXPECT_EQ(d.read_string("Full"), "Mon");
  EXPECT_EQ(d.read_string("Bad"),
            "a\xEF\xBF\xBD"
            "b");
  ASSERT_TRUE(d.write_string("S", "Hi"));
  EXPECT_EQ(d.port.last_write.second, (Bytes{'H', 'i', 0, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(d.write_string("Full", "Longer"));
  EXPECT_EQ(d.port.last_write.second, (Bytes{'L', 'o', 'n'}));
  EXPECT_EQ(d.read_integer("S").error().kind(), Kind::WrongType);
}

// ---- Value sources

TEST(FeatureModelEval, ConstantWritesChangeOnlyTheModel) {
  Device d(
      "<Integer Name=\"I\"><Value>1</Value></Integer>"
      "<Float Name=\"F\"><Value>1.5</Value></Float>"
      "<Float Name=\"HexF\"><Value>0x10</Value></Float>"
      "<Integer Name=\"NoValue\"/>");
  ASSERT_TRUE(d.write_integer("I", 5));
  EXPECT_EQ(d.read_integer("I"), 5);
  ASSERT_TRUE(d.write_float("F", -3.25));
  EXPECT_EQ(d.read_float("F"), -3.25);
  // write_float on an integer node rounds half away from zero.
  ASSERT_TRUE(d.write_float("I", 2.6));
  EXPECT_EQ(d.read_integer("I"), 3);
  ASSERT_TRUE(d.write_float("I", -2.5));
  EXPECT_EQ(d.read_integer("I"), -3);
  EXPECT_EQ(d.port.reads + d.port.writes, 0);
  // A constant of the other type, or none, cannot be written.
  EXPECT_EQ(error_text(d.write_float("HexF", 1.0)), "node 'HexF' is not accessible this way (access mode)");
  EXPECT_EQ(d.read_float("HexF"), 16.0);
  EXPECT_EQ(error_text(d.write_integer("NoValue", 1)),
            "node 'NoValue' is not accessible this way (access mode)");
  EXPECT_EQ(error_text(d.read_integer("NoValue")), "node '<value reference>' does not support this access");
  EXPECT_EQ(d.write_integer("F", 1).error().kind(), Kind::WrongType);
}

TEST(FeatureModelEval, FloatNodesReadAsIntegersRoundHalfAwayFromZero) {
  Device d(
      "<Float Name=\"A\"><Value>2.5</Value></Float><Float Name=\"B\"><Value>-2.5</Value></Float>"
      "<Float Name=\"N\"><Value>NaN</Value></Float><Float Name=\"Big\"><Value>1e300</Value></Float>"
      "<Integer Name=\"I\"><Value>-7</Value></Integer>");
  EXPECT_EQ(d.read_integer("A"), 3);
  EXPECT_EQ(d.read_integer("B"), -3);
  EXPECT_EQ(d.read_integer("N"), 0);
  EXPECT_EQ(d.read_integer("Big"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(d.read_float("I"), -7.0);
}

TEST(FeatureModelEval, ReferencesAreFollowedForReadsAndWrites) {
  Device d(
      "<Integer Name=\"Width\"><pValue>WidthReg</pValue><pMin>WidthMin</pMin><Max>4096</Max>"
      "<pInc>WidthInc</pInc></Integer>"
      "<IntReg Name=\"WidthReg\"><Address>0x100</Address><Endianess>BigEndian</Endianess></IntReg>"
      "<Integer Name=\"WidthMin\"><Value>16</Value></Integer>"
      "<Integer Name=\"WidthInc\"><Value>8</Value></Integer>"
      "<Float Name=\"Gain\"><pValue>GainReg</pValue><pMax>GainMax</pMax></Float>"
      "<FloatReg Name=\"GainReg\"><Address>0x200</Address></FloatReg>"
      "<Integer Name=\"GainMax\"><Value>24</Value></Integer>"
      "<Integer Name=\"Ghost\"><pValue>Missing</pValue></Integer>");
  d.port.set(0x100, {0, 0, 0x02, 0x80});
  EXPECT_EQ(d.read_integer("Width"), 640);
  ASSERT_TRUE(d.write_integer("Width", 1024));
  EXPECT_EQ(d.port.get(0x100, 4), (Bytes{0, 0, 0x04, 0x00}));
  using IntBounds = std::pair<std::int64_t, std::int64_t>;
  EXPECT_EQ(d.model().integer_bounds(d.at("Width"), d.port), IntBounds(16, 4096));
  EXPECT_EQ(d.model().integer_increment(d.at("Width"), d.port), 8);
  ASSERT_TRUE(d.write_float("Gain", 6.5));
  EXPECT_EQ(d.read_float("Gain"), 6.5);
  EXPECT_EQ(d.read_integer("Gain"), 7);
  using FloatBounds = std::pair<double, double>;
  EXPECT_EQ(d.model().float_bounds(d.at("Gain"), d.port),
            FloatBounds(-std::numeric_limits<double>::max(), 24.0));
  EXPECT_EQ(error_text(d.read_integer("Ghost")), "dangling reference 'Missing'");
  EXPECT_EQ(error_text(d.write_integer("Ghost", 1)), "dangling reference 'Missing'");
  EXPECT_TRUE(d.model().evaluation_stack().empty());
}

// ---- Cycles and depth

TEST(FeatureModelEval, CyclesEndInCircularReferenceWithAnEmptyStack) {
  Device d(
      "<Integer Name=\"A\"><pValue>B</pValue></Integer><Integer Name=\"B\"><pValue>A</pValue></Integer>"
      "<Integer Name=\"Self\"><pValue>Self</pValue></Integer>"
      "<IntSwissKnife Name=\"K\"><pVariable Name=\"X\">L</pVariable><Formula>X+1</Formula></IntSwissKnife>"
      "<IntSwissKnife Name=\"L\"><Formula>K*2</Formula></IntSwissKnife>"
      "<IntReg Name=\"R\"><pAddress>RAddr</pAddress></IntReg>"
      "<Integer Name=\"RAddr\"><pValue>R</pValue></Integer>"
      "<Integer Name=\"MinLoop\"><pValue>MinLoop</pValue><pMin>MinLoop</pMin></Integer>");
  EXPECT_EQ(error_text(d.read_integer("A")), "circular reference through 'B'");
  EXPECT_TRUE(d.model().evaluation_stack().empty());
  EXPECT_EQ(error_text(d.write_integer("A", 1)), "circular reference through 'B'");
  EXPECT_EQ(error_text(d.read_integer("Self")), "circular reference through 'Self'");
  EXPECT_EQ(error_text(d.read_integer("K")), "circular reference through 'L'");
  EXPECT_EQ(error_text(d.read_float("L")), "circular reference through 'K'");
  EXPECT_EQ(error_text(d.read_integer("R")), "circular reference through 'RAddr'");
  EXPECT_EQ(d.model().integer_bounds(d.at("MinLoop"), d.port).error().kind(), Kind::CircularReference);
  EXPECT_TRUE(d.model().evaluation_stack().empty());
  EXPECT_EQ(d.port.reads, 0);
  // A diamond is not a cycle.
  Device diamond(
      "<IntSwissKnife Name=\"Top\"><pVariable Name=\"A\">Left</pVariable><pVariable "
      "Name=\"B\">Right</pVariable>"
      "<Formula>A+B</Formula></IntSwissKnife>"
      "<Integer Name=\"Left\"><pValue>Base</pValue></Integer><Integer "
      "Name=\"Right\"><pValue>Base</pValue></Integer>"
      "<Integer Name=\"Base\"><Value>21</Value></Integer>");
  EXPECT_EQ(diamond.read_integer("Top"), 42);
}

TEST(FeatureModelEval, GuardedOperationsPutTheCalledNodeOnTheStack) {
  Device d(
      "<Integer Name=\"A\"><pValue>B</pValue></Integer><Integer Name=\"B\"><pValue>A</pValue></Integer>");
  auto& model = d.model();
  const auto a = d.at("A");
  const auto guarded = model.guarded(a, [&] { return model.read_integer(a, d.port); });
  EXPECT_EQ(error_text(guarded), "circular reference through 'A'");
  EXPECT_TRUE(model.evaluation_stack().empty());
  ASSERT_TRUE(model.push_evaluation(a));
  EXPECT_EQ(error_text(model.push_evaluation(a)), "circular reference through 'A'");
  EXPECT_TRUE(model.evaluation_stack().empty());
  model.pop_evaluation();  // harmless on an empty stack
  EXPECT_TRUE(model.evaluation_stack().empty());
}

TEST(FeatureModelEval, ReferenceChainsDeeperThanTheLimitFailWithoutExhaustingTheStack) {
  const auto chain = [](int length) {
    std::string body;
    for (int i = 0; i < length; ++i) {
      body += "<Integer Name=\"N" + std::to_string(i) + "\"><pValue>N" + std::to_string(i + 1) +
              "</pValue></Integer>";
    }
    body += "<Integer Name=\"N" + std::to_string(length) + "\"><Value>11</Value></Integer>";
    return body;
  };
  Device shallow(chain(static_cast<int>(MAX_EVALUATION_DEPTH)));
  EXPECT_EQ(shallow.read_integer("N0"), 11);
  Device deep(chain(100'000));
  const auto result = deep.read_integer("N0");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().display(), "formula in 'N" + std::to_string(MAX_EVALUATION_DEPTH + 1) +
                                          "': references nested deeper than 256 nodes");
  EXPECT_TRUE(deep.model().evaluation_stack().empty());
  EXPECT_EQ(deep.model().access_mode(deep.at("N0")), AccessMode::RW);
}

// Layers of formulas that each read the next layer twice: evaluating the top
// visits about 2^(layers + 1) nodes.
std::string doubling_layers(std::string_view prefix, int layers) {
  std::string body;
  for (int i = 0; i < layers; ++i) {
    const auto next = std::string(prefix) + std::to_string(i + 1);
    body += "<IntSwissKnife Name=\"" + std::string(prefix) + std::to_string(i) + "\"><pVariable Name=\"A\">" +
            next + "</pVariable><pVariable Name=\"B\">" + next +
            "</pVariable><Formula>A+B</Formula></IntSwissKnife>";
  }
  body += "<Integer Name=\"" + std::string(prefix) + std::to_string(layers) + "\"><Value>1</Value></Integer>";
  return body;
}

TEST(FeatureModelEval, WorkPerOperationIsBounded) {
  Device small(doubling_layers("N", 10));
  EXPECT_EQ(small.read_integer("N0"), 1024);

  Device huge(doubling_layers("N", 60));
  const auto failed = huge.read_integer("N0");
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().kind(), Kind::Evaluation);
  EXPECT_EQ(failed.error().message(), "evaluation visits more than 100000 nodes");
  EXPECT_TRUE(huge.model().evaluation_stack().empty());

  // Three variables of ~65000 visits each: the budget covers the whole
  // operation, not each variable of the called node.
  Device wide(doubling_layers("X", 15) + doubling_layers("Y", 15) + doubling_layers("Z", 15) +
              "<IntSwissKnife Name=\"Top\"><Formula>X0+Y0+Z0</Formula></IntSwissKnife>");
  EXPECT_EQ(wide.read_integer("X0"), 32768);
  EXPECT_EQ(wide.read_integer("Top").error().message(), "evaluation visits more than 100000 nodes");
  // Each guarded operation starts a fresh count.
  const auto x0 = wide.at("X0");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(wide.model().guarded(x0, [&] { return wide.model().read_integer(x0, wide.port); }), 32768);
  }
}

// ---- Formulas and converters

TEST(FeatureModelEval, FormulaVariablesBindThroughListNameIndexOrFail) {
  Device d(
      "<SwissKnife Name=\"K\"><pVariable Name=\"W\">Width</pVariable><Formula>W * Scale / 2</Formula>"
      "</SwissKnife>"
      "<Integer Name=\"Width\"><Value>640</Value></Integer><Float Name=\"Scale\"><Value>1.5</Value></Float>"
      "<IntSwissKnife Name=\"Half\"><Formula>Width / 3</Formula></IntSwissKnife>"
      "<IntSwissKnife Name=\"Unbound\"><Formula>Width + Nothing</Formula></IntSwissKnife>"
      "<IntSwissKnife Name=\"Dangling\"><pVariable "
      "Name=\"X\">Gone</pVariable><Formula>X</Formula></IntSwissKnife>"
      "<IntSwissKnife Name=\"Broken\"><Formula>(1 + 2</Formula></IntSwissKnife>"
      "<IntSwissKnife Name=\"DivZero\"><Formula>Width / 0</Formula></IntSwissKnife>"
      "<IntSwissKnife Name=\"Empty\"/>");
  EXPECT_EQ(d.read_float("K"), 480.0);
  EXPECT_EQ(d.read_integer("K"), 480);
  EXPECT_EQ(d.read_integer("Half"), 213);
  EXPECT_EQ(d.read_float("Half"), 213.0);
  EXPECT_EQ(error_text(d.read_integer("Unbound")), "formula in 'Unbound': unbound variable 'Nothing'");
  EXPECT_EQ(error_text(d.read_integer("Dangling")), "dangling reference 'Gone'");
  EXPECT_EQ(error_text(d.read_integer("Broken")), "formula in 'Broken': unbalanced parenthesis");
  EXPECT_EQ(error_text(d.read_integer("DivZero")), "formula in 'DivZero': division by zero");
  EXPECT_EQ(d.read_integer("Empty").error().kind(), Kind::Evaluation);
  EXPECT_EQ(d.write_integer("K", 1).error().kind(), Kind::WrongType);
  // Formulas see later changes of their variables.
  ASSERT_TRUE(d.write_integer("Width", 300));
  EXPECT_EQ(d.read_integer("Half"), 100);
}

TEST(FeatureModelEval, LongFormulaTextsAndManyNames) {
  // 30000 characters of formula, and enough named nodes that their names
  // fill several blocks of the model's text store.
  std::string formula = "0";
  for (int i = 0; i < 10000; ++i) formula += "+ 1";
  std::string body = "<IntSwissKnife Name=\"Long\"><Formula>" + formula + "</Formula></IntSwissKnife>";
  const auto name = [](int i) { return "Node_" + std::string(40, 'x') + std::to_string(i); };
  for (int i = 0; i < 3000; ++i) {
    body += "<Integer Name=\"" + name(i) + "\"><pValue>" + name(i + 1) + "</pValue></Integer>";
  }
  body += "<Integer Name=\"" + name(3000) + "\"><Value>5</Value></Integer>";
  Device d(body);
  EXPECT_EQ(d.read_integer("Long"), 10000);
  for (int i = 0; i <= 3000; ++i) ASSERT_EQ(d.model().name(d.at(name(i))), name(i));
  EXPECT_EQ(d.read_integer(name(2800)), 5);
  EXPECT_EQ(d.model().access_mode(d.at(name(0))), AccessMode::RW);
}

TEST(FeatureModelEval, FormulaReadsRegistersByTheirKind) {
  Device d(
      "<SwissKnife Name=\"K\"><pVariable Name=\"F\">FR</pVariable><pVariable Name=\"I\">IR</pVariable>"
      "<Formula>F + I</Formula></SwissKnife>"
      "<FloatReg Name=\"FR\"><Address>0</Address></FloatReg><IntReg "
      "Name=\"IR\"><Address>4</Address></IntReg>");
  d.port.set(0, {0x00, 0x00, 0x20, 0x40});  // 2.5f
  d.port.set(4, {3, 0, 0, 0});
  EXPECT_EQ(d.read_float("K"), 5.5);
  EXPECT_EQ(d.read_integer("K"), 6);
  EXPECT_EQ(d.port.reads, 2);
}

TEST(FeatureModelEval, ConvertersMapBothWays) {
  Device d(
      "<Converter Name=\"Exposure\"><pValue>ExposureReg</pValue><pVariable Name=\"K\">Factor</pVariable>"
      "<FormulaTo>FROM * K</FormulaTo><FormulaFrom>TO / K</FormulaFrom></Converter>"
      "<IntReg Name=\"ExposureReg\"><Address>0</Address></IntReg>"
      "<Float Name=\"Factor\"><Value>2.0</Value></Float>"
      "<IntConverter Name=\"ToFloat\"><pValue>Target</pValue><FormulaTo>FROM + 0.25</FormulaTo>"
      "<FormulaFrom>TO</FormulaFrom></IntConverter>"
      "<Float Name=\"Target\"><Value>1.0</Value></Float>"
      "<Converter Name=\"Fixed\"><Value>10</Value><FormulaTo>FROM</FormulaTo><FormulaFrom>TO + "
      "1</FormulaFrom>"
      "</Converter>"
      "<Converter Name=\"Lost\"><pValue>Gone</pValue><FormulaTo>FROM</FormulaTo><FormulaFrom>TO</FormulaFrom>"
      "</Converter>");
  d.port.set(0, {100, 0, 0, 0});
  EXPECT_EQ(d.read_float("Exposure"), 50.0);
  ASSERT_TRUE(d.write_float("Exposure", 30.4));
  EXPECT_EQ(d.port.get(0, 4), (Bytes{61, 0, 0, 0}));  // 60.8 rounded for the integer register
  ASSERT_TRUE(d.write_integer("Exposure", 7));
  EXPECT_EQ(d.port.get(0, 4), (Bytes{14, 0, 0, 0}));
  EXPECT_EQ(d.read_integer("Exposure"), 7);

  ASSERT_TRUE(d.write_integer("ToFloat", 2));
  EXPECT_EQ(d.read_float("Target"), 2.25);  // a float target is written as a float
  EXPECT_EQ(d.read_float("ToFloat"), 2.25);

  EXPECT_EQ(d.read_integer("Fixed"), 11);
  EXPECT_EQ(error_text(d.write_integer("Fixed", 1)), "node 'Fixed' is not accessible this way (access mode)");
  EXPECT_EQ(error_text(d.read_integer("Lost")), "dangling reference 'Gone'");
  EXPECT_EQ(error_text(d.write_float("Lost", 1)), "dangling reference 'Gone'");
}

// ---- Booleans, enumerations, strings, commands

TEST(FeatureModelEval, BooleansCompareWithTheirOnValue) {
  Device d(
      "<Boolean Name=\"B\"><pValue>BReg</pValue><OnValue>5</OnValue><OffValue>3</OffValue></Boolean>"
      "<IntReg Name=\"BReg\"><Address>0</Address><Cachable>NoCache</Cachable></IntReg>"
      "<Integer Name=\"I\"><Value>7</Value></Integer><Integer Name=\"Zero\"><Value>0</Value></Integer>"
      "<Float Name=\"F\"><Value>0.4</Value></Float>");
  d.port.set(0, {5, 0, 0, 0});
  EXPECT_EQ(d.read_boolean("B"), true);
  d.port.set(0, {1, 0, 0, 0});
  EXPECT_EQ(d.read_boolean("B"), false);  // not 5, although not the OffValue either
  ASSERT_TRUE(d.write_boolean("B", false));
  EXPECT_EQ(d.port.get(0, 4), (Bytes{3, 0, 0, 0}));
  ASSERT_TRUE(d.write_boolean("B", true));
  EXPECT_EQ(d.port.get(0, 4), (Bytes{5, 0, 0, 0}));
  EXPECT_EQ(d.read_boolean("I"), true);
  EXPECT_EQ(d.read_boolean("Zero"), false);
  EXPECT_EQ(d.read_boolean("F"), false);  // read as its rounded integer
  ASSERT_TRUE(d.write_boolean("Zero", true));
  EXPECT_EQ(d.read_integer("Zero"), 1);
  EXPECT_EQ(d.read_float("B").error().kind(), Kind::WrongType);
}

TEST(FeatureModelEval, EnumerationsByEntry) {
  Device d(
      "<Enumeration Name=\"Mode\"><pValue>ModeReg</pValue>"
      "<EnumEntry Name=\"Off\"><Value>0</Value></EnumEntry><EnumEntry "
      "Name=\"Once\"><Value>1</Value></EnumEntry>"
      "<EnumEntry Name=\"Continuous\"><Value>2</Value></EnumEntry><EnumEntry Name=\"Alias\"><Value>2</Value>"
      "</EnumEntry></Enumeration>"
      "<IntReg Name=\"ModeReg\"><Address>0</Address><Cachable>NoCache</Cachable></IntReg>");
  d.port.set(0, {2, 0, 0, 0});
  EXPECT_EQ(d.read_string("Mode"), "Continuous");
  EXPECT_EQ(d.read_integer("Mode"), 2);
  ASSERT_TRUE(d.model().select_entry(d.at("Mode"), "Once", d.port));
  EXPECT_EQ(d.port.get(0, 4), (Bytes{1, 0, 0, 0}));
  ASSERT_TRUE(d.write_string("Mode", "Off"));
  EXPECT_EQ(d.port.get(0, 4), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(error_text(d.model().select_entry(d.at("Mode"), "once", d.port)),
            "enumeration 'Mode' has no entry 'once'");
  EXPECT_EQ(error_text(d.write_string("Mode", "Never")), "enumeration 'Mode' has no entry 'Never'");
  d.port.set(0, {7, 0, 0, 0});
  EXPECT_EQ(error_text(d.read_string("Mode")), "enumeration 'Mode' has no entry 'value 7'");
  ASSERT_TRUE(d.write_integer("ModeReg", -3));
  EXPECT_EQ(error_text(d.read_string("Mode")), "enumeration 'Mode' has no entry 'value 4294967293'");
  EXPECT_EQ(d.model().enum_entries(d.at("Mode")),
            (std::vector<std::string>{"Off", "Once", "Continuous", "Alias"}));
  EXPECT_EQ(d.model().enum_entries(d.at("ModeReg")).error().kind(), Kind::WrongType);
  EXPECT_EQ(d.model().select_entry(d.at("ModeReg"), "Off", d.port).error().kind(), Kind::WrongType);
}

TEST(FeatureModelEval, StringNodes) {
  Device d(
      "<String Name=\"Const\"><Value>hello</Value></String>"
      "<String Name=\"Ref\"><pValue>NameReg</pValue></String>"
      "<StringReg Name=\"NameReg\"><Address>0</Address><Length>8</Length></StringReg>"
      "<String Name=\"ToEnum\"><pValue>Mode</pValue></String>"
      "<Enumeration Name=\"Mode\"><Value>1</Value><EnumEntry "
      "Name=\"On\"><Value>1</Value></EnumEntry></Enumeration>"
      "<String Name=\"ToInt\"><pValue>I</pValue></String><Integer Name=\"I\"><Value>1</Value></Integer>"
      "<String Name=\"None\"/>");
  EXPECT_EQ(d.read_string("Const"), "hello");
  ASSERT_TRUE(d.write_string("Const", "bye"));
  EXPECT_EQ(d.read_string("Const"), "bye");
  ASSERT_TRUE(d.write_string("Ref", "cam"));
  EXPECT_EQ(d.port.get(0, 8), (Bytes{'c', 'a', 'm', 0, 0, 0, 0, 0}));
  EXPECT_EQ(d.read_string("Ref"), "cam");
  EXPECT_EQ(d.read_string("ToEnum"), "On");
  EXPECT_EQ(error_text(d.write_string("ToEnum", "On")), "node 'Mode' does not support this access");
  EXPECT_EQ(error_text(d.read_string("ToInt")), "node 'I' does not support this access");
  EXPECT_EQ(error_text(d.read_string("None")), "node '<value reference>' does not support this access");
  EXPECT_EQ(error_text(d.write_string("None", "x")), "node 'None' is not accessible this way (access mode)");
  EXPECT_EQ(d.read_integer("Const").error().kind(), Kind::WrongType);
  EXPECT_EQ(d.write_string("I", "1").error().kind(), Kind::WrongType);
}

TEST(FeatureModelEval, CommandsWriteTheirCommandValue) {
  Device d(
      "<Command Name=\"Start\"><pValue>StartReg</pValue></Command>"
      "<Command Name=\"Stop\"><pValue>StartReg</pValue><CommandValue>0x20</CommandValue></Command>"
      "<Command Name=\"Indirect\"><pValue>StartReg</pValue><pCommandValue>Code</pCommandValue></Command>"
      "<Integer Name=\"Code\"><Value>9</Value></Integer>"
      "<Command Name=\"Local\"><Value>0</Value></Command>"
      "<Command Name=\"Nowhere\"/>"
      "<IntReg Name=\"StartReg\"><Address>0x40</Address><AccessMode>WO</AccessMode></IntReg>");
  ASSERT_TRUE(d.model().execute(d.at("Start"), d.port));
  EXPECT_EQ(d.port.last_write, (std::pair<std::uint64_t, Bytes>(0x40, Bytes{1, 0, 0, 0})));
  ASSERT_TRUE(d.model().execute(d.at("Stop"), d.port));
  EXPECT_EQ(d.port.last_write.second, (Bytes{0x20, 0, 0, 0}));
  ASSERT_TRUE(d.model().execute(d.at("Indirect"), d.port));
  EXPECT_EQ(d.port.last_write.second, (Bytes{9, 0, 0, 0}));
  EXPECT_EQ(d.port.writes, 3);
  ASSERT_TRUE(d.model().execute(d.at("Local"), d.port));
  EXPECT_EQ(d.port.writes, 3);
  EXPECT_EQ(d.model().execute(d.at("Nowhere"), d.port).error().kind(), Kind::AccessDenied);
  EXPECT_EQ(d.model().execute(d.at("Code"), d.port).error().kind(), Kind::WrongType);
  EXPECT_EQ(d.read_integer("Start").error().kind(), Kind::WrongType);
  ASSERT_TRUE(d.write_integer("Start", 4));
  EXPECT_EQ(d.port.last_write.second, (Bytes{4, 0, 0, 0}));
}

// ---- Bounds, increments and access modes

TEST(FeatureModelEval, BoundsAndIncrements) {
  Device d(
      "<Integer Name=\"Plain\"><Value>0</Value></Integer>"
      "<Integer Name=\"Ranged\"><Value>0</Value><Min>-4</Min><Max>0x10</Max><Inc>4</Inc></Integer>"
      "<Float Name=\"F\"><Value>0</Value></Float><Float "
      "Name=\"FR\"><Value>0</Value><Min>0.5</Min><Max>0x20</Max>"
      "</Float>"
      "<IntReg Name=\"R\"><Address>0</Address><Length>1</Length></IntReg>"
      "<Enumeration Name=\"E\"><Value>0</Value></Enumeration>");
  using IntBounds = std::pair<std::int64_t, std::int64_t>;
  using FloatBounds = std::pair<double, double>;
  constexpr auto LOW = std::numeric_limits<std::int64_t>::min();
  constexpr auto HIGH = std::numeric_limits<std::int64_t>::max();
  constexpr auto DMAX = std::numeric_limits<double>::max();
  auto& m = d.model();
  EXPECT_EQ(m.integer_bounds(d.at("Plain"), d.port), IntBounds(LOW, HIGH));
  EXPECT_EQ(m.integer_bounds(d.at("Ranged"), d.port), IntBounds(-4, 16));
  EXPECT_EQ(m.integer_bounds(d.at("R"), d.port), IntBounds(LOW, HIGH));
  EXPECT_EQ(m.integer_increment(d.at("Plain"), d.port), 1);
  EXPECT_EQ(m.integer_increment(d.at("Ranged"), d.port), 4);
  EXPECT_EQ(m.float_bounds(d.at("F"), d.port), FloatBounds(-DMAX, DMAX));
  EXPECT_EQ(m.float_bounds(d.at("FR"), d.port), FloatBounds(0.5, 32.0));
  EXPECT_EQ(d.port.reads, 0);
  EXPECT_EQ(error_text(m.integer_bounds(d.at("F"), d.port)), "node 'F' does not support this access");
  EXPECT_EQ(m.integer_bounds(d.at("E"), d.port).error().kind(), Kind::WrongType);
  EXPECT_EQ(m.float_bounds(d.at("Plain"), d.port).error().kind(), Kind::WrongType);
  EXPECT_EQ(m.integer_increment(d.at("R"), d.port).error().kind(), Kind::WrongType);
  EXPECT_EQ(m.integer_increment(d.at("F"), d.port).error().kind(), Kind::WrongType);
}

TEST(FeatureModelEval, AccessModesFollowValueReferences) {
  Device d(
      "<Integer Name=\"Const\"><Value>1</Value></Integer>"
      "<Float Name=\"FConst\"><Value>0x1</Value></Float>"
      "<Integer Name=\"ViaRO\"><pValue>Mid</pValue></Integer>"
      "<Boolean Name=\"Mid\"><pValue>ROReg</pValue></Boolean>"
      "<IntReg Name=\"ROReg\"><Address>0</Address><AccessMode>RO</AccessMode></IntReg>"
      "<Enumeration Name=\"ViaWO\"><pValue>WOReg</pValue></Enumeration>"
      "<IntReg Name=\"WOReg\"><Address>0</Address><AccessMode>WO</AccessMode></IntReg>"
      "<Integer Name=\"ViaFormula\"><pValue>K</pValue></Integer><IntSwissKnife Name=\"K\"/>"
      "<Integer Name=\"Ghost\"><pValue>Missing</pValue></Integer>"
      "<Integer Name=\"Nothing\"/>"
      "<Command Name=\"Cmd\"><pValue>ROReg</pValue></Command>"
      "<String Name=\"S\"><Value>x</Value></String>"
      "<Converter Name=\"C\"><pValue>Const</pValue></Converter>"
      "<Integer Name=\"LoopA\"><pValue>LoopB</pValue></Integer><Float "
      "Name=\"LoopB\"><pValue>LoopA</pValue></Float>");
  const auto mode = [&](std::string_view name) { return d.model().access_mode(d.at(name)); };
  EXPECT_EQ(mode("Const"), AccessMode::RW);
  EXPECT_EQ(mode("FConst"), AccessMode::RW);
  EXPECT_EQ(mode("ViaRO"), AccessMode::RO);
  EXPECT_EQ(mode("ViaWO"), AccessMode::WO);
  EXPECT_EQ(mode("ViaFormula"), AccessMode::RO);
  EXPECT_EQ(mode("Ghost"), AccessMode::RO);
  EXPECT_EQ(mode("Nothing"), AccessMode::RO);
  EXPECT_EQ(mode("Cmd"), AccessMode::WO);
  EXPECT_EQ(mode("S"), AccessMode::RO);
  EXPECT_EQ(mode("C"), AccessMode::RO);
  EXPECT_EQ(error_text(mode("LoopA")), "circular reference through 'LoopA'");
  EXPECT_EQ(d.port.reads, 0);
}

TEST(FeatureModelEval, AccessModeLoopsLongerThanTheScanAreCaught) {
  std::string body;
  constexpr int LENGTH = 40;
  for (int i = 0; i < LENGTH; ++i) {
    body += "<Integer Name=\"N" + std::to_string(i) + "\"><pValue>N" + std::to_string((i + 1) % LENGTH) +
            "</pValue></Integer>";
  }
  Device d(body);
  EXPECT_EQ(error_text(d.model().access_mode(d.at("N5"))), "circular reference through 'N5'");
}

TEST(FeatureModelEval, KindsWithoutAnOperationAreWrongType) {
  Device d(
      "<Category Name=\"Root\"><pFeature>P</pFeature></Category><Port Name=\"P\"/>"
      "<Register Name=\"Raw\"><Address>0</Address><Length>16</Length></Register>");
  for (const char* name : {"Root", "P", "Raw"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(error_text(d.read_integer(name)),
              "node '" + std::string(name) + "' does not support this access");
    EXPECT_EQ(d.read_float(name).error().kind(), Kind::WrongType);
    EXPECT_EQ(d.read_string(name).error().kind(), Kind::WrongType);
    EXPECT_EQ(d.read_boolean(name).error().kind(), Kind::WrongType);
    EXPECT_EQ(d.write_integer(name, 1).error().kind(), Kind::WrongType);
    EXPECT_EQ(d.write_float(name, 1).error().kind(), Kind::WrongType);
    EXPECT_EQ(d.write_string(name, "x").error().kind(), Kind::WrongType);
  }
  EXPECT_EQ(d.model().access_mode(d.at("Root")), AccessMode::RO);
  EXPECT_EQ(d.model().access_mode(d.at("Raw")), AccessMode::RW);
  EXPECT_EQ(d.port.reads + d.port.writes, 0);
}

}  // namespace
}  // namespace corvantic::genicam
