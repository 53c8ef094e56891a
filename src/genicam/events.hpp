// Device events as a program sees them: a subscription to the events of a
// connected camera, with what its description says of each event id, its
// name and the values of its data features.
//
// The data features of an event lie on a port whose EventID is the event's
// id. That port's address 0 is the first byte of the event's record as
// received (proto::DeviceEvent::raw), its header included, as camera
// descriptions address it: in the standard 16-byte header the event id at
// 0x2, the timestamp at 0x8, the device's data of an EVENTDATA from 0x10.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "genicam/buffer_features.hpp"
#include "genicam/features.hpp"
#include "genicam/genicam_error.hpp"
#include "gige/event_subscription.hpp"
#include "gige/gige_driver.hpp"

namespace corvantic::genicam {

using EventValue = BufferValue;

struct EventField {
  std::string name;
  EventValue value;
};

// What one description says of its events. Its reader works on a snapshot
// of the model and never on the device, so any thread may use a catalog.
class EventCatalog {
 public:
  // A catalog that knows no event: names show the id, events have no data.
  EventCatalog() = default;
  // The events of the description of `snapshot` (FeatureModel::snapshot()).
  explicit EventCatalog(FeatureModel snapshot);

  // The description's name of event `event_id`, or the id as event_id_text
  // shows it. An Integer "Event" + N marked with the id as its own EventID
  // names it N (as EventExposureEnd = 0x9C43 names ExposureEnd); else the entry N of
  // EventSelector found by event_name() for the features on its port.
  [[nodiscard]] std::string name(std::uint16_t event_id) const;
  // The data features of the event's id that read from its data, in
  // description order; a feature whose bytes the event does not carry is
  // left out.
  [[nodiscard]] std::vector<EventField> data(const gige::proto::DeviceEvent& event) const;

 private:
  std::unique_ptr<const BufferFeatureReader> reader_;
  void name_from_id_constants(const FeatureModel& model);
  void name_from_selector(std::span<const std::string> selector_entries);

  std::map<std::uint16_t, std::string> names_;
  std::map<std::uint16_t, std::vector<std::string>> features_;  // data features by event id, node order
};

// "0x9001": an event id without a name.
[[nodiscard]] std::string event_id_text(std::uint16_t event_id);

// The name the description gives the event whose port holds the features
// `port_features`: the entry N of EventSelector whose feature "Event" + N
// lies on the port, else the longest N that begins the name of one of them;
// without such an entry, the N of a feature "Event" + N on the port whose
// name begins every other one there; empty when none fits.
[[nodiscard]] std::string event_name(std::span<const std::string> selector_entries,
                                     std::span<const std::string> port_features);

struct EventStream {
  gige::EventReceiver events;
  std::shared_ptr<const EventCatalog> catalog;
};

// A subscription holding up to `capacity` events to every event the
// connection accepts from now on (its message channel is opened first),
// with the catalog of the connection's description (an empty one when no
// description is loaded).
[[nodiscard]] GenicamResult<EventStream> subscribe_events(Device device, std::size_t capacity);

}  // namespace corvantic::genicam
