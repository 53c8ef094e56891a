// The Event class: one device event, with its name and data as the camera's
// description gives them.
#include "py/event.hpp"

#include "py/ref.hpp"
#include "py/value_class.hpp"

namespace corvantic::py {
namespace {

PyObject* id(const EventRecord& e) { return PyLong_FromUnsignedLong(e.event->event_id); }
PyObject* timestamp(const EventRecord& e) { return PyLong_FromUnsignedLongLong(e.event->timestamp); }
PyObject* stream_channel(const EventRecord& e) { return PyLong_FromUnsignedLong(e.event->stream_channel); }
PyObject* block_id(const EventRecord& e) { return PyLong_FromUnsignedLongLong(e.event->block_id); }

PyObject* value(const genicam::EventValue& v) {
  return std::visit(
      [](const auto& x) -> PyObject* {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::int64_t>) {
          return PyLong_FromLongLong(x);
        } else if constexpr (std::is_same_v<T, double>) {
          return PyFloat_FromDouble(x);
        } else if constexpr (std::is_same_v<T, bool>) {
          return PyBool_FromLong(x);
        } else {
          return PyUnicode_FromStringAndSize(x.data(), std::ssize(x));
        }
      },
      v);
}

PyObject* data(const EventRecord& e) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const genicam::EventField& field : e.data) {
    const Ref item = Ref::steal(value(field.value));
    if (!item || PyDict_SetItemString(dict.get(), field.name.c_str(), item.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* raw_data(const EventRecord& e) {
  const auto bytes = e.event->data();
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), std::ssize(bytes));
}

// Event(id=0x9001, name='ExposureEnd', block_id=7, timestamp=1234)
PyObject* repr(const EventRecord& e) {
  const Ref name = Ref::steal(to_python_value(e.name));
  if (!name) return nullptr;
  return PyUnicode_FromFormat("Event(id=0x%04x, name=%R, block_id=%llu, timestamp=%llu)",
                              static_cast<unsigned>(e.event->event_id), name.get(),
                              static_cast<unsigned long long>(e.event->block_id),
                              static_cast<unsigned long long>(e.event->timestamp));
}

constexpr ValueField<EventRecord> FIELDS[] = {
    {"id", id, "The event id the device sent."},
    {"name", member<&EventRecord::name>,
     "The event's name in the camera's description (e.g. `\"ExposureEnd\"`),\n"
     "or its id in hex (`\"0x9001\"`) when the description names none."},
    {"timestamp", timestamp, "The device timestamp of the event, in device ticks."},
    {"stream_channel", stream_channel, "The stream channel the event concerns (0xFFFF for none)."},
    {"block_id", block_id, "The block id (frame) the event concerns: 16 bits, or 64 when the camera\n"
     "sends extended ids."},
    {"data", data,
     "The event's data features read from the bytes it carried, as a `dict`\n"
     "of feature name to value (e.g. `{\"EventExposureEndFrameID\": 7, ...}`);\n"
     "empty when the description gives the event none."},
    {"raw_data", raw_data, "The bytes the event carried after its record's header (an EVENTDATA's data)."},
};

constexpr ValueClass<EventRecord> CLASS{
    "corvantic.Event",
    "One event a camera sent (exposure end, a missed trigger...), taken from\n"
    "an `EventChannel`.",
    FIELDS,
    repr,
};

}  // namespace

PyObject* event_type() { return value_class_type<CLASS>(); }

PyObject* make_event(EventRecord record) { return box(event_type(), std::move(record)); }

}  // namespace corvantic::py
