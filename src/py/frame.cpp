// The Frame class (one delivered frame, its bytes readable without a copy
// through the buffer protocol) and the FrameStatus enumeration.
#include <string>

#include "py/enum_type.hpp"
#include "py/frame_chunks.hpp"
#include "py/guard.hpp"
#include "py/value_class.hpp"
#include "py/value_types.hpp"

namespace corvantic::py {
namespace {

using gige::stream::Frame;
using gige::stream::FrameStatus;

// ---- FrameStatus

constexpr EnumMember STATUS_MEMBERS[] = {
    {"Complete", 0}, {"MissingPackets", 1},     {"Timeout", 2},
    {"Aborted", 3},  {"WrongPacketId", 4}, {"PayloadUnsupported", 5},
};
constexpr EnumSpec STATUS_SPEC{"corvantic.FrameStatus", "How a frame ended.", STATUS_MEMBERS};

// ---- Frame

PyObject* u64(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

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
};

PyObject* frame_repr(const Frame& f) {
  std::string text = "Frame(id=" + std::to_string(f.frame_id()) + ", ";
  text += gige::stream::frame_status_name(f.status());
  text += ", " + std::to_string(f.width()) + "x" + std::to_string(f.height()) + " " + f.pixel_format_name() + ", " +
          std::to_string(f.received_size()) + " bytes)";
  return PyUnicode_FromStringAndSize(text.data(), std::ssize(text));
}

// The bytes data() copies and views see: up to the frame's high-water mark,
// and in a frame with chunk data only its image.
std::span<const std::uint8_t> payload(PyObject* self) {
  const Frame& frame = unbox<Frame>(self);
  if (!frame) return {};
  return frame.image();
}

PyObject* chunk_method(PyObject* self, PyObject* name) { return frame_chunk(unbox<Frame>(self), name); }

PyObject* data_method(PyObject* self, PyObject*) {
  const std::span<const std::uint8_t> bytes = payload(self);
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), std::ssize(bytes));
}

// A read-only, one-dimensional view of bytes. The view holds a reference to
// the Frame object, which holds the buffer: the buffer stays out of the pool
// while any view of it exists.
int get_buffer(PyObject* self, Py_buffer* view, int flags) {
  static char empty = 0;
  const std::span<const std::uint8_t> bytes = payload(self);
  void* start = bytes.empty() ? static_cast<void*>(&empty) : const_cast<std::uint8_t*>(bytes.data());
  return PyBuffer_FillInfo(view, self, start, std::ssize(bytes), 1, flags);
}

PyMethodDef METHODS[] = {
    {"data", guarded<data_method>, METH_NOARGS,
     "data($self)\n--\n\nThe payload bytes (e.g. for `numpy.frombuffer`). For an incomplete\n"
     "frame the holes read as stale buffer content — check `status` first."},
    {"chunk", guarded<chunk_method>, METH_O,
     "chunk($self, name, /)\n--\n\nThe value of chunk feature `name`; GenicamError when the frame has no\nsuch chunk."},
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

PyObject* make_frame(Frame frame) { return box(frame_type(), std::move(frame)); }

}  // namespace corvantic::py
