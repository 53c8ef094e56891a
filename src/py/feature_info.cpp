// The FeatureInfo class: what a device description says about one feature.
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "py/ref.hpp"
#include "py/value_class.hpp"
#include "py/value_types.hpp"

namespace corvantic::py {
namespace {

using genicam::FeatureInfo;

// The kind names, by FeatureType.
constexpr std::array<const char*, 9> KINDS = {"integer", "float",  "boolean",  "command", "enumeration",
                                              "string",  "register", "category", "port"};
constexpr std::array<const char*, 4> VISIBILITIES = {"Beginner", "Expert", "Guru", "Invisible"};

const char* kind_name(genicam::FeatureType type) { return KINDS[static_cast<std::size_t>(type)]; }
const char* visibility_name(genicam::Visibility visibility) {
  return VISIBILITIES[static_cast<std::size_t>(visibility)];
}

PyObject* text_or_none(const std::string& text) {
  if (text.empty()) Py_RETURN_NONE;
  return to_python_value(text);
}

PyObject* names(const std::vector<std::string>& list) {
  Ref tuple = Ref::steal(PyTuple_New(std::ssize(list)));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < list.size(); ++i) {
    PyObject* item = to_python_value(list[i]);
    if (item == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
  }
  return tuple.release();
}

PyObject* kind(const FeatureInfo& info) { return PyUnicode_FromString(kind_name(info.type)); }
PyObject* access(const FeatureInfo& info) { return make_access_mode(info.access); }
PyObject* visibility(const FeatureInfo& info) {
  return PyUnicode_FromString(visibility_name(info.visibility));
}

PyObject* bounds(const FeatureInfo& info) {
  if (info.integer_bounds) {
    return Py_BuildValue("(LL)", static_cast<long long>(info.integer_bounds->first),
                         static_cast<long long>(info.integer_bounds->second));
  }
  if (info.float_bounds) return Py_BuildValue("(dd)", info.float_bounds->first, info.float_bounds->second);
  Py_RETURN_NONE;
}

PyObject* increment(const FeatureInfo& info) {
  if (!info.increment) Py_RETURN_NONE;
  return PyLong_FromLongLong(*info.increment);
}

PyObject* entries(const FeatureInfo& info) {
  Ref tuple = Ref::steal(PyTuple_New(std::ssize(info.entries)));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < info.entries.size(); ++i) {
    const auto& entry = info.entries[i];
    PyObject* item = Py_BuildValue("(s#s#L)", entry.name.data(), std::ssize(entry.name),
                                   entry.display_name.data(), std::ssize(entry.display_name),
                                   static_cast<long long>(entry.value));
    if (item == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
  }
  return tuple.release();
}

// The id of the port a chunk or event data feature is read from, when it
// is of `kind`; None otherwise.
PyObject* data_id(const FeatureInfo& info, genicam::BufferKind kind) {
  if (!info.data_port || info.data_port->kind != kind) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(info.data_port->id);
}
PyObject* chunk_id(const FeatureInfo& info) { return data_id(info, genicam::BufferKind::Chunk); }
PyObject* event_id(const FeatureInfo& info) { return data_id(info, genicam::BufferKind::Event); }

// FeatureInfo(name='ExposureTime', kind='float', access=AccessMode.RW, visibility='Beginner', unit='us')
PyObject* repr(const FeatureInfo& info) {
  const Ref name = Ref::steal(to_python_value(info.name));
  const Ref mode = Ref::steal(make_access_mode(info.access));
  if (!name || !mode) return nullptr;
  if (info.unit.empty()) {
    return PyUnicode_FromFormat("FeatureInfo(name=%R, kind='%s', access=%R, visibility='%s')", name.get(),
                                kind_name(info.type), mode.get(), visibility_name(info.visibility));
  }
  const Ref unit = Ref::steal(to_python_value(info.unit));
  if (!unit) return nullptr;
  return PyUnicode_FromFormat("FeatureInfo(name=%R, kind='%s', access=%R, visibility='%s', unit=%R)",
                              name.get(), kind_name(info.type), mode.get(), visibility_name(info.visibility),
                              unit.get());
}

constexpr ValueField<FeatureInfo> FIELDS[] = {
    {"name", member<&FeatureInfo::name>},
    {"kind", kind,
     "What the feature holds, as its element names it: \"integer\", \"float\",\n"
     "\"boolean\", \"command\", \"enumeration\", \"string\", \"register\",\n"
     "\"category\" or \"port\"."},
    {"access", access},
    {"display_name", member<&FeatureInfo::display_name>,
     "The name to show; the feature's name when the description gives none."},
    {"tooltip", member_as<&FeatureInfo::tooltip, text_or_none>, "A one-line help text, or `None`."},
    {"description", member_as<&FeatureInfo::description, text_or_none>, "A longer help text, or `None`."},
    {"unit", member_as<&FeatureInfo::unit, text_or_none>,
     "The unit of the value (e.g. `\"us\"`), or `None`."},
    {"visibility", visibility,
     "Who the feature is meant for: \"Beginner\", \"Expert\", \"Guru\" or\n"
     "\"Invisible\" (\"Beginner\" when the description says nothing)."},
    {"representation", member_as<&FeatureInfo::representation, text_or_none>,
     "How to show a number (e.g. `\"HexNumber\"`, `\"Logarithmic\"`), or `None`."},
    {"bounds", bounds,
     "`(min, max)` of an integer or float feature with bounds of its own, read\n"
     "from the device now; `None` for other kinds and when they cannot be read."},
    {"increment", increment,
     "The step of an integer feature with bounds of its own, read from the device\n"
     "now; `None` for other kinds and when it cannot be read."},
    {"entries", entries,
     "An enumeration's entries as `(name, display_name, value)` tuples, in\ndescription order."},
    {"category", member_as<&FeatureInfo::category, names>,
     "The names of the categories that contain the feature, outermost first."},
    {"features", member_as<&FeatureInfo::features, names>,
     "The members of a category, in description order."},
    {"selects", member_as<&FeatureInfo::selects, names>, "The features this selector selects."},
    {"selected_by", member_as<&FeatureInfo::selected_by, names>, "The selectors that select this feature."},
    {"chunk_id", chunk_id,
     "For chunk data, the id of the chunk the value is read from (each frame's\n"
     "`chunks`); `None` for other features."},
    {"event_id", event_id,
     "For event data, the id of the event the value is read from (each event's\n"
     "`data`, from `Camera.events()`); `None` for other features."},
    {"event_name", member_as<&FeatureInfo::event_name, text_or_none>,
     "For event data, the description's name of its event, or its id in hex\n"
     "(\"0x9001\"); `None` for other features."},
};

constexpr ValueClass<FeatureInfo> CLASS{
    "corvantic.FeatureInfo",
    "What the device description says about one feature: its kind, access,\n"
    "names, help texts, unit, visibility, enumeration entries and place among\n"
    "the categories and selectors, with its bounds as the device reports them.",
    FIELDS,
    repr,
};

}  // namespace

PyObject* feature_info_type() { return value_class_type<CLASS>(); }

PyObject* make_feature_info(const genicam::FeatureInfo& info) { return make_value<CLASS>(info); }

}  // namespace corvantic::py
