#include "genicam/description_fetch.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <variant>

#include "gige/proto/bootstrap.hpp"
#include "util/duration.hpp"
#include "util/log.hpp"
#include "util/text.hpp"
#include "util/unique_fd.hpp"

namespace corvantic::genicam {
namespace {

using gige::CameraError;
using gige::CameraResult;

constexpr gige::proto::TextRegister LOCATION_REGISTERS[] = {gige::proto::REG_FIRST_URL,
                                                            gige::proto::REG_SECOND_URL};

std::string size_limit_text() { return std::to_string(MAX_DESCRIPTION_SIZE) + " bytes"; }

CameraResult<std::vector<std::uint8_t>> fetch_local(DescriptionMemory& memory,
                                                    const GenicamUrl::Local& local) {
  if (local.address >> 32 != 0) return std::unexpected(CameraError::malformed("XML address beyond 32 bit"));
  // Refused before anything is read: the read would hold the whole size.
  if (local.size > MAX_DESCRIPTION_SIZE) {
    return std::unexpected(
        CameraError::malformed("XML size " + util::hex(local.size) + " beyond " + size_limit_text()));
  }
  const auto limit = util::saturating_mul(memory.wait_budget(), local.size / 512 + 2);
  return memory.read(static_cast<std::uint32_t>(local.address), static_cast<std::uint32_t>(local.size),
                     limit);
}

// A location's failure, and whether its register held no location at all.
struct LocationFailure {
  CameraError error;
  bool empty = false;
};

// The document named by one location register, unzipped where its name
// ends in ".zip".
std::expected<std::vector<std::uint8_t>, LocationFailure> fetch_from(
    DescriptionMemory& memory, const gige::proto::TextRegister& location) {
  const auto fail = [](CameraError error, bool empty = false) {
    return std::unexpected(LocationFailure{std::move(error), empty});
  };
  auto block = memory.read(location.address, location.size, util::saturating_mul(memory.wait_budget(), 2));
  if (!block) return fail(std::move(block).error());
  const std::string text = util::decode_text_field(*block);
  const auto url = parse_genicam_url(text);
  if (!url) return fail(CameraError::malformed(url.error()), is_blank_location(text));

  CameraResult<std::vector<std::uint8_t>> bytes;
  std::string_view name;
  if (const auto* local = std::get_if<GenicamUrl::Local>(&url->location)) {
    bytes = fetch_local(memory, *local);
    name = local->file_name;
  } else if (const auto* file = std::get_if<GenicamUrl::File>(&url->location)) {
    bytes = read_host_file(file->path);
    name = file->path;
  } else {
    return fail(CameraError::unsupported("http-hosted GenICam XML"));
  }
  if (!bytes) return fail(std::move(bytes).error());
  if (!ends_with_zip(name)) return std::move(*bytes);
  auto unzipped = unzip_first_entry(*bytes);
  if (!unzipped) return fail(CameraError::malformed(unzipped.error()));
  return std::move(*unzipped);
}

}  // namespace

CameraResult<std::vector<std::uint8_t>> read_host_file(const std::string& path) {
  // Non-blocking, so that opening a FIFO without a writer returns at once;
  // the type check below then refuses it.
  const util::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!file.valid()) return std::unexpected(CameraError::io(errno));
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) return std::unexpected(CameraError::io(errno));
  if (!S_ISREG(info.st_mode)) {
    return std::unexpected(CameraError::malformed("GenICam file is not a regular file"));
  }
  const auto too_large = [] {
    return std::unexpected(CameraError::malformed("GenICam file larger than " + size_limit_text()));
  };
  if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) > MAX_DESCRIPTION_SIZE) return too_large();

  // The recorded size is a hint only (files of /proc record 0, and a file
  // may grow while it is read): reading stops one byte past the limit.
  std::vector<std::uint8_t> bytes;
  bytes.reserve(static_cast<std::size_t>(info.st_size));
  std::uint8_t buffer[65536];
  for (;;) {
    const std::size_t room = MAX_DESCRIPTION_SIZE + 1 - bytes.size();
    const ssize_t n = ::read(file.get(), buffer, std::min(sizeof buffer, room));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(CameraError::io(errno));
    if (n == 0) return bytes;
    bytes.insert(bytes.end(), buffer, buffer + n);
    if (bytes.size() > MAX_DESCRIPTION_SIZE) return too_large();
  }
}

CameraResult<std::vector<std::uint8_t>> fetch_description(DescriptionMemory& memory,
                                                          const util::InterruptCheck& stopped) {
  std::optional<LocationFailure> first;
  std::optional<LocationFailure> last;
  for (const auto& location : LOCATION_REGISTERS) {
    auto bytes = fetch_from(memory, location);
    if (bytes) return std::move(*bytes);
    CORVANTIC_LOG(util::log::Level::Debug, util::log::target::GIGE,
                  "GenICam URL at " + util::hex(location.address) +
                      " failed: " + bytes.error().error.display());
    if (!first) {
      first = std::move(bytes).error();
      if (stopped && stopped()) return std::unexpected(std::move(first->error));
    } else {
      last = std::move(bytes).error();
    }
  }
  // An empty second register only says that the device offers no second
  // location; the first one's failure is the real one.
  if (last->empty) return std::unexpected(std::move(first->error));
  return std::unexpected(std::move(last->error));
}

}  // namespace corvantic::genicam
