// Value classes: immutable Python classes over a copy of a native record,
// each declared by a table of its fields.
//
// A value class is a Boxed<Native> heap type that Python code cannot
// instantiate; every field is a read-only attribute whose getter converts a
// part of the record. A class file declares the table and the class as
// constants and asks for the type with value_class_type<CLASS>():
//
//   constexpr ValueField<gige::LinkStats> FIELDS[] = {
//       {"commands", member<&gige::LinkStats::commands>},
//       {"acks", member<&gige::LinkStats::acks>},
//   };
//   constexpr ValueClass<gige::LinkStats> CLASS{"corvantic.LinkStats", "Control-channel counters.", FIELDS};
//
// The class is created once per process. Its representation is the class's
// own `repr` where it has one, else the fields in order in the form
// "LinkStats { commands: 1, acks: 2 }" (each value shown by Python's repr).
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "py/boxed.hpp"
#include "py/guard.hpp"
#include "py/ref.hpp"

namespace corvantic::py {

template <typename Native>
struct ValueField {
  const char* name;
  // A new reference to the attribute's value, or nullptr with an exception set.
  PyObject* (*get)(const Native& value);
  const char* doc = nullptr;
};

template <typename Native>
struct ValueClass {
  using Record = Native;
  const char* qualified_name;  // "corvantic.LinkStats"
  const char* doc;
  std::span<const ValueField<Native>> fields;
  // The representation (a new reference); nullptr for the field listing.
  PyObject* (*repr)(const Native& value) = nullptr;
  // Methods beyond the fields (a table ending in an empty entry), or nullptr.
  PyMethodDef* methods = nullptr;
  // The buffer protocol, for a record that holds bytes; nullptr for none.
  getbufferproc get_buffer = nullptr;
};

// The conversions of record members that getters use by default.
inline PyObject* to_python_value(const std::string& v) { return PyUnicode_FromStringAndSize(v.data(), std::ssize(v)); }
inline PyObject* to_python_value(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

namespace value_class_detail {

template <typename MemberPointer>
struct MemberOf;
template <typename Owner, typename T>
struct MemberOf<T Owner::*> {
  using Record = Owner;
};
template <auto Member>
using RecordOf = typename MemberOf<decltype(Member)>::Record;

template <const auto& Class>
using ClassRecord = typename std::remove_cvref_t<decltype(Class)>::Record;

template <const auto& Class, std::size_t I>
PyObject* get(PyObject* self, void*) {
  return Class.fields[I].get(unbox<ClassRecord<Class>>(self));
}

template <const auto& Class, std::size_t... I>
constexpr std::array<PyGetSetDef, sizeof...(I) + 1> getset(std::index_sequence<I...>) {
  return {{{Class.fields[I].name, guarded<get<Class, I>>, nullptr, Class.fields[I].doc, nullptr}...,
           {nullptr, nullptr, nullptr, nullptr, nullptr}}};
}

// "Name { field: repr(value), ... }", Name being the last part of the
// qualified name.
template <typename Native>
PyObject* field_listing(const ValueClass<Native>& cls, const Native& value) {
  const std::string_view qualified = cls.qualified_name;
  std::string text(qualified.substr(qualified.rfind('.') + 1));
  text += " { ";
  for (std::size_t i = 0; i < cls.fields.size(); ++i) {
    const Ref field = Ref::steal(cls.fields[i].get(value));
    if (!field) return nullptr;
    const Ref shown = Ref::steal(PyObject_Repr(field.get()));
    if (!shown) return nullptr;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(shown.get(), &size);
    if (utf8 == nullptr) return nullptr;
    if (i > 0) text += ", ";
    text += cls.fields[i].name;
    text += ": ";
    text.append(utf8, static_cast<std::size_t>(size));
  }
  text += " }";
  return PyUnicode_FromStringAndSize(text.data(), std::ssize(text));
}

template <const auto& Class>
PyObject* repr(PyObject* self) {
  const ClassRecord<Class>& value = unbox<ClassRecord<Class>>(self);
  if constexpr (Class.repr != nullptr) {
    return Class.repr(value);
  } else {
    return field_listing(Class, value);
  }
}

// The class's slots: the fixed ones, then those the class asks for, then the
// terminating empty slot.
template <const auto& Class, std::size_t Fields>
std::array<PyType_Slot, 7> slots(std::array<PyGetSetDef, Fields>& getset) {
  using Native = ClassRecord<Class>;
  std::array<PyType_Slot, 7> out{{
      {Py_tp_doc, const_cast<char*>(Class.doc)},
      {Py_tp_getset, getset.data()},
      {Py_tp_repr, reinterpret_cast<void*>(guarded<repr<Class>>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(guarded<boxed_dealloc<Native>>)},
  }};
  std::size_t next = 4;
  if (Class.methods != nullptr) out[next++] = {Py_tp_methods, Class.methods};
  if constexpr (Class.get_buffer != nullptr) {
    out[next++] = {Py_bf_getbuffer, reinterpret_cast<void*>(guarded<Class.get_buffer>)};
  }
  out[next] = {0, nullptr};
  return out;
}

}  // namespace value_class_detail

// A getter of the member `Member`, converted by to_python_value.
template <auto Member>
PyObject* member(const value_class_detail::RecordOf<Member>& value) {
  return to_python_value(value.*Member);
}

// A getter of the member `Member`, converted by `Convert`.
template <auto Member, auto Convert>
PyObject* member_as(const value_class_detail::RecordOf<Member>& value) {
  return Convert(value.*Member);
}

// The class (borrowed), created on first use, or nullptr with an exception set.
template <const auto& Class>
PyObject* value_class_type() {
  using Native = value_class_detail::ClassRecord<Class>;
  static constinit auto getset = value_class_detail::getset<Class>(std::make_index_sequence<Class.fields.size()>{});
  static auto slots = value_class_detail::slots<Class>(getset);
  static PyType_Spec definition = {
      Class.qualified_name,
      sizeof(Boxed<Native>),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      slots.data(),
  };
  static std::atomic<PyObject*> slot{nullptr};
  return create_once(slot, [] { return PyType_FromSpec(&definition); });
}

// A new instance of the class holding a copy of `value`.
template <const auto& Class>
PyObject* make_value(const value_class_detail::ClassRecord<Class>& value) {
  return box(value_class_type<Class>(), value);
}

}  // namespace corvantic::py
