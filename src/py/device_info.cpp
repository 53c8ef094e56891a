// The DeviceInfo class: identity and addressing of a device.
#include "py/value_class.hpp"
#include "py/value_types.hpp"

namespace corvantic::py {
namespace {

using gige::proto::DeviceInfo;

PyObject* ipv4(std::uint32_t address) { return to_python_value(util::ipv4_string(address)); }

PyObject* mac(const DeviceInfo& info) { return to_python_value(info.mac_string()); }

PyObject* version_pair(const DeviceInfo& info) { return Py_BuildValue("(HH)", info.spec_major, info.spec_minor); }

PyObject* repr(const DeviceInfo& info) { return to_python_value(info.display()); }

constexpr ValueField<DeviceInfo> FIELDS[] = {
    {"manufacturer", member<&DeviceInfo::manufacturer>},
    {"model", member<&DeviceInfo::model>},
    {"serial", member<&DeviceInfo::serial>},
    {"device_version", member<&DeviceInfo::device_version>},
    {"manufacturer_info", member<&DeviceInfo::manufacturer_info>},
    {"user_defined_name", member<&DeviceInfo::user_defined_name>},
    {"ip", member_as<&DeviceInfo::ip, ipv4>},
    {"subnet_mask", member_as<&DeviceInfo::subnet_mask, ipv4>},
    {"gateway", member_as<&DeviceInfo::gateway, ipv4>},
    {"mac", mac},
    {"spec_version", version_pair, "GigE Vision spec version as `(major, minor)`."},
};

constexpr ValueClass<DeviceInfo> CLASS{
    "corvantic.DeviceInfo",
    "Identity and addressing of a device, parsed from the first\n"
    "[`DISCOVERY_DATA_SIZE`] bytes of bootstrap register space (the discovery\n"
    "acknowledge payload, or the same block read via READMEM).",
    FIELDS,
    repr,
};

}  // namespace

PyObject* device_info_type() { return value_class_type<CLASS>(); }

PyObject* make_device_info(const gige::proto::DeviceInfo& info) { return make_value<CLASS>(info); }

}  // namespace corvantic::py
