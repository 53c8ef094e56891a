// The Frame class (one delivered frame, its bytes readable without a copy
// through the buffer protocol) and the FrameStatus enumeration.
#include <algorithm>
#include <atomic>
#include <expected>
#include <optional>
#include <string>

#include "gige/stream/pixel_format.hpp"
#include "py/enum_type.hpp"
#include "py/errors.hpp"
#include "py/frame_chunks.hpp"
#include "py/functions.hpp"
#include "py/guard.hpp"
#include "py/numpy_array.hpp"
#include "py/ref.hpp"
#include "py/value_class.hpp"
#include "py/value_types.hpp"

namespace corvantic::py {
namespace {

using Frame = genicam::FrameWithChunks;
using gige::stream::FrameStatus;
using gige::stream::PixelArray;
using gige::stream::PixelArrayProblem;

// ---- FrameStatus

constexpr EnumMember STATUS_MEMBERS[] = {
    {"Complete", 0}, {"MissingPackets", 1},     {"Timeout", 2},
    {"Aborted", 3},  {"WrongPacketId", 4}, {"PayloadUnsupported", 5},
};
constexpr EnumSpec STATUS_SPEC{"corvantic.FrameStatus", "How a frame ended.", STATUS_MEMBERS};

// ---- Frame

PyObject* u64(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

// The bytes data() copies and views see: up to the frame's high-water mark,
// and in a frame with chunk data only its image.
std::span<const std::uint8_t> payload(const Frame& frame) {
  if (!frame) return {};
  return frame.image();
}

std::string decimal(gige::stream::Uint128 value) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  } while (value != 0);
  return digits;
}

// The frame's image as an array over its first `available` bytes, or the
// text saying why it is none.
std::expected<PixelArray, std::string> image_array(const Frame& f, std::size_t available) {
  const auto array = gige::stream::pixel_array(f.pixel_format_code(), f.width(), f.height());
  if (array && array->covered_by(available)) return *array;
  const std::string geometry = std::to_string(f.width()) + "x" + std::to_string(f.height());
  if (!array && array.error() == PixelArrayProblem::NoLayout) {
    return std::unexpected("no array layout for pixel format " + f.pixel_format_name());
  }
  if (!array) {
    return std::unexpected("frame " + std::to_string(f.frame_id()) + " has no image geometry (" + geometry + ")");
  }
  return std::unexpected("frame " + std::to_string(f.frame_id()) + " holds " + std::to_string(available) +
                         " bytes; a " + geometry + " " + f.pixel_format_name() + " image needs " +
                         decimal(array->bytes()));
}

// An interned text, made once per process (borrowed; nullptr with an
// exception set when that failed).
PyObject* interned(std::atomic<PyObject*>& slot, const char* text) {
  return create_once(slot, [text] { return PyUnicode_InternFromString(text); });
}

// The array interface (version 3): the image's shape and value type, and the
// address of its bytes, read-only. numpy keeps the object it read this from
// as the array's base, so the Frame, and with it the buffer, outlives every
// array made this way; the buffer never goes back to the pool under a view.
// Built from interned keys rather than parsed from a format.
//
// A frame without an array form has no interface: AttributeError with the
// reason, so that hasattr() answers False and a consumer such as numpy
// reads the bytes through the buffer protocol instead.
PyObject* array_interface(const Frame& f) {
  static std::atomic<PyObject*> shape_key, typestr_key, data_key, version_key, one_byte, two_bytes;
  const std::span<const std::uint8_t> bytes = payload(f);
  const std::expected<PixelArray, std::string> array = image_array(f, bytes.size());
  if (!array) return raise_attribute_error(array.error());
  PyObject* const keys[] = {interned(shape_key, "shape"), interned(typestr_key, "typestr"),
                            interned(data_key, "data"), interned(version_key, "version")};
  PyObject* const typestr =
      array->shape.value_bytes == 1 ? interned(one_byte, "|u1") : interned(two_bytes, "<u2");
  const Ref rows = Ref::steal(PyLong_FromUnsignedLong(array->rows));
  const Ref columns = Ref::steal(PyLong_FromUnsignedLong(array->columns));
  const Ref channels = Ref::steal(PyLong_FromUnsignedLong(array->shape.channels));
  const Ref address = Ref::steal(PyLong_FromVoidPtr(const_cast<std::uint8_t*>(bytes.data())));
  if (std::ranges::count(keys, nullptr) != 0 || !typestr || !rows || !columns || !channels || !address) return nullptr;
  const Ref shape = Ref::steal(array->shape.channels == 1 ? PyTuple_Pack(2, rows.get(), columns.get())
                                                          : PyTuple_Pack(3, rows.get(), columns.get(), channels.get()));
  const Ref data = Ref::steal(PyTuple_Pack(2, address.get(), Py_True));
  const Ref version = Ref::steal(PyLong_FromLong(3));
  Ref interface = Ref::steal(PyDict_New());
  if (!shape || !data || !version || !interface) return nullptr;
  PyObject* const values[] = {shape.get(), typestr, data.get(), version.get()};
  for (std::size_t i = 0; i < std::size(keys); ++i) {
    if (PyDict_SetItem(interface.get(), keys[i], values[i]) < 0) return nullptr;
  }
  return interface.release();
}

constexpr ValueField<Frame> FIELDS[] = {
    {"status", [](const Frame& f) { return make_frame_status(f.status()); }},
    {"is_complete", [](const Frame& f) { return PyBool_FromLong(f.is_complete()); },
     "`True` when every packet of the frame arrived."},
    {"frame_id", [](const Frame& f) { return u64(f.frame_id()); }},
    {"width", [](const Frame& f) { return u64(f.width()); }},
    {"height", [](const Frame& f) { return u64(f.height()); }},
    {"x_offset", [](const Frame& f) { return u64(f.x_offset()); }},
    {"y_offset", [](const Frame& f) { return u64(f.y_offset()); }},
    {"pixel_format",
     [](const Frame& f) {
       const std::string name = f.pixel_format_name();
       return PyUnicode_FromStringAndSize(name.data(), std::ssize(name));
     },
     "Pixel format name (e.g. `\"Mono8\"`), or the raw GigE Vision code in\nhex for formats without a known name."},
    {"pixel_format_code", [](const Frame& f) { return u64(f.pixel_format_code()); },
     "The raw 32-bit GigE Vision pixel format code."},
    {"bits_per_pixel", [](const Frame& f) { return u64(f.bits_per_pixel()); }},
    {"timestamp_ns", [](const Frame& f) { return u64(f.timestamp_ns()); }},
    {"timestamp_ticks", [](const Frame& f) { return u64(f.timestamp_ticks()); }},
    {"system_timestamp_ns", [](const Frame& f) { return u64(f.system_timestamp_ns()); }},
    {"received_size", [](const Frame& f) { return u64(f.received_size()); }},
    {"chunks", make_frame_chunks,
     "The frame's chunk values: a read-only mapping from chunk feature name\nto value, empty without chunk data."},
    {"__array_interface__", array_interface,
     "The image as numpy sees it: `(height, width)` values, or `(height, width, 3)`\n"
     "for RGB8 and BGR8, read in place. Raises `AttributeError` for a pixel format\n"
     "without an array layout and for bytes that do not cover the image."},
};

PyObject* frame_repr(const Frame& f) {
  std::string text = "Frame(id=" + std::to_string(f.frame_id()) + ", ";
  text += gige::stream::frame_status_name(f.status());
  text += ", " + std::to_string(f.width()) + "x" + std::to_string(f.height()) + " " + f.pixel_format_name() + ", " +
          std::to_string(f.received_size()) + " bytes)";
  return PyUnicode_FromStringAndSize(text.data(), std::ssize(text));
}

PyObject* chunk_method(PyObject* self, PyObject* name) { return frame_chunk(unbox<Frame>(self), name); }

PyObject* data_method(PyObject* self, PyObject*) {
  const std::span<const std::uint8_t> bytes = payload(unbox<Frame>(self));
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), std::ssize(bytes));
}

// A read-only, one-dimensional view of bytes. The view holds a reference to
// the Frame object, which holds the buffer: the buffer stays out of the pool
// while any view of it exists.
int get_buffer(PyObject* self, Py_buffer* view, int flags) {
  static char empty = 0;
  const std::span<const std::uint8_t> bytes = payload(unbox<Frame>(self));
  void* start = bytes.empty() ? static_cast<void*>(&empty) : const_cast<std::uint8_t*>(bytes.data());
  return PyBuffer_FillInfo(view, self, start, std::ssize(bytes), 1, flags);
}

PyMethodDef METHODS[] = {
    {"data", guarded<data_method>, METH_NOARGS,
     "data($self)\n--\n\nThe payload bytes (e.g. for `numpy.frombuffer`). For an incomplete\n"
     "frame the holes read as stale buffer content — check `status` first."},
    {"chunk", guarded<chunk_method>, METH_O,
     "chunk($self, name, /)\n--\n\nThe value of chunk feature `name`; GenicamError when the frame has no\nsuch chunk, saying why for a chunk feature of the description."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr ValueClass<Frame> CLASS{"corvantic.Frame", "One captured frame. The pixel payload is copied out by `data()`.",
                                  FIELDS, frame_repr, METHODS, get_buffer};

}  // namespace

PyObject* frame_status_type() {
  static std::atomic<PyObject*> slot{nullptr};
  return enum_type(slot, STATUS_SPEC);
}

PyObject* make_frame_status(FrameStatus status) {
  return enum_member(frame_status_type(), STATUS_SPEC, static_cast<long>(status));
}

PyObject* frame_type() { return value_class_type<CLASS>(); }

PyObject* make_pixel_formats(PyObject*) {
  Ref table = Ref::steal(PyTuple_New(std::ssize(gige::stream::PIXEL_FORMATS)));
  if (!table) return nullptr;
  Py_ssize_t i = 0;
  for (const gige::stream::PixelFormat& format : gige::stream::PIXEL_FORMATS) {
    const std::string_view layout = gige::stream::pixel_layout_name(format.layout);
    PyObject* entry = Py_BuildValue("(ks#ks#i)", static_cast<unsigned long>(format.code), format.name.data(),
                                    std::ssize(format.name), static_cast<unsigned long>(gige::stream::bits_per_pixel(format.code)),
                                    layout.data(), std::ssize(layout), format.significant_bits);
    if (entry == nullptr) return nullptr;
    PyTuple_SET_ITEM(table.get(), i++, entry);
  }
  return table.release();
}

PyObject* make_frame(Frame frame) { return box(frame_type(), std::move(frame)); }

// ---- Arrays over frames (corvantic.image.to_array)

namespace {

// The image as a read-only numpy array over the frame's bytes, in place,
// holding the Frame as its base: the buffer stays out of the pool while the
// array or any view of it lives. numpy is imported by the first call, before
// the frame is checked, as `import numpy` in Python would.
PyObject* frame_array(PyObject*, PyObject* frame) {
  PyObject* const type = frame_type();
  if (type == nullptr || !load_numpy()) return nullptr;
  if (Py_TYPE(frame) != reinterpret_cast<PyTypeObject*>(type)) {
    PyErr_Format(PyExc_TypeError, "expected a Frame, got %.200s", Py_TYPE(frame)->tp_name);
    return nullptr;
  }
  const Frame& f = unbox<Frame>(frame);
  const std::span<const std::uint8_t> bytes = payload(f);
  const std::expected<PixelArray, std::string> array = image_array(f, bytes.size());
  if (!array) return raise_value_error(array.error());
  const Py_ssize_t shape[] = {array->rows, array->columns, array->shape.channels};
  return read_only_array(frame, bytes.data(), std::span(shape, array->shape.channels == 1 ? 2 : 3),
                         array->shape.value_bytes == 1 ? ArrayValues::UInt8 : ArrayValues::UInt16LE);
}

PyMethodDef FRAME_ARRAY_DEF = {
    "_frame_array", guarded<frame_array>, METH_O,
    "_frame_array(frame, /)\n--\n\nA read-only numpy array over the frame's image, read in place: what\n"
    "corvantic.image.to_array returns.",
};

}  // namespace

PyObject* make_frame_array_function(PyObject* module) {
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name) return nullptr;
  return PyCMethod_New(&FRAME_ARRAY_DEF, nullptr, name.get(), nullptr);
}

}  // namespace corvantic::py
