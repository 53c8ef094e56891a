// An event from arbitrary bytes, decoded as a subscriber sees it: the
// datagram framed and its event taken, then named and its data features
// read through the virtual camera's description and through one whose
// event features reach past any plausible data. Names are never empty, and
// every text read comes from the bytes the event carried.
#include <cstddef>
#include <cstdint>
#include <span>

#include "genicam/events.hpp"
#include "sim/description.hpp"

using namespace corvantic;
using namespace corvantic::genicam;

namespace {

// Registers on event port 0x9003 at the ends of the 16-bit address range,
// one of them a string, one a float behind a converter.
constexpr std::string_view FAR_FEATURES = R"(<RegisterDescription>
  <Port Name="Device"/>
  <Port Name="FarPort"><EventID>9003</EventID></Port>
  <Enumeration Name="EventSelector"><EnumEntry Name="Far"><Value>1</Value></EnumEntry><pValue>Sel</pValue></Enumeration>
  <IntReg Name="Sel"><Address>0</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
  <Integer Name="EventFar"><pValue>FarId</pValue></Integer>
  <IntReg Name="FarId"><Address>0</Address><Length>2</Length><AccessMode>RO</AccessMode><pPort>FarPort</pPort></IntReg>
  <StringReg Name="EventFarText"><Address>0x10</Address><Length>32</Length><AccessMode>RO</AccessMode>
    <pPort>FarPort</pPort></StringReg>
  <Converter Name="EventFarScaled"><FormulaTo>FROM</FormulaTo><FormulaFrom>TO / 3.0</FormulaFrom>
    <pValue>FarRaw</pValue></Converter>
  <IntReg Name="FarRaw"><Address>0xFFF8</Address><Length>8</Length><AccessMode>RO</AccessMode>
    <pPort>FarPort</pPort><Sign>Signed</Sign></IntReg>
</RegisterDescription>)";

const EventCatalog& catalog_of(std::string_view xml) {
  // Built once per description; a catalog is safe to share.
  auto model = build_feature_model(xml);
  if (!model) __builtin_trap();
  return *new EventCatalog(std::move(*model));
}

void decode(const EventCatalog& catalog, const gige::proto::DeviceEvent& event) {
  if (catalog.name(event.event_id).empty()) __builtin_trap();
  for (const EventField& field : catalog.data(event)) {
    if (field.name.empty()) __builtin_trap();
    // A text comes from the event's bytes alone: each byte gives at most
    // three (U+FFFD in place of an invalid one).
    if (const auto* text = std::get_if<std::string>(&field.value); text && text->size() > 3 * event.raw.size()) {
      __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const EventCatalog& sim = catalog_of(sim::description_xml());
  static const EventCatalog& far = catalog_of(FAR_FEATURES);
  const auto command = gige::proto::parse_device_command(std::span(data, size));
  if (!command) return 0;
  for (const auto& event : gige::proto::parse_device_events(*command)) {
    decode(sim, event);
    decode(far, event);
  }
  return 0;
}
