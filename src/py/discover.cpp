// The module function discover().
#include "gige/discovery.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/functions.hpp"
#include "py/guard.hpp"
#include "py/ref.hpp"
#include "py/value_types.hpp"

namespace corvantic::py {
namespace {

constexpr Parameter PARAMETERS[] = {{"timeout"}};
constexpr Signature SIGNATURE{"discover", PARAMETERS};

PyObject* discover_devices(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Arguments<1> a{};
  if (!parse_arguments(SIGNATURE, args, nargs, kwnames, a)) return nullptr;
  gige::DiscoverySettings settings;
  if (!convert_seconds(a[0], "timeout", settings.timeout)) return nullptr;

  gige::CameraResult<std::vector<gige::DiscoveredDevice>> result;
  {
    ReleasedGil released;
    result = gige::discover(settings);
  }
  if (!result) return raise_camera_error(result.error());

  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const gige::DiscoveredDevice& device : *result) {
    Ref info = Ref::steal(make_device_info(device.info));
    if (!info || PyList_Append(list.get(), info.get()) < 0) return nullptr;
  }
  return list.release();
}

PyMethodDef DISCOVER_DEF = {
    "discover",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<discover_devices>)),
    METH_FASTCALL | METH_KEYWORDS,
    "discover(timeout=1.0)\n--\n\n"
    "Broadcast a GigE Vision discovery beacon on every Up IPv4 adapter and\n"
    "return the devices that answer within `timeout` seconds.",
};

}  // namespace

PyObject* make_discover_function(PyObject* module) {
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name) return nullptr;
  return PyCMethod_New(&DISCOVER_DEF, nullptr, name.get(), nullptr);
}

}  // namespace corvantic::py
