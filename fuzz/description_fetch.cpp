// The description fetch chain on arbitrary device contents: the two
// location registers, the size checks, memory reads against a fake device,
// host files and unzipping.
//
// Input: a flags byte, the first location text up to a line feed, the
// second up to the next, and the rest as device memory at MEMORY_BASE.
// Flags: bit 0 makes the second location register unreadable, bit 1 makes
// every read outside the location registers time out. Host files are read for real; the target
// runs in a folder of its own that holds a small document, a zip of it, a
// FIFO, a folder and a sparse file beyond the size limit, which the seeds
// name by relative paths.
//
// Whatever the input, the fetch returns a document no larger than the
// limit or one error of the kinds a fetch can give, asks the device for no
// more than the limit in at most four reads, the first location first, and
// gives texts that are valid UTF-8.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "genicam/description_fetch.hpp"
#include "util/text.hpp"

using namespace corvantic;
using namespace corvantic::genicam;

namespace {

constexpr std::uint32_t MEMORY_BASE = 0x10000;
constexpr std::string_view DOCUMENT = "<RegisterDescription><Integer Name=\"A\"/></RegisterDescription>";

// A stored one-entry archive of DOCUMENT.
std::vector<std::uint8_t> stored_zip() {
  std::vector<std::uint8_t> b;
  const auto u16 = [&](std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
  };
  const auto u32 = [&](std::uint32_t v) {
    u16(static_cast<std::uint16_t>(v));
    u16(static_cast<std::uint16_t>(v >> 16));
  };
  const auto size = static_cast<std::uint32_t>(DOCUMENT.size());
  u32(0x04034b50);
  for (int i = 0; i < 11; ++i) u16(0);  // version .. extra length
  b.insert(b.end(), DOCUMENT.begin(), DOCUMENT.end());
  const auto central = static_cast<std::uint32_t>(b.size());
  u32(0x02014b50);
  for (int i = 0; i < 5; ++i) u16(0);  // versions, flags, method 0, time
  u16(0);                              // date
  u32(0);                              // CRC-32, not examined
  u32(size);
  u32(size);
  for (int i = 0; i < 5; ++i) u16(0);  // name .. internal attributes
  u32(0);                              // external attributes
  u32(0);                              // local header offset
  const auto end = static_cast<std::uint32_t>(b.size());
  u32(0x06054b50);
  u16(0);
  u16(0);
  u16(1);
  u16(1);
  u32(end - central);
  u32(central);
  u16(0);
  return b;
}

std::filesystem::path folder;

void remove_folder() {
  std::error_code ignored;  // best effort: a leftover temporary folder harms nothing
  std::filesystem::remove_all(folder, ignored);
}

void write_file(const char* name, std::span<const std::uint8_t> bytes) {
  const int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
  ::close(fd);
}

class FuzzMemory final : public DescriptionMemory {
 public:
  FuzzMemory(std::string_view first, std::string_view second, std::span<const std::uint8_t> image,
             std::uint8_t flags)
      : image_(image), flags_(flags) {
    place(locations_[0], first);
    place(locations_[1], second);
  }

  gige::CameraResult<std::vector<std::uint8_t>> read(std::uint32_t address, std::uint32_t count,
                                                     std::chrono::nanoseconds limit) override {
    if (count > MAX_DESCRIPTION_SIZE || limit < std::chrono::nanoseconds::zero()) __builtin_trap();
    // Two location blocks and two documents at most, the first location first.
    if (++reads_ > 4 || (reads_ == 1 && (address != 0x200 || count != 512))) __builtin_trap();
    // The location registers are device memory like any other (a location
    // may even name them).
    for (const std::uint32_t base : {0x200u, 0x400u}) {
      if (address < base || address - base >= 512) continue;
      if (base == 0x400 && (flags_ & 1) != 0) return std::unexpected(gige::CameraError::ack_timeout());
      const auto& block = locations_[base == 0x200 ? 0 : 1];
      if (count > 512 - (address - base)) break;
      const auto start = block.begin() + (address - base);
      return std::vector<std::uint8_t>(start, start + count);
    }
    if ((flags_ & 2) != 0) return std::unexpected(gige::CameraError::ack_timeout());
    if (address < MEMORY_BASE || address - MEMORY_BASE > image_.size() ||
        image_.size() - (address - MEMORY_BASE) < count) {
      return std::unexpected(gige::CameraError::status(0x0084, {gige::proto::GvcpStatus::INVALID_ADDRESS}));
    }
    const auto start = image_.begin() + (address - MEMORY_BASE);
    return std::vector<std::uint8_t>(start, start + count);
  }
  [[nodiscard]] std::chrono::nanoseconds wait_budget() const override { return std::chrono::seconds(3); }

 private:
  static void place(std::array<std::uint8_t, 512>& block, std::string_view text) {
    block.fill(0);
    std::copy_n(text.begin(), std::min(text.size(), block.size()), block.begin());
  }

  std::array<std::array<std::uint8_t, 512>, 2> locations_{};
  std::span<const std::uint8_t> image_;
  std::uint8_t flags_;
  int reads_ = 0;
};

// Cuts `rest` at the next line feed.
std::string_view next_line(std::string_view& rest) {
  const auto end = rest.find('\n');
  const auto line = rest.substr(0, end);
  rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char name[] = "/tmp/corvantic-fuzz-fetch-XXXXXX";
  if (::mkdtemp(name) == nullptr || ::chdir(name) != 0) std::abort();
  folder = name;
  std::atexit(remove_folder);
  write_file("desc.xml", {reinterpret_cast<const std::uint8_t*>(DOCUMENT.data()), DOCUMENT.size()});
  const auto zip = stored_zip();
  write_file("desc.zip", zip);
  if (::mkfifo("fifo", 0600) != 0 || ::mkdir("folder", 0700) != 0) std::abort();
  const int big = ::open("big.xml", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (big < 0 || ::ftruncate(big, static_cast<off_t>(MAX_DESCRIPTION_SIZE) + 1) != 0) std::abort();
  ::close(big);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string_view first = next_line(rest);
  const std::string_view second = next_line(rest);
  const std::span<const std::uint8_t> image(reinterpret_cast<const std::uint8_t*>(rest.data()), rest.size());
  FuzzMemory memory(first, second, image, data[0]);

  const auto fetched = fetch_description(memory);
  if (fetched) {
    if (fetched->size() > MAX_DESCRIPTION_SIZE) __builtin_trap();
    return 0;
  }
  using Kind = gige::CameraError::Kind;
  switch (fetched.error().kind()) {
    case Kind::Io:
    case Kind::AckTimeout:
    case Kind::Status:
    case Kind::Malformed:
    case Kind::Unsupported: break;
    default: __builtin_trap();
  }
  const std::string text = fetched.error().display();
  if (text.empty() || !util::is_valid_utf8(text)) __builtin_trap();
  return 0;
}
