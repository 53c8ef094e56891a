// The Event and EventChannel classes: device events delivered to Python.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "camera/event_channel.hpp"
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
// The EventChannel object of `channel`.
[[nodiscard]] PyObject* make_event_channel(std::shared_ptr<camera::EventChannel> channel);

}  // namespace corvantic::py
