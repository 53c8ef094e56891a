// The DeviceInfo class: identity and addressing of a device.
#include <string>

#include "py/boxed.hpp"
#include "py/value_types.hpp"

namespace corvantic::py {
namespace {

PyObject* text(const std::string& s) { return PyUnicode_FromStringAndSize(s.data(), std::ssize(s)); }

template <std::string gige::proto::DeviceInfo::*Field>
PyObject* get_text(PyObject* self, void*) {
  return text(unbox<gige::proto::DeviceInfo>(self).*Field);
}

template <std::uint32_t gige::proto::DeviceInfo::*Field>
PyObject* get_ipv4(PyObject* self, void*) {
  return text(util::ipv4_string(unbox<gige::proto::DeviceInfo>(self).*Field));
}

PyObject* get_mac(PyObject* self, void*) { return text(unbox<gige::proto::DeviceInfo>(self).mac_string()); }

PyObject* get_spec_version(PyObject* self, void*) {
  const gige::proto::DeviceInfo& info = unbox<gige::proto::DeviceInfo>(self);
  return Py_BuildValue("(HH)", info.spec_major, info.spec_minor);
}

PyObject* repr(PyObject* self) { return text(unbox<gige::proto::DeviceInfo>(self).display()); }

PyGetSetDef GETSET[] = {
    {"manufacturer", get_text<&gige::proto::DeviceInfo::manufacturer>, nullptr, nullptr, nullptr},
    {"model", get_text<&gige::proto::DeviceInfo::model>, nullptr, nullptr, nullptr},
    {"serial", get_text<&gige::proto::DeviceInfo::serial>, nullptr, nullptr, nullptr},
    {"device_version", get_text<&gige::proto::DeviceInfo::device_version>, nullptr, nullptr, nullptr},
    {"manufacturer_info", get_text<&gige::proto::DeviceInfo::manufacturer_info>, nullptr, nullptr, nullptr},
    {"user_defined_name", get_text<&gige::proto::DeviceInfo::user_defined_name>, nullptr, nullptr, nullptr},
    {"ip", get_ipv4<&gige::proto::DeviceInfo::ip>, nullptr, nullptr, nullptr},
    {"subnet_mask", get_ipv4<&gige::proto::DeviceInfo::subnet_mask>, nullptr, nullptr, nullptr},
    {"gateway", get_ipv4<&gige::proto::DeviceInfo::gateway>, nullptr, nullptr, nullptr},
    {"mac", get_mac, nullptr, nullptr, nullptr},
    {"spec_version", get_spec_version, nullptr, "GigE Vision spec version as `(major, minor)`.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Identity and addressing of a device, parsed from the first\n"
                    "[`DISCOVERY_DATA_SIZE`] bytes of bootstrap register space (the discovery\n"
                    "acknowledge payload, or the same block read via READMEM).")},
    {Py_tp_getset, GETSET},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<gige::proto::DeviceInfo>)},
    {0, nullptr},
};

PyType_Spec SPEC = {
    "corvantic.DeviceInfo",
    sizeof(Boxed<gige::proto::DeviceInfo>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    SLOTS,
};

}  // namespace

PyObject* device_info_type() {
  static std::atomic<PyObject*> slot{nullptr};
  return create_once(slot, [] { return PyType_FromSpec(&SPEC); });
}

PyObject* make_device_info(const gige::proto::DeviceInfo& info) { return box(device_info_type(), info); }

}  // namespace corvantic::py
