// The Event and EventChannel classes: device events delivered to Python.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "genicam/events.hpp"

namespace corvantic::py {

// What an Event object holds: the event as it arrived, its name and its
// decoded data.
struct EventRecord {
  gige::SharedEvent event;
  std::string name;
  std::vector<genicam::EventField> data;
};

[[nodiscard]] PyObject* event_type();
[[nodiscard]] PyObject* make_event(EventRecord record);

[[nodiscard]] PyObject* event_channel_type();
// A new EventChannel over `stream`.
[[nodiscard]] PyObject* make_event_channel(genicam::EventStream stream);

}  // namespace corvantic::py
