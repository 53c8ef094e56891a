#include "py/enum_type.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "py/boxed.hpp"
#include "py/guard.hpp"
#include "py/ref.hpp"

namespace corvantic::py {
namespace {

struct Member {
  long value;
  const char* name;     // the member's own name, for the representation
  const char* owner;    // the class name
};

long value_of(PyObject* self) { return unbox<Member>(self).value; }

PyObject* to_int(PyObject* self) { return PyLong_FromLong(value_of(self)); }

PyObject* repr(PyObject* self) {
  const Member& m = unbox<Member>(self);
  return PyUnicode_FromFormat("%s.%s", m.owner, m.name);
}

// Equality with a member of the same class or with anything that converts
// to a machine integer; every other comparison is NotImplemented.
PyObject* compare(PyObject* self, PyObject* other, int op) {
  if (!PyObject_TypeCheck(self, Py_TYPE(self)) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
  long other_value = 0;
  if (Py_TYPE(other) == Py_TYPE(self)) {
    other_value = value_of(other);
  } else {
    other_value = PyLong_AsLong(other);
    if (other_value == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      Py_RETURN_NOTIMPLEMENTED;
    }
  }
  const bool equal = value_of(self) == other_value;
  return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

PyObject* create(const EnumSpec& spec) {
  std::vector<PyType_Slot> slots = {
      {Py_tp_repr, reinterpret_cast<void*>(guarded<repr>)},
      {Py_tp_richcompare, reinterpret_cast<void*>(guarded<compare>)},
      {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},  // the interpreter's own
      {Py_nb_int, reinterpret_cast<void*>(guarded<to_int>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(guarded<boxed_dealloc<Member>>)},
  };
  if (spec.doc != nullptr) slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
  slots.push_back({0, nullptr});
  PyType_Spec type_spec = {spec.qualified_name, sizeof(Boxed<Member>), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots.data()};
  Ref type = Ref::steal(PyType_FromSpec(&type_spec));
  if (!type) return nullptr;
  const char* owner = std::strrchr(spec.qualified_name, '.') + 1;
  // The members are added to the class dictionary before anyone sees the
  // class; the type is immutable from Python afterwards.
  PyObject* dict = reinterpret_cast<PyTypeObject*>(type.get())->tp_dict;
  for (const EnumMember& m : spec.members) {
    Ref member = Ref::steal(box(type.get(), Member{m.value, m.name, owner}));
    if (!member || PyDict_SetItemString(dict, m.name, member.get()) < 0) return nullptr;
  }
  PyType_Modified(reinterpret_cast<PyTypeObject*>(type.get()));
  return type.release();
}

}  // namespace

PyObject* enum_type(std::atomic<PyObject*>& slot, const EnumSpec& spec) {
  return create_once(slot, [&] { return create(spec); });
}

PyObject* enum_member(PyObject* type, const EnumSpec& spec, long value) {
  if (type == nullptr) return nullptr;
  for (const EnumMember& m : spec.members) {
    if (m.value == value) return PyObject_GetAttrString(type, m.name);
  }
  PyErr_Format(PyExc_ValueError, "no member with value %ld", value);
  return nullptr;
}

}  // namespace corvantic::py
