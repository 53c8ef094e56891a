// The FrameChunks class: a frame's chunk values as a read-only mapping from
// chunk feature name to value, and Frame.chunk(name).
//
// A mapping holds its frame (so its buffer) and the names the frame has
// chunks for, both fixed at creation; a value is decoded when it is asked
// for, through the stream's BufferFeatureReader (its own lock), from the
// frame's bytes. Nothing here reaches the device or waits, and the object's
// state never changes, so it is safe without the GIL.
#include "py/frame_chunks.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "genicam/frame_chunks.hpp"
#include "py/boxed.hpp"
#include "py/errors.hpp"
#include "py/guard.hpp"
#include "py/ref.hpp"

namespace corvantic::py {
namespace {

using Frame = genicam::FrameWithChunks;

struct ChunkMap {
  Frame frame;
  std::vector<std::string> names;  // chunk_feature_names(frame)
};

const ChunkMap& map_of(PyObject* self) { return unbox<ChunkMap>(self); }

PyObject* to_python(const genicam::BufferValue& value) {
  return std::visit(
      [](const auto& v) -> PyObject* {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::int64_t>) {
          return PyLong_FromLongLong(v);
        } else if constexpr (std::is_same_v<T, double>) {
          return PyFloat_FromDouble(v);
        } else if constexpr (std::is_same_v<T, bool>) {
          return PyBool_FromLong(v);
        } else {
          return PyUnicode_FromStringAndSize(v.data(), std::ssize(v));
        }
      },
      value);
}

// The name a str key stands for. Nothing for another key, and for a str the
// codec refuses (lone surrogates): neither names a feature, so the mapping
// treats both as absent.
std::optional<std::string_view> key_name(PyObject* key) {
  if (!PyUnicode_Check(key)) return std::nullopt;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

bool has_name(const ChunkMap& map, std::string_view name) {
  return std::find(map.names.begin(), map.names.end(), name) != map.names.end();
}

PyObject* value_of(const Frame& frame, std::string_view name) {
  const auto value = genicam::read_chunk_feature(frame, name);
  if (!value) return raise_genicam_error(value.error());
  return to_python(*value);
}

PyObject* list_of_names(const ChunkMap& map) {
  Ref list = Ref::steal(PyList_New(std::ssize(map.names)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < map.names.size(); ++i) {
    PyObject* name = PyUnicode_FromStringAndSize(map.names[i].data(), std::ssize(map.names[i]));
    if (name == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);
  }
  return list.release();
}

// ---- mapping slots

Py_ssize_t length(PyObject* self) { return std::ssize(map_of(self).names); }

PyObject* subscript(PyObject* self, PyObject* key) {
  const ChunkMap& map = map_of(self);
  const auto name = key_name(key);
  if (!name || !has_name(map, *name)) {
    PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
  }
  return value_of(map.frame, *name);
}

int contains(PyObject* self, PyObject* key) {
  const auto name = key_name(key);
  return name && has_name(map_of(self), *name) ? 1 : 0;
}

PyObject* iterate(PyObject* self) {
  const Ref names = Ref::steal(list_of_names(map_of(self)));
  return names ? PyObject_GetIter(names.get()) : nullptr;
}

PyObject* repr(PyObject* self) {
  std::string text = "FrameChunks(";
  const auto& names = map_of(self).names;
  for (std::size_t i = 0; i < names.size(); ++i) text += (i == 0 ? "" : ", ") + names[i];
  text += ")";
  return PyUnicode_FromStringAndSize(text.data(), std::ssize(text));
}

// ---- methods

PyObject* keys(PyObject* self, PyObject*) { return list_of_names(map_of(self)); }

// [f(name) for name in names]
template <typename Make>
PyObject* list_over_names(const ChunkMap& map, Make make) {
  Ref list = Ref::steal(PyList_New(std::ssize(map.names)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < map.names.size(); ++i) {
    PyObject* item = make(map.names[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* values(PyObject* self, PyObject*) {
  const ChunkMap& map = map_of(self);
  return list_over_names(map, [&](const std::string& name) { return value_of(map.frame, name); });
}

PyObject* items(PyObject* self, PyObject*) {
  const ChunkMap& map = map_of(self);
  return list_over_names(map, [&](const std::string& name) -> PyObject* {
    const Ref value = Ref::steal(value_of(map.frame, name));
    if (!value) return nullptr;
    const Ref key = Ref::steal(PyUnicode_FromStringAndSize(name.data(), std::ssize(name)));
    if (!key) return nullptr;
    return PyTuple_Pack(2, key.get(), value.get());
  });
}

PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 1 || nargs > 2) {
    PyErr_Format(PyExc_TypeError, "get expected 1 or 2 arguments, got %zd", nargs);
    return nullptr;
  }
  const ChunkMap& map = map_of(self);
  const auto name = key_name(args[0]);
  if (!name || !has_name(map, *name)) return Py_NewRef(nargs == 2 ? args[1] : Py_None);
  return value_of(map.frame, *name);
}

PyMethodDef METHODS[] = {
    {"keys", guarded<keys>, METH_NOARGS, "keys($self)\n--\n\nThe chunk feature names, in the description's order."},
    {"values", guarded<values>, METH_NOARGS, "values($self)\n--\n\nEvery value, decoded now."},
    {"items", guarded<items>, METH_NOARGS, "items($self)\n--\n\n(name, value) pairs, decoded now."},
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<get>)), METH_FASTCALL,
     "get($self, name, default=None, /)\n--\n\nThe value of `name`, or `default` when the frame has no such chunk."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("A frame's chunk values: a read-only mapping from chunk feature name to value,\n"
                                  "each decoded from the frame's own bytes when it is read.")},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<repr>)},
    {Py_tp_iter, reinterpret_cast<void*>(guarded<iterate>)},
    {Py_mp_length, reinterpret_cast<void*>(guarded<length>)},
    {Py_mp_subscript, reinterpret_cast<void*>(guarded<subscript>)},
    {Py_sq_contains, reinterpret_cast<void*>(guarded<contains>)},
    {Py_tp_methods, METHODS},
    {Py_tp_dealloc, reinterpret_cast<void*>(guarded<boxed_dealloc<ChunkMap>>)},
    {0, nullptr},
};

PyType_Spec SPEC = {
    "corvantic.FrameChunks",
    sizeof(Boxed<ChunkMap>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_MAPPING,
    SLOTS,
};

}  // namespace

PyObject* frame_chunks_type() {
  static std::atomic<PyObject*> slot{nullptr};
  return create_once(slot, [] { return PyType_FromSpec(&SPEC); });
}

PyObject* make_frame_chunks(const Frame& frame) {
  return box(frame_chunks_type(), ChunkMap{frame, genicam::chunk_feature_names(frame)});
}

PyObject* frame_chunk(const Frame& frame, PyObject* name) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "chunk name must be str, not %.100s", Py_TYPE(name)->tp_name);
    return nullptr;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
  if (utf8 == nullptr) return nullptr;
  return value_of(frame, std::string_view(utf8, static_cast<std::size_t>(size)));
}

}  // namespace corvantic::py
