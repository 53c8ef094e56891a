// The extension module corvantic._corvantic_core: multi-phase initialisation,
// the entry points, and the registration of its attributes and `__all__`.
#include "py/module.hpp"

#include "py/binding_api.hpp"
#include "py/classes.hpp"
#include "py/errors.hpp"
#include "py/frame_chunks.hpp"
#include "py/event.hpp"
#include "py/functions.hpp"
#include "py/guard.hpp"
#include "py/ref.hpp"
#include "py/value_types.hpp"

namespace corvantic::py {
namespace {

PyObject* make_camera_error(PyObject*) { return Py_XNewRef(camera_exception_type()); }
PyObject* make_genicam_error(PyObject*) { return Py_XNewRef(genicam_exception_type()); }
PyObject* make_camera_class(PyObject*) { return Py_XNewRef(camera_type()); }
PyObject* make_snapshot_session_class(PyObject*) { return Py_XNewRef(snapshot_session_type()); }
PyObject* make_acquisition_class(PyObject*) { return Py_XNewRef(acquisition_type()); }
PyObject* make_frame_class(PyObject*) { return Py_XNewRef(frame_type()); }
PyObject* make_frame_channel_class(PyObject*) { return Py_XNewRef(frame_channel_type()); }
PyObject* make_frame_status_class(PyObject*) { return Py_XNewRef(frame_status_type()); }
PyObject* make_stream_stats_class(PyObject*) { return Py_XNewRef(stream_stats_type()); }
PyObject* make_access_mode_class(PyObject*) { return Py_XNewRef(access_mode_type()); }
PyObject* make_link_stats_class(PyObject*) { return Py_XNewRef(link_stats_type()); }
PyObject* make_device_info_class(PyObject*) { return Py_XNewRef(device_info_type()); }
PyObject* make_feature_info_class(PyObject*) { return Py_XNewRef(feature_info_type()); }
PyObject* make_frame_chunks_class(PyObject*) { return Py_XNewRef(frame_chunks_type()); }
PyObject* make_event_class(PyObject*) { return Py_XNewRef(event_type()); }
PyObject* make_event_channel_class(PyObject*) { return Py_XNewRef(event_channel_type()); }

constexpr ModuleEntry ENTRIES[] = {
    {"CameraError", make_camera_error},
    {"GenicamError", make_genicam_error},
    {"Camera", make_camera_class},
    {"SnapshotSession", make_snapshot_session_class},
    {"Acquisition", make_acquisition_class},
    {"Frame", make_frame_class},
    {"FrameChannel", make_frame_channel_class},
    {"FrameStatus", make_frame_status_class},
    {"AccessMode", make_access_mode_class},
    {"StreamStats", make_stream_stats_class},
    {"LinkStats", make_link_stats_class},
    {"DeviceInfo", make_device_info_class},
    {"discover", make_discover_function},
    {"FeatureInfo", make_feature_info_class, false},
    {"FrameChunks", make_frame_chunks_class, false},
    {"PIXEL_FORMATS", make_pixel_formats, false},
    {"_frame_array", make_frame_array_function, false},
    {"Event", make_event_class, false},
    {"EventChannel", make_event_channel_class, false},
};

int add_entry(PyObject* module, PyObject* all, const ModuleEntry& entry) {
  Ref object = Ref::steal(entry.make(module));
  if (!object) return -1;
  if (PyModule_AddObjectRef(module, entry.name, object.get()) < 0) return -1;
  if (!entry.in_all) return 0;
  Ref name = Ref::steal(PyUnicode_FromString(entry.name));
  if (!name || PyList_Append(all, name.get()) < 0) return -1;
  return 0;
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "_corvantic_core: exec expects a module object");
    return -1;
  }
  if (camera_exception_type() == nullptr || genicam_exception_type() == nullptr) {
    PyErr_SetString(PyExc_ImportError, "Failed to initialize new exception type.");
    return -1;
  }
  Ref all = Ref::steal(PyList_New(0));
  if (!all) return -1;
  for (const ModuleEntry& entry : module_entries()) {
    if (add_entry(module, all.get(), entry) < 0) return -1;
  }
  if (add_diagnostics_functions(module) < 0) return -1;
  // For the test hooks only (see binding_api.hpp); not part of `__all__`.
  Ref api = Ref::steal(make_binding_api_capsule());
  if (!api || PyModule_AddObjectRef(module, "_binding_api", api.get()) < 0) return -1;
  return PyModule_AddObjectRef(module, "__all__", all.get());
}

// The exception types are process-wide, so the module cannot be loaded into
// isolated sub-interpreters; it runs without the GIL on free-threaded builds.
PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(guarded<exec_module>)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "_corvantic_core",
    "",
    0,
    nullptr,
    MODULE_SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

std::span<const ModuleEntry> module_entries() { return ENTRIES; }

}  // namespace corvantic::py

PyMODINIT_FUNC PyInit__corvantic_core(void) { return PyModuleDef_Init(&corvantic::py::MODULE_DEF); }

#ifdef PyMODEXPORT_FUNC
// The slots-only entry point of interpreters that offer it; it describes the
// same module as MODULE_DEF.
PyABIInfo_VAR(corvantic_abi_info);

static PyModuleDef_Slot corvantic_export_slots[] = {
    {Py_mod_abi, &corvantic_abi_info},
    {Py_mod_name, const_cast<char*>("_corvantic_core")},
    {Py_mod_doc, const_cast<char*>("")},
    {Py_mod_exec, reinterpret_cast<void*>(corvantic::py::guarded<corvantic::py::exec_module>)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyMODEXPORT_FUNC PyModExport__corvantic_core(void) { return corvantic_export_slots; }
#endif
