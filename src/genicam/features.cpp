#include "genicam/features.hpp"

#include <type_traits>

#include "genicam/description_fetch.hpp"
#include "genicam/events.hpp"
#include "genicam/register_port.hpp"
#include "util/log.hpp"
#include "util/text.hpp"
#include "util/try.hpp"

namespace corvantic::genicam {
namespace {

constexpr std::string_view TARGET = util::log::target::GENICAM;

// What is loaded for the device's current connection; what was loaded for
// an earlier one is dropped first.
DeviceDescription& current(Device device) {
  const std::uint64_t connection = device.driver.connection_id();
  if (device.description.connection != connection) device.description = DeviceDescription{connection};
  return device.description;
}

// The model of the current connection; null when none is loaded.
FeatureModel* loaded_model(Device device) {
  DeviceDescription& description = current(device);
  return description.model ? &*description.model : nullptr;
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

GenicamResult<Target> prologue(Device device, std::string_view name) {
  CORVANTIC_TRY_VOID(check_link(device.driver));
  FeatureModel* model = loaded_model(device);
  if (model == nullptr) return std::unexpected(model_not_loaded());
  CORVANTIC_TRY(const std::uint32_t index, model->find_node(name));
  return Target{*model, index};
}

// The feature operations, for the one decision below.
enum class Operation : std::uint8_t {
  ReadInteger,
  WriteInteger,
  IntegerBounds,
  IntegerIncrement,
  ReadFloat,
  WriteFloat,
  FloatBounds,
  ReadBoolean,
  WriteBoolean,
  ReadString,
  WriteString,
  SelectEntry,
  EnumEntries,
  Execute,
  AccessMode,
  Describe,
};

// Whether `operation` on a node of `kind` runs guarded: with the feature's
// own node on the evaluation stack (the model's operations push only the
// nodes they reach through references). A reference chain leading back to
// the feature then fails as a circular reference through the feature
// itself, and the feature counts towards the depth and visit limits.
// Numeric reads and writes run guarded; bounds, increments, commands and
// text do not, nor do the two operations that evaluate nothing.
bool runs_guarded(Operation operation, NodeKind kind) {
  switch (operation) {
    case Operation::ReadInteger:
    case Operation::WriteInteger:
    case Operation::ReadFloat:
    case Operation::WriteFloat:
    case Operation::WriteBoolean:
    case Operation::SelectEntry: return true;
    // A Boolean compares its value with its on-value; every other node is
    // read as an integer, on the evaluation stack.
    case Operation::ReadBoolean: return kind != NodeKind::Boolean;
    // An enumeration reads its integer value on the evaluation stack.
    case Operation::ReadString: return kind == NodeKind::Enumeration;
    case Operation::IntegerBounds:
    case Operation::IntegerIncrement:
    case Operation::FloatBounds:
    // Unguarded for an enumeration too, though set_enum selects its entry guarded.
    case Operation::WriteString:
    case Operation::EnumEntries:
    case Operation::Execute:
    case Operation::AccessMode:
    // Its bounds are read as integer_bounds and float_bounds read them.
    case Operation::Describe: return false;
  }
  return false;
}

// Whether `operation` may change the value of a node.
bool writes(Operation operation) {
  switch (operation) {
    case Operation::WriteInteger:
    case Operation::WriteFloat:
    case Operation::WriteBoolean:
    case Operation::WriteString:
    case Operation::SelectEntry:
    case Operation::Execute: return true;
    default: return false;
  }
}

// Reads the registers among `nodes` whose bytes `model` does not hold (a
// register written WriteAround drops them), so that chunk readers get them.
void read_uncached(FeatureModel& model, std::span<const std::uint32_t> nodes, RegisterPort& port) {
  for (const auto index : nodes) {
    const auto* reg = std::get_if<RegisterNode>(&model.node(index).payload);
    if (reg == nullptr || reg->cache || reg->cache_mode == CacheMode::NoCache) continue;
    // A register that cannot be read now is left without bytes: chunk reads
    // that need it fail naming it.
    switch (model.kind(index)) {
      case NodeKind::IntReg: (void)model.read_integer(index, port); break;
      case NodeKind::FloatReg: (void)model.read_float(index, port); break;
      case NodeKind::StringReg: (void)model.read_string(index, port); break;
      default: break;
    }
  }
}

// Hands the connection's chunk readers the settings their reads depend on
// as `model` holds them now.
void publish_chunk_settings(DeviceDescription& description, FeatureModel& model, RegisterPort& port) {
  if (!description.chunk_settings) return;
  read_uncached(model, description.chunk_settings->nodes(), port);
  description.chunk_settings->publish(model);
}

// The description's name of event `id`, or the id in hex.
std::string event_name_of(DeviceDescription& description, const FeatureModel& model, std::uint64_t id) {
  // GigE Vision event ids are 16 bits wide; the catalog knows no other.
  if (id > 0xFFFF) return util::hex4(id);
  if (!description.events) description.events = std::make_shared<const EventCatalog>(model.snapshot());
  return description.events->name(static_cast<std::uint16_t>(id));
}

// The failure of an operation on chunk or event data, which the device's
// memory does not hold; nothing for other features.
std::optional<GenicamError> data_elsewhere(DeviceDescription& description, const FeatureModel& model,
                                           std::uint32_t index) {
  const auto port = value_port(model, index);
  if (!port) return std::nullopt;
  if (port->kind == BufferKind::Chunk) return GenicamError::chunk_data(model.name(index));
  return GenicamError::event_data(model.name(index), event_name_of(description, model, port->id));
}

// A resolved feature as an operation sees it.
struct Feature {
  FeatureModel& model;
  std::uint32_t index;
  RegisterPort& port;
};

// The prologue of every feature operation: finds the node of `name` and
// runs `run` on it with the device session as its port, guarded where
// runs_guarded() says so for `operation`. A write is published to the
// chunk readers; chunk and event data, refused by the device session's
// port, are refused saying where they are read.
template <typename F>
auto with_feature(Device device, std::string_view name, Operation operation, F&& run)
    -> std::invoke_result_t<F, const Feature&> {
  CORVANTIC_TRY(Target t, prologue(device, name));
  DriverPort port(device.driver);
  const Feature feature{t.model, t.index, port};
  const auto call = [&] { return run(feature); };
  auto result = runs_guarded(operation, t.model.kind(t.index)) ? t.model.guarded(t.index, call) : call();
  if (writes(operation)) publish_chunk_settings(device.description, t.model, port);
  if (!result && result.error().kind() == GenicamError::Kind::AccessDenied) {
    if (auto elsewhere = data_elsewhere(device.description, t.model, t.index)) {
      return std::unexpected(std::move(*elsewhere));
    }
  }
  return result;
}

// ---- Fetching the description.

// Device memory as the description fetch reads it: memory reads posted to
// the control worker as they are asked for.
class DriverMemory final : public DescriptionMemory {
 public:
  DriverMemory(gige::GigeDriver& driver, const util::InterruptCheck& interrupted)
      : driver_(driver), interrupted_(interrupted) {}
  gige::CameraResult<std::vector<std::uint8_t>> read(std::uint32_t address, std::uint32_t count,
                                                     std::chrono::nanoseconds wait_limit) override {
    return driver_.read_memory_block(address, count, wait_limit, interrupted_);
  }
  [[nodiscard]] std::chrono::nanoseconds wait_budget() const override { return driver_.wait_budget(); }

 private:
  gige::GigeDriver& driver_;
  const util::InterruptCheck& interrupted_;
};

}  // namespace

GenicamResult<void> load_feature_model(Device device, const util::InterruptCheck& interrupted) {
  CORVANTIC_TRY_VOID(check_link(device.driver));
  DeviceDescription& state = current(device);
  if (state.model) return {};
  if (!state.bytes) {
    DriverMemory memory(device.driver, interrupted);
    CORVANTIC_TRY(auto bytes, fetch_description(memory, interrupted));
    state.bytes = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
  }
  CORVANTIC_TRY(auto model, build_feature_model(util::decode_utf8_lossy(*state.bytes)));
  CORVANTIC_LOG(util::log::Level::Debug, util::log::target::GIGE, "GenICam feature model loaded");
  CORVANTIC_TRY_VOID(check_link(device.driver));
  state.model.emplace(std::move(model));
  return {};
}

GenicamResult<std::vector<std::string>> feature_names(Device device) {
  const FeatureModel* model = loaded_model(device);
  if (model == nullptr) return std::unexpected(model_not_loaded());
  std::vector<std::string> names;
  names.reserve(model->size());
  for (std::uint32_t i = 0; i < model->size(); ++i) names.push_back(model->name(i));
  return names;
}

GenicamResult<FeatureModel> snapshot_feature_model(Device device) {
  const FeatureModel* model = loaded_model(device);
  if (model == nullptr) return std::unexpected(model_not_loaded());
  return model->snapshot();
}

bool has_feature(Device device, std::string_view name) {
  const FeatureModel* model = loaded_model(device);
  return model != nullptr && model->contains(name);
}

bool has_chunk_port(Device device) {
  const FeatureModel* model = loaded_model(device);
  if (model == nullptr) return false;
  for (std::uint32_t i = 0; i < model->size(); ++i) {
    const auto* port = std::get_if<PortNode>(&model->node(i).payload);
    if (port != nullptr && port->chunk_id) return true;
  }
  return false;
}

std::shared_ptr<const BufferFeatureReader> chunk_reader(Device device) {
  if (!has_chunk_port(device)) return nullptr;
  FeatureModel* model = loaded_model(device);
  if (model == nullptr) return nullptr;
  DeviceDescription& description = current(device);
  if (!description.chunk_settings) description.chunk_settings = std::make_shared<LiveSettings>(*model);
  DriverPort port(device.driver);
  publish_chunk_settings(description, *model, port);
  auto reader = std::make_shared<const BufferFeatureReader>(model->snapshot(), description.chunk_settings);
  if (reader->chunk_features().empty()) return nullptr;
  return reader;
}

GenicamResult<std::int64_t> get_integer(Device device, std::string_view name) {
  return with_feature(device, name, Operation::ReadInteger,
                      [](const Feature& f) { return f.model.read_integer(f.index, f.port); });
}

GenicamResult<void> set_integer(Device device, std::string_view name, std::int64_t value) {
  CORVANTIC_LOG(util::log::Level::Trace, TARGET, "set integer", util::log::field("feature", name), util::log::field("value", value));
  return with_feature(device, name, Operation::WriteInteger,
                      [&](const Feature& f) { return f.model.write_integer(f.index, value, f.port); });
}

GenicamResult<std::pair<std::int64_t, std::int64_t>> integer_bounds(Device device, std::string_view name) {
  return with_feature(device, name, Operation::IntegerBounds,
                      [](const Feature& f) { return f.model.integer_bounds(f.index, f.port); });
}

GenicamResult<std::int64_t> integer_increment(Device device, std::string_view name) {
  return with_feature(device, name, Operation::IntegerIncrement,
                      [](const Feature& f) { return f.model.integer_increment(f.index, f.port); });
}

GenicamResult<double> get_float(Device device, std::string_view name) {
  return with_feature(device, name, Operation::ReadFloat,
                      [](const Feature& f) { return f.model.read_float(f.index, f.port); });
}

GenicamResult<void> set_float(Device device, std::string_view name, double value) {
  CORVANTIC_LOG(util::log::Level::Trace, TARGET, "set float", util::log::field("feature", name), util::log::field("value", value));
  return with_feature(device, name, Operation::WriteFloat,
                      [&](const Feature& f) { return f.model.write_float(f.index, value, f.port); });
}

GenicamResult<std::pair<double, double>> float_bounds(Device device, std::string_view name) {
  return with_feature(device, name, Operation::FloatBounds,
                      [](const Feature& f) { return f.model.float_bounds(f.index, f.port); });
}

GenicamResult<bool> get_boolean(Device device, std::string_view name) {
  return with_feature(device, name, Operation::ReadBoolean,
                      [](const Feature& f) { return f.model.read_boolean(f.index, f.port); });
}

GenicamResult<void> set_boolean(Device device, std::string_view name, bool value) {
  CORVANTIC_LOG(util::log::Level::Trace, TARGET, "set boolean", util::log::field("feature", name), util::log::field("value", value));
  return with_feature(device, name, Operation::WriteBoolean,
                      [&](const Feature& f) { return f.model.write_boolean(f.index, value, f.port); });
}

GenicamResult<std::string> get_string(Device device, std::string_view name) {
  return with_feature(device, name, Operation::ReadString,
                      [](const Feature& f) { return f.model.read_string(f.index, f.port); });
}

GenicamResult<void> set_string(Device device, std::string_view name, std::string_view value) {
  CORVANTIC_LOG(util::log::Level::Trace, TARGET, "set string", util::log::field("feature", name), util::log::field("value", value));
  return with_feature(device, name, Operation::WriteString,
                      [&](const Feature& f) { return f.model.write_string(f.index, value, f.port); });
}

GenicamResult<void> set_enum(Device device, std::string_view name, std::string_view entry) {
  CORVANTIC_LOG(util::log::Level::Trace, TARGET, "set enum", util::log::field("feature", name), util::log::field("entry", entry));
  return with_feature(device, name, Operation::SelectEntry,
                      [&](const Feature& f) { return f.model.select_entry(f.index, entry, f.port); });
}

GenicamResult<std::vector<std::string>> enum_entries(Device device, std::string_view name) {
  return with_feature(device, name, Operation::EnumEntries,
                      [](const Feature& f) { return f.model.enum_entries(f.index); });
}

GenicamResult<void> execute(Device device, std::string_view name) {
  CORVANTIC_LOG(util::log::Level::Trace, TARGET, "execute command", util::log::field("feature", name));
  return with_feature(device, name, Operation::Execute,
                      [](const Feature& f) { return f.model.execute(f.index, f.port); });
}

GenicamResult<AccessMode> access_mode(Device device, std::string_view name) {
  return with_feature(device, name, Operation::AccessMode,
                      [](const Feature& f) { return f.model.access_mode(f.index); });
}

namespace {

std::vector<std::string> names_of(const FeatureModel& model, std::span<const std::uint32_t> indices) {
  std::vector<std::string> names;
  names.reserve(indices.size());
  for (const auto index : indices) names.push_back(model.name(index));
  return names;
}

std::vector<std::string> resolved_names(const FeatureModel& model, std::span<const NodeRef> refs) {
  std::vector<std::string> names;
  names.reserve(refs.size());
  for (const auto& ref : refs) {
    if (ref.index != NO_NODE) names.push_back(model.name(ref.index));
  }
  return names;
}

GenicamResult<FeatureInfo> describe(const Feature& f, DeviceDescription& description) {
  FeatureModel& model = f.model;
  const Node& node = model.node(f.index);
  const NodeInfo& meta = model.info(f.index);
  FeatureInfo info;
  info.name = node.name;
  info.type = meta.type;
  CORVANTIC_TRY(info.access, model.access_mode(f.index));
  info.display_name = meta.display_name.empty() ? node.name : std::string(meta.display_name);
  info.tooltip = meta.tooltip;
  info.description = meta.description;
  info.unit = meta.unit;
  info.representation = meta.representation;
  info.visibility = meta.visibility;
  switch (node.kind) {
    case NodeKind::Integer:
      if (auto bounds = model.integer_bounds(f.index, f.port)) info.integer_bounds = *bounds;
      if (auto increment = model.integer_increment(f.index, f.port)) info.increment = *increment;
      break;
    case NodeKind::Float:
      if (auto bounds = model.float_bounds(f.index, f.port)) info.float_bounds = *bounds;
      break;
    case NodeKind::Enumeration:
      for (const auto& entry : std::get<EnumerationNode>(node.payload).entries) {
        info.entries.push_back({std::string(entry.name),
                                std::string(entry.display_name.empty() ? entry.name : entry.display_name),
                                entry.value});
      }
      break;
    case NodeKind::Category:
      info.features = resolved_names(model, std::get<CategoryNode>(node.payload).features);
      break;
    default: break;
  }
  info.category = names_of(model, model.category_path(f.index));
  info.selects = resolved_names(model, meta.selected);
  info.selected_by = names_of(model, model.selectors_of(f.index));
  info.data_port = value_port(model, f.index);
  if (info.data_port && info.data_port->kind == BufferKind::Event) {
    info.event_name = event_name_of(description, model, info.data_port->id);
  }
  return info;
}

}  // namespace

GenicamResult<FeatureInfo> feature_info(Device device, std::string_view name) {
  return with_feature(device, name, Operation::Describe,
                      [&](const Feature& f) { return describe(f, device.description); });
}

GenicamResult<void> invalidate_caches(Device device) {
  CORVANTIC_TRY_VOID(check_link(device.driver));
  FeatureModel* model = loaded_model(device);
  if (model == nullptr) return std::unexpected(model_not_loaded());
  model->invalidate_caches();
  return {};
}

GenicamResult<std::uint64_t> read_payload_size(Device device, std::optional<std::uint64_t>& slot) {
  if (slot) return *slot;
  CORVANTIC_TRY(const std::int64_t size, get_integer(device, "PayloadSize"));
  if (size < 0) return std::unexpected(GenicamError::device_description("negative PayloadSize"));
  slot = static_cast<std::uint64_t>(size);
  return *slot;
}

}  // namespace corvantic::genicam
