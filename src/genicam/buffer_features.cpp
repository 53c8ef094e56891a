#include "genicam/buffer_features.hpp"

#include <algorithm>
#include <unordered_map>

namespace corvantic::genicam {
namespace {

// The nodes a node's value is read from: its pValue, a formula's variables,
// a converter's converted node and variables. Bounds, addresses and lengths
// are not values of the feature.
void value_sources(const Node& node, std::vector<std::uint32_t>& out) {
  out.clear();
  const auto reference = [&](const ValueSource& source) {
    if (source.form == ValueSource::Form::Reference && source.target != NO_NODE) out.push_back(source.target);
  };
  const auto variables = [&](const std::vector<FormulaVariable>& list) {
    for (const auto& variable : list) {
      if (variable.node.index != NO_NODE) out.push_back(variable.node.index);
    }
  };
  std::visit(
      [&](const auto& n) {
        using T = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<T, IntegerNode> || std::is_same_v<T, FloatNode> ||
                      std::is_same_v<T, BooleanNode> || std::is_same_v<T, EnumerationNode> ||
                      std::is_same_v<T, StringNode> || std::is_same_v<T, CommandNode>) {
          reference(n.value);
        } else if constexpr (std::is_same_v<T, FormulaNode>) {
          variables(n.variables);
        } else if constexpr (std::is_same_v<T, ConverterNode>) {
          reference(n.value);
          variables(n.variables);
        }
      },
      node.payload);
}

// The nodes a read of a node evaluates: its value sources, and for a
// register the terms of its address and its length.
void read_references(const Node& node, std::vector<std::uint32_t>& out) {
  value_sources(node, out);
  const auto* reg = std::get_if<RegisterNode>(&node.payload);
  if (reg == nullptr) return;
  const auto reference = [&](const ValueSource& source) {
    if (source.form == ValueSource::Form::Reference && source.target != NO_NODE) out.push_back(source.target);
  };
  for (const auto& term : reg->address) reference(term);
  reference(reg->length);
}

// Which buffer port a node's value depends on, found when first asked by a
// depth-first walk over value_sources that remembers every node it
// finished.
class PortClassifier {
 public:
  enum class State : std::uint8_t { Unseen, Visiting, Device, Buffer, Mixed };
  struct Class {
    State state = State::Unseen;
    BufferPort port;  // Buffer, and the first port met for Mixed
  };

  explicit PortClassifier(const FeatureModel& model) : model_(model) {}

  [[nodiscard]] const Class& of(std::uint32_t index) {
    classify(index, 0);
    return classes_[index];
  }

 private:
  void classify(std::uint32_t index, std::size_t depth) {
    Class& own = classes_[index];
    if (own.state != State::Unseen) return;
    if (const auto port = model_.buffer_port(index)) {
      own = {State::Buffer, *port};
      return;
    }
    // Deeper chains fail evaluation anyway (MAX_EVALUATION_DEPTH).
    if (depth >= MAX_EVALUATION_DEPTH) {
      own.state = State::Device;
      return;
    }
    own.state = State::Visiting;
    std::vector<std::uint32_t> sources;
    value_sources(model_.node(index), sources);
    Class result{State::Device, {}};
    for (const auto source : sources) {
      classify(source, depth + 1);
      const Class& found = classes_[source];
      // A node still being visited is a cycle, which evaluation refuses.
      if (found.state == State::Buffer && result.state == State::Device) {
        result = found;
      } else if ((found.state == State::Buffer && found.port != result.port) || found.state == State::Mixed) {
        if (result.state == State::Device) result.port = found.port;
        result.state = State::Mixed;
      }
    }
    classes_[index] = result;
  }

  const FeatureModel& model_;
  // By node; a map, so that asking about one node costs only its own chain.
  // Its references stay valid while classify inserts.
  std::unordered_map<std::uint32_t, Class> classes_;
};

[[nodiscard]] bool is_value_feature(FeatureType type) {
  return type == FeatureType::Integer || type == FeatureType::Float || type == FeatureType::Boolean ||
         type == FeatureType::Enumeration || type == FeatureType::String;
}

// The port of a frame's or an event's bytes: no device behind it.
class BufferOnlyPort final : public RegisterPort {
 public:
  explicit BufferOnlyPort(const BufferData& data) : data_(data) {}
  // Never called: the model asks reaches_device() before any device access.
  gige::CameraResult<std::vector<std::uint8_t>> read(std::uint64_t, std::size_t) override {
    return std::unexpected(gige::CameraError::not_connected());
  }
  gige::CameraResult<void> write(std::uint64_t, std::span<const std::uint8_t>) override {
    return std::unexpected(gige::CameraError::not_connected());
  }
  [[nodiscard]] bool reaches_device() const override { return false; }
  [[nodiscard]] const BufferData* buffer_data() const override { return &data_; }

 private:
  const BufferData& data_;
};

[[nodiscard]] bool reads_buffer(PortClassifier::State state) {
  return state == PortClassifier::State::Buffer || state == PortClassifier::State::Mixed;
}

// The nodes outside buffer ports that reads of chunk data reach, in node
// order: walked from every node whose value depends on a chunk port.
std::vector<std::uint32_t> chunk_read_settings(const FeatureModel& model) {
  PortClassifier classes(model);
  std::vector<bool> reached(model.size());
  std::vector<std::uint32_t> pending;
  for (std::uint32_t i = 0; i < model.size(); ++i) {
    const auto& own = classes.of(i);
    if (reads_buffer(own.state) && own.port.kind == BufferKind::Chunk) {
      reached[i] = true;
      pending.push_back(i);
    }
  }
  std::vector<std::uint32_t> references;
  while (!pending.empty()) {
    const std::uint32_t next = pending.back();
    pending.pop_back();
    read_references(model.node(next), references);
    for (const auto reference : references) {
      if (reached[reference]) continue;
      reached[reference] = true;
      pending.push_back(reference);
    }
  }
  std::vector<std::uint32_t> settings;
  for (std::uint32_t i = 0; i < model.size(); ++i) {
    if (reached[i] && classes.of(i).state == PortClassifier::State::Device) settings.push_back(i);
  }
  return settings;
}

std::vector<Node> states_of(const FeatureModel& model, std::span<const std::uint32_t> nodes) {
  std::vector<Node> states;
  states.reserve(nodes.size());
  for (const auto index : nodes) states.push_back(model.node(index));
  return states;
}

}  // namespace

std::optional<BufferPort> value_port(const FeatureModel& model, std::uint32_t index) {
  PortClassifier classes(model);
  const auto& own = classes.of(index);
  if (!reads_buffer(own.state)) return std::nullopt;
  return own.port;
}

LiveSettings::LiveSettings(const FeatureModel& model)
    : nodes_(chunk_read_settings(model)), states_(states_of(model, nodes_)) {}

void LiveSettings::publish(const FeatureModel& model) {
  auto states = states_of(model, nodes_);
  util::MutexLock lock(mutex_);
  states_ = std::move(states);
  publications_ += 1;
}

void LiveSettings::apply(FeatureModel& snapshot, std::uint64_t& seen) const {
  util::MutexLock lock(mutex_);
  if (seen == publications_) return;
  for (std::size_t i = 0; i < nodes_.size(); ++i) snapshot.take_state(nodes_[i], states_[i]);
  seen = publications_;
}

std::optional<std::span<const std::uint8_t>> BufferSpans::find(std::uint64_t id) const {
  const auto it = std::ranges::find(entries_, id, &Entry::id);
  if (it == entries_.end()) return std::nullopt;
  return it->bytes;
}

BufferFeatureReader::Listing BufferFeatureReader::list(const FeatureModel& model) {
  PortClassifier classes(model);
  const auto listable = [&](std::uint32_t index) {
    return classes.of(index).state == PortClassifier::State::Buffer && is_value_feature(model.info(index).type);
  };
  Listing listing;
  listing.on_buffer.resize(model.size());
  std::vector<bool> referenced(model.size());
  std::vector<std::uint32_t> sources;
  for (std::uint32_t i = 0; i < model.size(); ++i) {
    listing.on_buffer[i] = reads_buffer(classes.of(i).state);
    if (!listable(i)) continue;
    value_sources(model.node(i), sources);
    for (const auto source : sources) referenced[source] = true;
  }
  for (std::uint32_t i = 0; i < model.size(); ++i) {
    if (listable(i) && !referenced[i]) listing.features.push_back(BufferFeature{model.name(i), classes.of(i).port});
  }
  return listing;
}

BufferFeatureReader::BufferFeatureReader(FeatureModel snapshot, std::shared_ptr<const LiveSettings> settings)
    : features_(list(snapshot)), settings_(std::move(settings)), model_(std::move(snapshot)) {}

std::vector<std::string> BufferFeatureReader::features_on(BufferKind kind, std::uint64_t id) const {
  std::vector<std::string> names;
  for (const auto& feature : features_.features) {
    if (feature.port == BufferPort{kind, id}) names.push_back(feature.name);
  }
  return names;
}

std::vector<BufferFeature> BufferFeatureReader::chunk_features() const {
  std::vector<BufferFeature> chunks;
  std::ranges::copy_if(features_.features, std::back_inserter(chunks),
                       [](const BufferFeature& f) { return f.port.kind == BufferKind::Chunk; });
  return chunks;
}

GenicamResult<BufferValue> BufferFeatureReader::read(std::string_view name, const BufferData& data) const {
  util::MutexLock lock(mutex_);
  const auto index = model_.index_of(name);
  if (!index || !features_.on_buffer[*index]) return std::unexpected(GenicamError::feature_not_found(std::string(name)));
  if (settings_) settings_->apply(model_, settings_seen_);
  BufferOnlyPort port(data);
  // The feature's own node on the evaluation stack, as feature access reads
  // it (guarded), so that a reference chain back to it is a cycle.
  if (auto pushed = model_.push_evaluation(*index); !pushed) return std::unexpected(std::move(pushed).error());
  auto value = read_locked(*index, port);
  model_.pop_evaluation();
  return value;
}

GenicamResult<BufferValue> BufferFeatureReader::read_locked(std::uint32_t index, RegisterPort& port) const {
  const auto convert = [](auto result) -> GenicamResult<BufferValue> {
    if (!result) return std::unexpected(std::move(result).error());
    return BufferValue(std::move(*result));
  };
  switch (model_.info(index).type) {
    case FeatureType::Integer: return convert(model_.read_integer(index, port));
    case FeatureType::Float: return convert(model_.read_float(index, port));
    case FeatureType::Boolean: return convert(model_.read_boolean(index, port));
    case FeatureType::Enumeration:
    case FeatureType::String: return convert(model_.read_string(index, port));
    default: return std::unexpected(GenicamError::wrong_type(model_.name(index)));
  }
}

}  // namespace corvantic::genicam
