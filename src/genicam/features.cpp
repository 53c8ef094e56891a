#include "genicam/features.hpp"

#include <fcntl.h>
#include <unistd.h>

#include "genicam/register_port.hpp"
#include "genicam/url.hpp"
#include "util/unique_fd.hpp"
#include "util/log.hpp"
#include "util/text.hpp"
#include "util/try.hpp"

namespace corvantic::genicam {
namespace {

constexpr std::string_view TARGET = util::log::target::GENICAM;
constexpr std::uint32_t LOCATION_REGISTERS[] = {gige::proto::REG_FIRST_URL.address, gige::proto::REG_SECOND_URL.address};

// What the feature layer keeps per connection, as the driver's attachment.
struct LoadedDescription {
  std::shared_ptr<const std::vector<std::uint8_t>> bytes;
  std::optional<FeatureModel> model;
};

LoadedDescription* loaded(const gige::GigeDriver& driver) {
  return static_cast<LoadedDescription*>(driver.attachment().get());
}

// Register access of the node layer, carried out by the device session.
class DriverPort final : public RegisterPort {
 public:
  explicit DriverPort(gige::GigeDriver& driver) : driver_(driver) {}
  gige::CameraResult<std::vector<std::uint8_t>> read(std::uint64_t address, std::size_t length) override {
    return driver_.read_memory(address, length);
  }
  gige::CameraResult<void> write(std::uint64_t address, std::span<const std::uint8_t> data) override {
    CORVANTIC_TRY_VOID(driver_.write_memory(address, data));
    return {};
  }

 private:
  gige::GigeDriver& driver_;
};

GenicamResult<void> check_link(const gige::GigeDriver& driver) {
  CORVANTIC_TRY_VOID(driver.check_link());
  return {};
}

GenicamError model_not_loaded() { return GenicamError::device_description("feature model not loaded"); }

// The node of `name` in a live connection's model: the checks every
// operation starts with.
struct Target {
  FeatureModel& model;
  std::uint32_t index;
};

GenicamResult<Target> prologue(gige::GigeDriver& driver, std::string_view name) {
  CORVANTIC_TRY_VOID(check_link(driver));
  LoadedDescription* state = loaded(driver);
  if (state == nullptr || !state->model) return std::unexpected(model_not_loaded());
  CORVANTIC_TRY(const std::uint32_t index, state->model->find_node(name));
  return Target{*state->model, index};
}

// ---- Fetching the description.

gige::CameraResult<std::vector<std::uint8_t>> read_host_file(const std::string& path) {
  const util::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return std::unexpected(gige::CameraError::io(errno));
  std::vector<std::uint8_t> bytes;
  std::uint8_t buffer[65536];
  for (;;) {
    const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(gige::CameraError::io(errno));
    if (n == 0) return bytes;
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
}

gige::CameraResult<std::vector<std::uint8_t>> fetch_local(gige::GigeDriver& driver, const GenicamUrl::Local& local) {
  if (local.address >> 32 != 0) return std::unexpected(gige::CameraError::malformed("XML address beyond 32 bit"));
  // Refused rather than cut to 32 bits, which would fetch the wrong bytes.
  if (local.size >> 32 != 0) return std::unexpected(gige::CameraError::malformed("XML size beyond 32 bit"));
  const auto limit = driver.wait_budget() * static_cast<std::int64_t>(local.size / 512 + 2);
  return driver.read_memory(local.address, static_cast<std::size_t>(local.size), limit);
}

// The document named by one location register, unzipped where its name ends in ".zip".
gige::CameraResult<std::vector<std::uint8_t>> fetch_from(gige::GigeDriver& driver, std::uint32_t location_register) {
  CORVANTIC_TRY(const auto block, driver.read_memory(location_register, 512, driver.wait_budget() * 2));
  const auto url = parse_genicam_url(util::decode_text_field(block));
  if (!url) return std::unexpected(gige::CameraError::malformed(url.error()));
  std::vector<std::uint8_t> bytes;
  std::string name;
  if (const auto* local = std::get_if<GenicamUrl::Local>(&url->location)) {
    CORVANTIC_TRY(bytes, fetch_local(driver, *local));
    name = local->file_name;
  } else if (const auto* file = std::get_if<GenicamUrl::File>(&url->location)) {
    CORVANTIC_TRY(bytes, read_host_file(file->path));
    name = file->path;
  } else {
    return std::unexpected(gige::CameraError::unsupported("http-hosted GenICam XML"));
  }
  if (!ends_with_zip(name)) return bytes;
  auto unzipped = unzip_first_entry(bytes);
  if (!unzipped) return std::unexpected(gige::CameraError::malformed(unzipped.error()));
  return std::move(*unzipped);
}

gige::CameraResult<std::vector<std::uint8_t>> fetch_description(gige::GigeDriver& driver) {
  gige::CameraError last = gige::CameraError::not_connected();
  for (const std::uint32_t location : LOCATION_REGISTERS) {
    auto bytes = fetch_from(driver, location);
    if (bytes) return bytes;
    CORVANTIC_LOG(util::log::Level::Debug, util::log::target::GIGE,
                  "GenICam URL at " + util::hex(location) + " failed: " + bytes.error().display());
    last = bytes.error();
  }
  return std::unexpected(last);
}

}  // namespace

GenicamResult<void> load_feature_model(gige::GigeDriver& driver) {
  CORVANTIC_TRY_VOID(check_link(driver));
  if (loaded(driver) == nullptr) driver.set_attachment(std::make_shared<LoadedDescription>());
  LoadedDescription& state = *loaded(driver);
  if (state.model) return {};
  if (!state.bytes) {
    CORVANTIC_TRY(auto bytes, fetch_description(driver));
    state.bytes = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
  }
  CORVANTIC_TRY(auto model, build_feature_model(util::decode_utf8_lossy(*state.bytes)));
  CORVANTIC_LOG(util::log::Level::Debug, util::log::target::GIGE, "GenICam feature model loaded");
  CORVANTIC_TRY_VOID(check_link(driver));
  state.model.emplace(std::move(model));
  return {};
}

GenicamResult<std::vector<std::string>> feature_names(const gige::GigeDriver& driver) {
  const LoadedDescription* state = loaded(driver);
  if (state == nullptr || !state->model) return std::unexpected(model_not_loaded());
  std::vector<std::string> names;
  names.reserve(state->model->size());
  for (std::uint32_t i = 0; i < state->model->size(); ++i) names.push_back(state->model->name(i));
  return names;
}

bool has_feature(const gige::GigeDriver& driver, std::string_view name) {
  const LoadedDescription* state = loaded(driver);
  return state != nullptr && state->model && state->model->contains(name);
}

GenicamResult<std::int64_t> get_integer(gige::GigeDriver& driver, std::string_view name) {
  CORVANTIC_TRY(Target t, prologue(driver, name));
  DriverPort port(driver);
  return t.model.guarded(t.index, [&] { return t.model.read_integer(t.index, port); });
}

GenicamResult<void> set_integer(gige::GigeDriver& driver, std::string_view name, std::int64_t value) {
  CORVANTIC_LOG(util::log::Level::Trace, TARGET, "set integer", util::log::field("feature", name), util::log::field("value", value));
  CORVANTIC_TRY(Target t, prologue(driver, name));
  DriverPort port(driver);
  return t.model.guarded(t.index, [&] { return t.model.write_integer(t.index, value, port); });
}

GenicamResult<std::pair<std::int64_t, std::int64_t>> integer_bounds(gige::GigeDriver& driver, std::string_view name) {
  CORVANTIC_TRY(Target t, prologue(driver, name));
  DriverPort port(driver);
  return t.model.integer_bounds(t.index, port);
}

GenicamResult<std::int64_t> integer_increment(gige::GigeDriver& driver, std::string_view name) {
  CORVANTIC_TRY(Target t, prologue(driver, name));
  DriverPort port(driver);
  return t.model.integer_increment(t.index, port);
}

GenicamResult<double> get_float(gige::GigeDriver& driver, std::string_view name) {
  CORVANTIC_TRY(Target t, prologue(driver, name));
  DriverPort port(driver);
  return t.model.guarded(t.index, [&] { return t.model.read_float(t.index, port); });
}

GenicamResult<void> set_float(gige::GigeDriver& driver, std::string_view name, double value) {
  CORVANTIC_LOG(util::log::Level::Trace, TARGET, "set float", util::log::field("feature", name), util::log::field("value", value));
  CORVANTIC_TRY(Target t, prologue(driver, name));
  DriverPort port(driver);
  return t.model.guarded(t.index, [&] { return t.model.write_float(t.index, value, port); });
}

GenicamResult<std::pair<double, double>> float_bounds(gige::GigeDriver& driver, std::string_view name) {
  CORVANTIC_TRY(Target t, prologue(driver, name));
  DriverPort port(driver);
  return t.model.float_bounds(t.index, port);
}

GenicamResult<bool> get_boolean(gige::GigeDriver& driver, std::string_view name) {
  CORVANTIC_TRY(Target t, prologue(driver, name));
  DriverPort port(driver);
  // A Boolean compares its value with its on-value; every other node is read
  // as an integer, on the evaluation stack.
  if (t.model.kind(t.index) == NodeKind::Boolean) return t.model.read_boolean(t.index, port);
  return t.model.guarded(t.index, [&] { return t.model.read_boolean(t.index, port); });
}

GenicamResult<void> set_boolean(gige::GigeDriver& driver, std::string_view name, bool value) {
  CORVANTIC_LOG(util::log::Level::Trace, TARGET, "set boolean", util::log::field("feature", name), util::log::field("value", value));
  CORVANTIC_TRY(Target t, prologue(driver, name));
  DriverPort port(driver);
  return t.model.guarded(t.index, [&] { return t.model.write_boolean(t.index, value, port); });
}

GenicamResult<std::string> get_string(gige::GigeDriver& driver, std::string_view name) {
  CORVANTIC_TRY(Target t, prologue(driver, name));
  DriverPort port(driver);
  // An enumeration reads its integer value on the evaluation stack.
  if (t.model.kind(t.index) == NodeKind::Enumeration) {
    return t.model.guarded(t.index, [&] { return t.model.read_string(t.index, port); });
  }
  return t.model.read_string(t.index, port);
}

GenicamResult<void> set_string(gige::GigeDriver& driver, std::string_view name, std::string_view value) {
  CORVANTIC_LOG(util::log::Level::Trace, TARGET, "set string", util::log::field("feature", name), util::log::field("value", value));
  CORVANTIC_TRY(Target t, prologue(driver, name));
  DriverPort port(driver);
  return t.model.write_string(t.index, value, port);
}

GenicamResult<void> set_enum(gige::GigeDriver& driver, std::string_view name, std::string_view entry) {
  CORVANTIC_LOG(util::log::Level::Trace, TARGET, "set enum", util::log::field("feature", name), util::log::field("entry", entry));
  CORVANTIC_TRY(Target t, prologue(driver, name));
  DriverPort port(driver);
  return t.model.guarded(t.index, [&] { return t.model.select_entry(t.index, entry, port); });
}

GenicamResult<std::vector<std::string>> enum_entries(gige::GigeDriver& driver, std::string_view name) {
  CORVANTIC_TRY(Target t, prologue(driver, name));
  return t.model.enum_entries(t.index);
}

GenicamResult<void> execute(gige::GigeDriver& driver, std::string_view name) {
  CORVANTIC_LOG(util::log::Level::Trace, TARGET, "execute command", util::log::field("feature", name));
  CORVANTIC_TRY(Target t, prologue(driver, name));
  DriverPort port(driver);
  return t.model.execute(t.index, port);
}

GenicamResult<AccessMode> access_mode(gige::GigeDriver& driver, std::string_view name) {
  CORVANTIC_TRY(Target t, prologue(driver, name));
  return t.model.access_mode(t.index);
}

GenicamResult<void> invalidate_caches(gige::GigeDriver& driver) {
  CORVANTIC_TRY_VOID(check_link(driver));
  LoadedDescription* state = loaded(driver);
  if (state == nullptr || !state->model) return std::unexpected(model_not_loaded());
  state->model->invalidate_caches();
  return {};
}

GenicamResult<std::uint64_t> read_payload_size(gige::GigeDriver& driver, std::optional<std::uint64_t>& slot) {
  if (slot) return *slot;
  CORVANTIC_TRY(const std::int64_t size, get_integer(driver, "PayloadSize"));
  if (size < 0) return std::unexpected(GenicamError::device_description("negative PayloadSize"));
  slot = static_cast<std::uint64_t>(size);
  return *slot;
}

}  // namespace corvantic::genicam
