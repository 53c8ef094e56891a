#include "genicam/features.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "genicam/sample_style_description.hpp"
#include "genicam/url.hpp"
#include "sim/device.hpp"
#include "test_address.hpp"
#include "util/log.hpp"

namespace corvantic::genicam {
namespace {

using namespace std::chrono_literals;

class FeaturesTest : public ::testing::Test {
 protected:
  // This process's own (test_address.hpp), so tests may run side by side.
  static inline const std::string CAMERA_IP = testing::next_test_address();

  void start(sim::DescriptionForm form = sim::DescriptionForm::Plain) {
    sim::VirtualCameraConfig config;
    config.address = CAMERA_IP;
    config.description = form;
    camera_ = std::make_unique<sim::VirtualCamera>(config);
    ASSERT_TRUE(camera_->start());
    gige::DriverConfig driver_config;
    driver_config.device = *net::SocketAddress::parse_ip(CAMERA_IP, gige::proto::GVCP_PORT);
    driver_config.local_ip = net::SocketAddress::ipv4(0x7F000001, 0);
    driver_ = std::make_unique<gige::GigeDriver>(driver_config);
    ASSERT_TRUE(driver_->connect());
  }

  void load() {
    const auto loaded = load_feature_model(device());
    ASSERT_TRUE(loaded) << loaded.error().display();
  }

  // Loads `xml` as the device's description, from a host file the first
  // location names.
  void load_host_file(std::string_view xml) {
    const std::string path = ::testing::TempDir() + "corvantic_features_test_" + std::to_string(::getpid()) + ".xml";
    {
      std::FILE* file = std::fopen(path.c_str(), "wb");
      ASSERT_NE(file, nullptr);
      ASSERT_EQ(std::fwrite(xml.data(), 1, xml.size(), file), xml.size());
      std::fclose(file);
    }
    camera_->set_url(0, "file://" + path);
    load();
    std::remove(path.c_str());
  }

  std::uint64_t device_commands() const { return camera_->status().counters.commands; }

  std::unique_ptr<sim::VirtualCamera> camera_;
  std::unique_ptr<gige::GigeDriver> driver_;
  DeviceDescription description_;

  [[nodiscard]] Device device() { return {*driver_, description_}; }
};

TEST_F(FeaturesTest, LoadsPlainAndZippedDescriptions) {
  for (const auto form : {sim::DescriptionForm::Plain, sim::DescriptionForm::ZipStored,
                          sim::DescriptionForm::ZipDeflated}) {
    ASSERT_NO_FATAL_FAILURE(start(form));
    util::log::ScopedCapture capture;
    load();
    EXPECT_EQ(capture.sink().with_message("GenICam feature model loaded").size(), 1u);
    EXPECT_TRUE(has_feature(device(), "Width"));
    EXPECT_EQ(get_integer(device(), "Width").value(), 64);
    EXPECT_TRUE(has_chunk_port(device()));
    driver_.reset();
    camera_.reset();
  }
}

TEST_F(FeaturesTest, SecondLoadReadsNothingFromTheDevice) {
  ASSERT_NO_FATAL_FAILURE(start());
  load();
  const auto before = device_commands();
  load();
  EXPECT_EQ(device_commands(), before);
}

TEST_F(FeaturesTest, FallsBackToTheSecondLocationAndLogsTheFirstFailure) {
  ASSERT_NO_FATAL_FAILURE(start());
  const std::string good = [&] {
    auto block = driver_->read_memory(0x0200, 512);
    return util::decode_text_field(*block);
  }();
  camera_->set_url(0, "ftp://nowhere/x.xml");
  camera_->set_url(1, good);
  util::log::ScopedCapture capture;
  load();
  const auto lines = capture.sink().with_message(
      "GenICam URL at 0x200 failed: malformed packet: unrecognized GenICam URL 'ftp://nowhere/x.xml'");
  EXPECT_EQ(lines.size(), 1u);
}

TEST_F(FeaturesTest, LoadsADescriptionFromAHostFile) {
  ASSERT_NO_FATAL_FAILURE(start());
  // The device's own document, copied to a host file.
  const auto url = parse_genicam_url(util::decode_text_field(driver_->read_memory(0x0200, 512).value())).value();
  const auto& local = std::get<GenicamUrl::Local>(url.location);
  const auto document = driver_->read_memory(local.address, local.size).value();
  const std::string path = ::testing::TempDir() + "corvantic_features_test.xml";
  {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(document.data(), 1, document.size(), file), document.size());
    std::fclose(file);
  }
  camera_->set_url(0, "file:///no/such/dir/camera.xml");
  camera_->set_url(1, "file://" + path);
  util::log::ScopedCapture capture;
  load();
  EXPECT_EQ(capture.sink().with_message("GenICam URL at 0x200 failed: io error: No such file or directory").size(), 1u);
  EXPECT_EQ(get_integer(device(), "Width").value(), 64);
  std::remove(path.c_str());
}

TEST_F(FeaturesTest, BothLocationsBadReportsTheSecondError) {
  ASSERT_NO_FATAL_FAILURE(start());
  camera_->set_url(0, "Local:x.xml;100000000;10");
  camera_->set_url(1, "https://example.invalid/camera.xml");
  const auto loaded = load_feature_model(device());
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error().kind(), GenicamError::Kind::Transport);
  EXPECT_EQ(loaded.error().display(), "device does not support http-hosted GenICam XML");
  EXPECT_FALSE(has_feature(device(), "Width"));
}

// Devices mostly leave the second location register empty; a broken first
// location then reports its own failure. Each row: the first location, the
// error of the load and the device commands it costs.
TEST_F(FeaturesTest, WithAnEmptySecondLocationTheFirstLocationsErrorIsReported) {
  ASSERT_NO_FATAL_FAILURE(start());
  const auto block = driver_->read_memory(0x0200, 512).value();
  const auto url = parse_genicam_url(util::decode_text_field(block)).value();
  const auto size = util::hex(std::get<GenicamUrl::Local>(url.location).size).substr(2);
  const struct {
    std::string location;
    std::string error;
    std::optional<std::uint64_t> commands;
  } cases[] = {
      // Refused from the location text: only the two location registers are read.
      {"Local:big.xml;100000;4000001", "malformed packet: XML size 0x4000001 beyond 67108864 bytes", 2},
      // Posted as given; the device refuses the unaligned read.
      {"Local:odd.xml;100002;" + size, "device answered command 0x0084 with bad alignment (0x8005)", 3},
      // The plain document read as an archive.
      {"Local:camera.zip;100000;" + size, "malformed packet: no end-of-central-directory record",
       std::nullopt},
  };
  camera_->set_url(1, "");
  for (const auto& c : cases) {
    camera_->set_url(0, c.location);
    const auto before = device_commands();
    const auto loaded = load_feature_model(device());
    ASSERT_FALSE(loaded) << c.location;
    EXPECT_EQ(loaded.error().kind(), GenicamError::Kind::Transport);
    EXPECT_EQ(loaded.error().display(), c.error) << c.location;
    if (c.commands) {
      EXPECT_EQ(device_commands() - before, *c.commands) << c.location;
    }
  }
}

// A host file location naming something else than a regular file, or a
// file beyond the size limit, fails at once: a FIFO without a writer does
// not hold the load (should it, the guard thread opens the FIFO's other end
// after a while, so that the test fails instead of hanging).
TEST_F(FeaturesTest, HostFileLocationsNamingNoRegularFileFailAtOnce) {
  ASSERT_NO_FATAL_FAILURE(start());
  const std::string fifo = ::testing::TempDir() + "corvantic_features_fifo";
  const std::string large = ::testing::TempDir() + "corvantic_features_large.xml";
  ::unlink(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int fd = ::open(large.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 64 * 1024 * 1024 + 1), 0);  // sparse
  ::close(fd);

  std::atomic<bool> done = false;
  std::thread guard([&] {
    for (int i = 0; i < 1000 && !done; ++i) std::this_thread::sleep_for(10ms);
    if (!done) ::close(::open(fifo.c_str(), O_RDWR | O_NONBLOCK));
  });
  const struct {
    std::string path;
    std::string error;
  } cases[] = {
      {fifo, "malformed packet: GenICam file is not a regular file"},
      {"/dev/null", "malformed packet: GenICam file is not a regular file"},
      {::testing::TempDir(), "malformed packet: GenICam file is not a regular file"},
      {large, "malformed packet: GenICam file larger than 67108864 bytes"},
  };
  camera_->set_url(1, "");
  for (const auto& c : cases) {
    camera_->set_url(0, "file://" + c.path);
    const auto loaded = load_feature_model(device());
    EXPECT_EQ(loaded ? std::string("a model") : loaded.error().display(), c.error) << c.path;
  }
  done = true;
  guard.join();
  ::unlink(fifo.c_str());
  ::unlink(large.c_str());
}

TEST_F(FeaturesTest, TypedReadsAndWritesReachTheDevice) {
  ASSERT_NO_FATAL_FAILURE(start());
  load();
  ASSERT_TRUE(set_integer(device(), "Width", 32));
  EXPECT_EQ(camera_->status().counters.commands > 0, true);
  EXPECT_EQ(get_integer(device(), "Width").value(), 32);
  ASSERT_TRUE(set_enum(device(), "PixelFormat", "Mono16"));
  EXPECT_EQ(get_string(device(), "PixelFormat").value(), "Mono16");
  EXPECT_EQ(get_integer(device(), "PayloadSize").value(), 32 * 48 * 2);
  const auto entries = enum_entries(device(), "AcquisitionMode").value();
  EXPECT_EQ(entries, (std::vector<std::string>{"Continuous", "SingleFrame", "MultiFrame"}));
  ASSERT_TRUE(set_float(device(), "ExposureTime", 1234.5));
  EXPECT_DOUBLE_EQ(get_float(device(), "ExposureTime").value(), 1234.5);
  ASSERT_TRUE(set_string(device(), "DeviceUserID", "bench-1"));
  EXPECT_EQ(get_string(device(), "DeviceUserID").value(), "bench-1");
  EXPECT_EQ(access_mode(device(), "PayloadSize").value(), AccessMode::RO);
  EXPECT_EQ(access_mode(device(), "AcquisitionStart").value(), AccessMode::WO);
  EXPECT_EQ(access_mode(device(), "Width").value(), AccessMode::RW);
}

TEST_F(FeaturesTest, CachingModesDecideWhatReachesTheDevice) {
  ASSERT_NO_FATAL_FAILURE(start());
  load();
  // Write-around: the second read comes from the cache.
  auto before = device_commands();
  EXPECT_EQ(get_integer(device(), "SensorHeight").value(), 768);
  EXPECT_EQ(get_integer(device(), "SensorHeight").value(), 768);
  EXPECT_EQ(device_commands() - before, 1u);
  // No caching: every read goes to the device.
  before = device_commands();
  ASSERT_TRUE(get_integer(device(), "DeviceTemperatureRaw"));
  ASSERT_TRUE(get_integer(device(), "DeviceTemperatureRaw"));
  EXPECT_EQ(device_commands() - before, 2u);
  // Write-through: a written register is not read back.
  ASSERT_TRUE(set_integer(device(), "WidthReg", 48));
  before = device_commands();
  EXPECT_EQ(get_integer(device(), "WidthReg").value(), 48);
  EXPECT_EQ(device_commands(), before);
  // A write invalidates the registers that name it in pInvalidator: ReverseY
  // shares its register with ReverseX, so writing one re-reads the other.
  ASSERT_TRUE(get_integer(device(), "ReverseYReg"));
  ASSERT_TRUE(set_integer(device(), "ReverseXReg", 1));
  before = device_commands();
  ASSERT_TRUE(get_integer(device(), "ReverseYReg"));
  EXPECT_EQ(device_commands() - before, 1u);
  // invalidate_caches empties every cache.
  ASSERT_TRUE(invalidate_caches(device()));
  before = device_commands();
  ASSERT_TRUE(get_integer(device(), "SensorHeight"));
  EXPECT_EQ(device_commands() - before, 1u);
}

TEST_F(FeaturesTest, FeatureErrorsAndTransportErrorsAreDistinct) {
  ASSERT_NO_FATAL_FAILURE(start());
  load();
  EXPECT_EQ(get_integer(device(), "NoSuchFeature").error().display(), "feature 'NoSuchFeature' not found");
  EXPECT_EQ(set_enum(device(), "PixelFormat", "mono8").error().kind(), GenicamError::Kind::NoEnumEntry);
  EXPECT_EQ(set_integer(device(), "PayloadSize", 5).error().kind(), GenicamError::Kind::WrongType);  // a formula
  EXPECT_EQ(set_integer(device(), "SensorWidthReg", 5).error().display(),
            "node 'SensorWidthReg' is not accessible this way (access mode)");
  camera_->inject_status(0x10000, {gige::proto::GvcpStatus::BUSY});
  ASSERT_TRUE(invalidate_caches(device()));
  const auto busy = get_integer(device(), "Width");
  ASSERT_FALSE(busy);
  EXPECT_EQ(busy.error().kind(), GenicamError::Kind::Transport);
  EXPECT_EQ(busy.error().display(), "device answered command 0x0080 with busy (0x8007)");
}

TEST_F(FeaturesTest, PayloadSizeSlotIsReusedWithoutChecks) {
  ASSERT_NO_FATAL_FAILURE(start());
  load();
  std::optional<std::uint64_t> slot;
  EXPECT_EQ(read_payload_size(device(), slot).value(), 64u * 48u);
  driver_->disconnect(100ms);
  EXPECT_EQ(read_payload_size(device(), slot).value(), 64u * 48u);
}

TEST_F(FeaturesTest, DisconnectedAndLostConnections) {
  ASSERT_NO_FATAL_FAILURE(start());
  load();
  driver_->disconnect(100ms);
  EXPECT_FALSE(has_feature(device(), "Width"));
  EXPECT_EQ(feature_names(device()).error().display(), "device description: feature model not loaded");
  util::log::ScopedCapture capture;
  EXPECT_EQ(set_integer(device(), "Width", 1).error().display(), "driver is not connected");
  const auto trace = capture.sink().with_message("set integer");
  ASSERT_EQ(trace.size(), 1u) << "the trace event comes before any check";
  EXPECT_EQ(trace[0].fields, (std::vector<util::log::Field>{{"feature", "Width"}, {"value", "1"}}));

  // What was loaded belongs to the connection that is gone: a new one starts
  // without a model, and loads its own.
  ASSERT_TRUE(driver_->connect());
  EXPECT_FALSE(has_feature(device(), "Width"));
  load();
  EXPECT_EQ(get_integer(device(), "Width").value(), 64);
}

// Reference loops, each from the first node of a pair to the second and
// back. A guarded operation has the feature on the evaluation stack before
// it follows the loop, so the loop is caught at the feature; an unguarded
// one catches it one node further, at the feature's partner.
constexpr const char* LOOPS =
    "<RegisterDescription>"
    "<Integer Name=\"IntA\"><pValue>IntB</pValue><pMin>IntB</pMin><pInc>IntB</pInc></Integer>"
    "<Integer Name=\"IntB\"><pValue>IntA</pValue></Integer>"
    "<Float Name=\"FloatA\"><pValue>FloatB</pValue><pMin>FloatB</pMin></Float>"
    "<Float Name=\"FloatB\"><pValue>FloatA</pValue></Float>"
    "<Boolean Name=\"BoolA\"><pValue>BoolB</pValue></Boolean>"
    "<Boolean Name=\"BoolB\"><pValue>BoolA</pValue></Boolean>"
    "<Enumeration Name=\"EnumA\"><EnumEntry Name=\"One\"><Value>1</Value></EnumEntry><pValue>EnumB</pValue>"
    "</Enumeration>"
    "<Integer Name=\"EnumB\"><pValue>EnumA</pValue></Integer>"
    "<String Name=\"StrA\"><pValue>StrB</pValue></String>"
    "<String Name=\"StrB\"><pValue>StrA</pValue></String>"
    "<Command Name=\"CmdA\"><pValue>CmdB</pValue><CommandValue>1</CommandValue></Command>"
    "<Integer Name=\"CmdB\"><pValue>CmdA</pValue></Integer>"
    "</RegisterDescription>";

TEST_F(FeaturesTest, EachOperationGuardsTheFeatureOrNotAsBefore) {
  ASSERT_NO_FATAL_FAILURE(start());
  const std::string path = ::testing::TempDir() + "corvantic_features_loops.xml";
  {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    const std::string_view text(LOOPS);
    ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), file), text.size());
    std::fclose(file);
  }
  camera_->set_url(0, "file://" + path);
  load();
  std::remove(path.c_str());
  const Device d = device();
  const auto through = [](const auto& result) {
    return result ? std::string("a value") : result.error().display();
  };
  const auto before = device_commands();
  // Guarded: the loop is caught at the feature.
  EXPECT_EQ(through(get_integer(d, "IntA")), "circular reference through 'IntA'");
  EXPECT_EQ(through(set_integer(d, "IntA", 1)), "circular reference through 'IntA'");
  EXPECT_EQ(through(get_float(d, "IntA")), "circular reference through 'IntA'");
  EXPECT_EQ(through(set_float(d, "IntA", 1.0)), "circular reference through 'IntA'");
  EXPECT_EQ(through(get_boolean(d, "IntA")), "circular reference through 'IntA'");
  EXPECT_EQ(through(set_boolean(d, "IntA", true)), "circular reference through 'IntA'");
  EXPECT_EQ(through(set_boolean(d, "BoolA", true)), "circular reference through 'BoolA'");
  EXPECT_EQ(through(get_string(d, "EnumA")), "circular reference through 'EnumA'");
  EXPECT_EQ(through(set_enum(d, "EnumA", "One")), "circular reference through 'EnumA'");
  // Unguarded: caught at the partner.
  EXPECT_EQ(through(integer_bounds(d, "IntA")), "circular reference through 'IntB'");
  EXPECT_EQ(through(integer_increment(d, "IntA")), "circular reference through 'IntB'");
  EXPECT_EQ(through(float_bounds(d, "FloatA")), "circular reference through 'FloatB'");
  EXPECT_EQ(through(get_boolean(d, "BoolA")), "circular reference through 'BoolB'");
  EXPECT_EQ(through(set_string(d, "EnumA", "One")), "circular reference through 'EnumB'");
  EXPECT_EQ(through(get_string(d, "StrA")), "circular reference through 'StrB'");
  EXPECT_EQ(through(set_string(d, "StrA", "x")), "circular reference through 'StrB'");
  EXPECT_EQ(through(execute(d, "CmdA")), "circular reference through 'CmdB'");
  // These two evaluate nothing; access_mode finds the loop by its own walk.
  EXPECT_EQ(enum_entries(d, "EnumA").value(), std::vector<std::string>{"One"});
  EXPECT_EQ(through(access_mode(d, "IntA")), "circular reference through 'IntA'");
  EXPECT_EQ(device_commands(), before) << "no loop reaches the device";
  // Nothing stays on the stack after a failure: the partner's own read is
  // caught at the partner.
  EXPECT_EQ(through(get_integer(d, "IntB")), "circular reference through 'IntB'");
}

// A description written the way many cameras write theirs, served from a
// host file and driving the virtual camera's registers: command bits in
// write-only registers, and a cached PayloadSize register invalidated by
// the Width feature rather than by Width's register.
constexpr const char* CAMERA_STYLE =
    "<RegisterDescription>"
    "<Integer Name=\"Width\"><pValue>WidthReg</pValue></Integer>"
    "<IntReg Name=\"WidthReg\"><Address>0x10000</Address><Length>4</Length><Endianess>BigEndian</Endianess>"
    "</IntReg>"
    "<IntReg Name=\"PayloadSize\"><Address>0x10014</Address><Length>4</Length><AccessMode>RO</AccessMode>"
    "<pInvalidator>Width</pInvalidator><Endianess>BigEndian</Endianess></IntReg>"
    "<StructReg Comment=\"Acquisition commands\"><Address>0x10028</Address><Length>4</Length>"
    "<AccessMode>WO</AccessMode><Cachable>NoCache</Cachable>"
    "<StructEntry Name=\"AcquisitionStartBit\"><Bit>31</Bit><Endianess>BigEndian</Endianess></StructEntry>"
    "</StructReg>"
    "<Command Name=\"AcquisitionStart\"><pValue>AcquisitionStartBit</pValue><CommandValue>1</CommandValue>"
    "</Command>"
    "<MaskedIntReg Name=\"TimestampLatch\"><Address>0x944</Address><Length>4</Length>"
    "<AccessMode>WO</AccessMode>"
    "<Bit>30</Bit><Endianess>BigEndian</Endianess></MaskedIntReg>"
    "<IntReg Name=\"TimestampLatched\"><Address>0x948</Address><Length>8</Length><AccessMode>RO</AccessMode>"
    "<Cachable>NoCache</Cachable><Endianess>BigEndian</Endianess></IntReg>"
    "</RegisterDescription>";

TEST_F(FeaturesTest, WriteOnlyCommandBitsAndFeatureInvalidatorsReachTheDevice) {
  ASSERT_NO_FATAL_FAILURE(start());
  const std::string path = ::testing::TempDir() + "corvantic_features_camera_style.xml";
  {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    const std::string_view text(CAMERA_STYLE);
    ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), file), text.size());
    std::fclose(file);
  }
  camera_->set_url(0, "file://" + path);
  load();
  std::remove(path.c_str());
  const Device d = device();
  EXPECT_FALSE(has_chunk_port(d));

  EXPECT_EQ(get_integer(d, "PayloadSize").value(), 64 * 48);
  ASSERT_TRUE(set_integer(d, "Width", 32));
  EXPECT_EQ(get_integer(d, "PayloadSize").value(), 32 * 48);

  EXPECT_EQ(get_integer(d, "TimestampLatched").value(), 0);
  ASSERT_TRUE(set_integer(d, "TimestampLatch", 1));
  EXPECT_GT(get_integer(d, "TimestampLatched").value(), 0);

  EXPECT_FALSE(camera_->status().acquisition_active);
  ASSERT_TRUE(execute(d, "AcquisitionStart"));
  EXPECT_TRUE(camera_->status().acquisition_active);
}

// Chunk and event data as descriptions like the samples place them: what
// feature_info says of them, and reads and writes through the device
// refused naming the feature and where its value is read. The Event<Name>
// id constant beside an event port and device features are not data.
TEST_F(FeaturesTest, ChunkAndEventDataSayWhereTheyAreRead) {
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_NO_FATAL_FAILURE(load_host_file(SAMPLE_STYLE_DESCRIPTION));
  const struct {
    const char* name;
    std::optional<BufferPort> port;
    const char* event_name;
    const char* refusal;
  } cases[] = {
      {"ChunkGain", BufferPort{BufferKind::Chunk, 0x05200009}, "",
       "feature 'ChunkGain' is chunk data: read it from frame.chunks"},
      {"ChunkGain_Val", BufferPort{BufferKind::Chunk, 0x05200009}, "",
       "feature 'ChunkGain_Val' is chunk data: read it from frame.chunks"},
      {"EventExposureEndTimestamp", BufferPort{BufferKind::Event, 0x9C43}, "ExposureEnd",
       "feature 'EventExposureEndTimestamp' is event data of ExposureEnd: read it from Camera.events()"},
      {"EventExposureStart", BufferPort{BufferKind::Event, 0x9C42}, "ExposureStart",
       "feature 'EventExposureStart' is event data of ExposureStart: read it from Camera.events()"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto info = feature_info(device(), c.name);
    ASSERT_TRUE(info) << info.error().display();
    EXPECT_EQ(info->data_port, c.port);
    EXPECT_EQ(info->event_name, c.event_name);
    const auto read = get_integer(device(), c.name);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().kind(), GenicamError::Kind::AccessDenied);
    EXPECT_EQ(read.error().display(), c.refusal);
  }
  const auto write = set_integer(device(), "ChunkBlackLevel", 1);
  ASSERT_FALSE(write);
  EXPECT_EQ(write.error().display(), "feature 'ChunkBlackLevel' is chunk data: read it from frame.chunks");
  for (const char* name : {"EventExposureEnd", "Width"}) {
    SCOPED_TRACE(name);
    const auto info = feature_info(device(), name);
    ASSERT_TRUE(info) << info.error().display();
    EXPECT_EQ(info->data_port, std::nullopt);
    EXPECT_EQ(info->event_name, "");
  }
  EXPECT_EQ(get_integer(device(), "EventExposureEnd").value(), 0x9C43);
}

// A stream's chunk reader reads each frame with the selectors as the camera
// set them last, a constant or a register written around its cache alike,
// and without device traffic of its own.
TEST_F(FeaturesTest, ChunkReadersFollowTheSelectorsTheCameraSets) {
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_NO_FATAL_FAILURE(load_host_file(SAMPLE_STYLE_DESCRIPTION));
  ASSERT_TRUE(set_enum(device(), "ChunkBlackLevelSelector", "All"));
  const auto reader = chunk_reader(device());
  ASSERT_NE(reader, nullptr);
  // Little-endian gains 10, 20, 30, 40 (1.0 .. 4.0 dB) and black levels 5, 6.
  const std::vector<std::uint8_t> gains = {10, 0, 0, 0, 20, 0, 0, 0, 30, 0, 0, 0, 40, 0, 0, 0};
  const std::vector<std::uint8_t> black_levels = {5, 0, 0, 0, 6, 0, 0, 0};
  const std::vector<BufferSpans::Entry> chunks{{0x05200009, gains}, {0x0504000B, black_levels}};
  const BufferSpans frame(BufferKind::Chunk, chunks);
  EXPECT_EQ(reader->read("ChunkGain", frame), BufferValue(1.0));
  EXPECT_EQ(reader->read("ChunkBlackLevel", frame), BufferValue(std::int64_t{5}));

  ASSERT_TRUE(set_enum(device(), "ChunkGainSelector", "Blue"));
  ASSERT_TRUE(set_enum(device(), "ChunkBlackLevelSelector", "Red"));
  const auto commands = device_commands();
  EXPECT_EQ(reader->read("ChunkGain", frame), BufferValue(4.0));
  const auto black_level = reader->read("ChunkBlackLevel", frame);
  ASSERT_TRUE(black_level) << black_level.error().display();
  EXPECT_EQ(*black_level, BufferValue(std::int64_t{6}));
  EXPECT_EQ(device_commands(), commands);
}

TEST(Features, NoModelWithoutLoading) {
  gige::GigeDriver driver(gige::DriverConfig{});
  DeviceDescription description;
  EXPECT_FALSE(has_feature({driver, description}, "Width"));
  EXPECT_EQ(get_integer({driver, description}, "Width").error().display(), "driver is not connected");
}

}  // namespace
}  // namespace corvantic::genicam
