#include "genicam/description_fetch.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/description.hpp"
#include "util/log.hpp"
#include "util/text.hpp"

namespace corvantic::genicam {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t FIRST = 0x200;
constexpr std::uint32_t SECOND = 0x400;

// Device memory of a few regions. Every read is recorded; a read that does
// not lie wholly inside one region fails as a device would refuse it.
class FakeMemory final : public DescriptionMemory {
 public:
  struct Read {
    std::uint32_t address;
    std::uint32_t count;
    std::chrono::nanoseconds limit;
    bool operator==(const Read&) const = default;
  };

  explicit FakeMemory(std::chrono::nanoseconds budget = 3s) : budget_(budget) {
    set_location(FIRST, "");
    set_location(SECOND, "");
  }

  void set_location(std::uint32_t address, std::string_view text) {
    Bytes block(512, 0);
    std::copy(text.begin(), text.end(), block.begin());
    regions_[address] = std::move(block);
  }
  void put(std::uint32_t address, Bytes bytes) { regions_[address] = std::move(bytes); }

  gige::CameraResult<Bytes> read(std::uint32_t address, std::uint32_t count,
                                 std::chrono::nanoseconds limit) override {
    reads.push_back({address, count, limit});
    for (const auto& [start, bytes] : regions_) {
      if (address >= start && std::uint64_t{address} + count <= start + bytes.size()) {
        return Bytes(bytes.begin() + (address - start), bytes.begin() + (address - start) + count);
      }
    }
    return std::unexpected(gige::CameraError::status(0x0084, {gige::proto::GvcpStatus::INVALID_ADDRESS}));
  }
  [[nodiscard]] std::chrono::nanoseconds wait_budget() const override { return budget_; }

  std::vector<Read> reads;

 private:
  std::chrono::nanoseconds budget_;
  std::map<std::uint32_t, Bytes> regions_;
};

Bytes bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

std::string failure(const gige::CameraResult<Bytes>& result) {
  return result ? "a document of " + std::to_string(result->size()) + " bytes" : result.error().display();
}

// A file in the test's temporary folder, removed with the object.
class TempPath {
 public:
  explicit TempPath(std::string_view name) : path_(::testing::TempDir() + std::string(name)) {
    ::unlink(path_.c_str());
  }
  ~TempPath() { ::unlink(path_.c_str()); }
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(FetchDescription, ReadsTheDocumentALocalLocationNamesWithScaledWaits) {
  FakeMemory memory(2s);
  const Bytes document(8000, 'x');
  memory.set_location(FIRST, "Local:camera.xml;8000;1F40");
  memory.put(0x8000, document);
  EXPECT_EQ(fetch_description(memory).value(), document);
  // The location block waits two budgets; the document one per 512 bytes, plus two.
  EXPECT_EQ(memory.reads, (std::vector<FakeMemory::Read>{{FIRST, 512, 4s}, {0x8000, 8000, 17 * 2s}}));
}

TEST(FetchDescription, WaitLimitsSaturateInsteadOfOverflowing) {
  FakeMemory memory(std::chrono::nanoseconds::max() / 3);
  memory.set_location(FIRST, "Local:camera.xml;8000;400");
  memory.put(0x8000, Bytes(0x400, 'x'));
  ASSERT_TRUE(fetch_description(memory));
  ASSERT_EQ(memory.reads.size(), 2u);
  EXPECT_EQ(memory.reads[0].limit, std::chrono::nanoseconds::max() / 3 * 2);
  EXPECT_EQ(memory.reads[1].limit, std::chrono::nanoseconds::max());
}

// A size above the limit is refused from the location text alone: the
// device is never asked for the document.
TEST(FetchDescription, RefusesALocalSizeAboveTheLimitBeforeReading) {
  const struct {
    std::string_view size, shown;
  } cases[] = {{"4000001", "0x4000001"}, {"FFFFFFFF", "0xffffffff"}, {"100000000", "0x100000000"}};
  for (const auto& c : cases) {
    FakeMemory memory;
    memory.set_location(FIRST, "Local:x.xml;100000;" + std::string(c.size));
    EXPECT_EQ(failure(fetch_description(memory)),
              "malformed packet: XML size " + std::string(c.shown) + " beyond 67108864 bytes");
    EXPECT_EQ(memory.reads, (std::vector<FakeMemory::Read>{{FIRST, 512, 6s}, {SECOND, 512, 6s}}));
  }
  // The limit itself is accepted.
  FakeMemory memory;
  memory.set_location(FIRST, "Local:x.xml;100000;4000000");
  EXPECT_EQ(failure(fetch_description(memory)),
            "device answered command 0x0084 with invalid address (0x8003)");
  EXPECT_EQ(memory.reads.at(1).count, 0x4000000u);
}

// The address goes to the device as the location gives it; the device, not
// the client, decides whether it may be read.
TEST(FetchDescription, PostsAnUnalignedAddressAsGiven) {
  FakeMemory memory;
  memory.set_location(FIRST, "Local:x.xml;8001;6");
  memory.put(0x8001, bytes_of("<a/>\n\n"));
  EXPECT_EQ(fetch_description(memory).value(), bytes_of("<a/>\n\n"));
  EXPECT_EQ(memory.reads.at(1), (FakeMemory::Read{0x8001, 6, 6s}));
}

TEST(FetchDescription, AnEmptySecondLocationReportsTheFirstLocationsError) {
  util::log::ScopedCapture capture;
  for (const std::string_view empty : {"", "  \t\r\n", "\xC2\xA0 "}) {
    FakeMemory memory;
    memory.set_location(FIRST, "Local:camera.zip;8000;20");
    memory.put(0x8000, Bytes(0x20, 'x'));
    memory.set_location(SECOND, empty);
    EXPECT_EQ(failure(fetch_description(memory)), "malformed packet: no end-of-central-directory record");
  }
  // Both failures are logged all the same.
  const auto& sink = capture.sink();
  EXPECT_EQ(
      sink.with_message("GenICam URL at 0x200 failed: malformed packet: no end-of-central-directory record").size(),
      3u);
  EXPECT_EQ(sink.with_message("GenICam URL at 0x400 failed: malformed packet: unrecognized GenICam URL ''").size(),
            3u);

  // A second location that says anything at all is the one reported.
  FakeMemory memory;
  memory.set_location(FIRST, "Local:camera.zip;8000;20");
  memory.set_location(SECOND, "x");
  EXPECT_EQ(failure(fetch_description(memory)), "malformed packet: unrecognized GenICam URL 'x'");
  // So is an unreadable second register, and an empty first one.
  FakeMemory unreadable;
  unreadable.set_location(FIRST, "Local:camera.zip;8000;20");
  unreadable.put(SECOND, Bytes(4, 0));  // too short for the 512-byte read
  EXPECT_EQ(failure(fetch_description(unreadable)),
            "device answered command 0x0084 with invalid address (0x8003)");
  FakeMemory blank;
  EXPECT_EQ(failure(fetch_description(blank)), "malformed packet: unrecognized GenICam URL ''");
}

// A caller whose deadline passed, or who was interrupted, while the first
// location failed gets that failure at once.
TEST(FetchDescription, AStopAfterAFailedLocationLeavesTheSecondUntried) {
  FakeMemory memory;
  memory.set_location(FIRST, "Local:camera.xml;8000;20");  // nothing there: the read fails
  memory.set_location(SECOND, "Local:camera.xml;9000;4");
  memory.put(0x9000, bytes_of("<a/>"));
  int asked = 0;
  EXPECT_EQ(failure(fetch_description(memory, [&] { return ++asked > 0; })),
            "device answered command 0x0084 with invalid address (0x8003)");
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(memory.reads, (std::vector<FakeMemory::Read>{{FIRST, 512, 6s}, {0x8000, 0x20, 6s}}));
  EXPECT_EQ(fetch_description(memory, [] { return false; }).value(), bytes_of("<a/>"));
}

TEST(FetchDescription, UnzipsAZipNamedDocumentFromEitherSource) {
  const Bytes document = bytes_of("<RegisterDescription/>");
  const Bytes archive = sim::build_zip("d.xml", document, true);
  FakeMemory memory;
  memory.set_location(FIRST, "Local:D.ZIP;8000;" + util::hex(archive.size()).substr(2));
  memory.put(0x8000, archive);
  EXPECT_EQ(fetch_description(memory).value(), document);

  const TempPath zip("corvantic_fetch_test.zip");
  {
    std::FILE* out = std::fopen(zip.path().c_str(), "wb");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(std::fwrite(archive.data(), 1, archive.size(), out), archive.size());
    std::fclose(out);
  }
  FakeMemory host;
  host.set_location(FIRST, "file://" + zip.path());
  EXPECT_EQ(fetch_description(host).value(), document);
}

// ---- Host files

TEST(ReadHostFile, ReadsRegularFilesOnly) {
  const TempPath regular("corvantic_fetch_regular.xml");
  {
    std::FILE* out = std::fopen(regular.path().c_str(), "wb");
    ASSERT_NE(out, nullptr);
    std::fputs("<a/>", out);
    std::fclose(out);
  }
  EXPECT_EQ(read_host_file(regular.path()).value(), bytes_of("<a/>"));
  // Files of /proc record no size but have content.
  EXPECT_FALSE(read_host_file("/proc/self/status").value().empty());

  EXPECT_EQ(failure(read_host_file("/no/such/dir/camera.xml")), "io error: No such file or directory");
  // Devices and folders: refused without reading a byte, so /dev/zero cannot
  // grow the fetch and /dev/null cannot pass for an empty document.
  for (const char* path : {"/dev/zero", "/dev/null", "/"}) {
    EXPECT_EQ(failure(read_host_file(path)), "malformed packet: GenICam file is not a regular file") << path;
  }
}

// Opening a FIFO that has no writer would wait for one; it is refused at
// once. Should the open ever block, the guard thread opens the other end
// after a while, so that the test fails instead of hanging.
TEST(ReadHostFile, RefusesAFifoWithoutWaitingForAWriter) {
  const TempPath fifo("corvantic_fetch_fifo");
  ASSERT_EQ(::mkfifo(fifo.path().c_str(), 0600), 0);
  std::atomic<bool> done = false;
  std::thread guard([&] {
    for (int i = 0; i < 1000 && !done; ++i) std::this_thread::sleep_for(10ms);
    if (!done) ::close(::open(fifo.path().c_str(), O_RDWR | O_NONBLOCK));
  });
  const auto result = read_host_file(fifo.path());
  done = true;
  guard.join();
  EXPECT_EQ(failure(result), "malformed packet: GenICam file is not a regular file");
}

TEST(ReadHostFile, RefusesAFileAboveTheLimitBeforeReading) {
  const TempPath large("corvantic_fetch_large.xml");
  {
    const int fd = ::open(large.path().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    // Sparse: no disk space is used, and nothing is read to refuse it.
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(MAX_DESCRIPTION_SIZE) + 1), 0);
    ::close(fd);
  }
  EXPECT_EQ(failure(read_host_file(large.path())),
            "malformed packet: GenICam file larger than 67108864 bytes");
  ASSERT_EQ(::truncate(large.path().c_str(), static_cast<off_t>(MAX_DESCRIPTION_SIZE)), 0);
  EXPECT_EQ(read_host_file(large.path()).value().size(), MAX_DESCRIPTION_SIZE);
}

}  // namespace
}  // namespace corvantic::genicam
