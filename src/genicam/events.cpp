#include "genicam/events.hpp"

#include <algorithm>

#include "genicam/features.hpp"
#include "util/log.hpp"
#include "util/text.hpp"
#include "util/try.hpp"

namespace corvantic::genicam {

std::string event_id_text(std::uint16_t event_id) { return util::hex4(event_id); }

namespace {

std::vector<std::string> event_selector_entries(const FeatureModel& model) {
  if (const auto selector = model.index_of("EventSelector")) {
    if (auto entries = model.enum_entries(*selector)) return std::move(*entries);
  }
  return {};
}

}  // namespace

EventCatalog::EventCatalog(FeatureModel snapshot) {
  name_from_id_constants(snapshot);
  const std::vector<std::string> selector_entries = event_selector_entries(snapshot);
  reader_ = std::make_unique<const BufferFeatureReader>(std::move(snapshot));
  for (const BufferFeature& feature : reader_->features()) {
    // GigE Vision event ids are 16 bits wide; a port of another id never matches.
    if (feature.port.kind != BufferKind::Event || feature.port.id > 0xFFFF) continue;
    features_[static_cast<std::uint16_t>(feature.port.id)].push_back(feature.name);
  }
  name_from_selector(selector_entries);
}

void EventCatalog::name_from_id_constants(const FeatureModel& model) {
  constexpr std::string_view PREFIX = "Event";
  for (std::uint32_t i = 0; i < model.size(); ++i) {
    const std::string& name = model.name(i);
    const auto* integer = std::get_if<IntegerNode>(&model.node(i).payload);
    if (!integer || !integer->event_id || *integer->event_id > 0xFFFF || name.size() <= PREFIX.size() ||
        !name.starts_with(PREFIX)) {
      continue;
    }
    // The first integer marked with an id names it.
    names_.try_emplace(static_cast<std::uint16_t>(*integer->event_id), name.substr(PREFIX.size()));
  }
}

void EventCatalog::name_from_selector(std::span<const std::string> selector_entries) {
  for (const auto& [id, on_port] : features_) {
    if (names_.contains(id)) continue;
    if (std::string found = event_name(selector_entries, on_port); !found.empty()) names_[id] = std::move(found);
  }
}

std::string EventCatalog::name(std::uint16_t event_id) const {
  const auto it = names_.find(event_id);
  return it != names_.end() ? it->second : event_id_text(event_id);
}

std::vector<EventField> EventCatalog::data(const gige::proto::DeviceEvent& event) const {
  const auto on_port = features_.find(event.event_id);
  if (on_port == features_.end()) return {};
  const BufferSpans::Entry entry{event.event_id, event.raw};
  const BufferSpans bytes(BufferKind::Event, std::span(&entry, 1));
  std::vector<EventField> fields;
  for (const std::string& name : on_port->second) {
    auto value = reader_->read(name, bytes);
    if (!value) {
      CORVANTIC_LOG(util::log::Level::Trace, util::log::target::GENICAM,
                    "event data feature " + name + " unreadable: " + value.error().display());
      continue;
    }
    fields.push_back(EventField{name, std::move(*value)});
  }
  return fields;
}

std::string event_name(std::span<const std::string> selector_entries, std::span<const std::string> port_features) {
  std::string prefix_match;
  for (const std::string& entry : selector_entries) {
    const std::string feature = "Event" + entry;
    for (const std::string& on_port : port_features) {
      if (on_port == feature) return entry;
      if (on_port.starts_with(feature) && entry.size() > prefix_match.size()) prefix_match = entry;
    }
  }
  if (!prefix_match.empty()) return prefix_match;
  // No entry fits: a feature "Event" + N whose name begins every other one
  // on the port (EventTest beside EventTestTimestamp) names the event N.
  constexpr std::string_view PREFIX = "Event";
  for (const std::string& on_port : port_features) {
    if (on_port.size() <= PREFIX.size() || !on_port.starts_with(PREFIX)) continue;
    if (std::ranges::all_of(port_features, [&](const std::string& other) { return other.starts_with(on_port); })) {
      return on_port.substr(PREFIX.size());
    }
  }
  return {};
}

GenicamResult<EventStream> subscribe_events(Device device, std::size_t capacity) {
  CORVANTIC_TRY(gige::EventReceiver events, device.driver.subscribe_events(capacity));
  // Without a description the events still come, named by their ids.
  auto model = snapshot_feature_model(device);
  auto catalog = model ? std::make_shared<const EventCatalog>(std::move(*model)) : std::make_shared<const EventCatalog>();
  return EventStream{std::move(events), std::move(catalog)};
}

}  // namespace corvantic::genicam
