#include "py/binding_api.hpp"

namespace corvantic::py {
namespace {

constexpr BindingApi API = {
    sizeof(BindingApi),
    sizeof(camera::Camera),
    parse_arguments,
    convert_text,
    convert_optional_text,
    convert_i64,
    convert_unsigned,
    convert_optional_unsigned,
    convert_double,
    convert_bool,
    convert_seconds,
    raise_camera_error,
    raise_genicam_error,
    raise_busy,
    raise_failure,
    raise_invalid_ip,
    raise_value_error,
    call_guarded,
    make_device_info,
    make_link_stats,
    make_frame,
    camera_of,
    util::log::emit,
};

}  // namespace

PyObject* make_binding_api_capsule() {
  // The capsule's pointer is not const; nothing writes through it.
  return PyCapsule_New(const_cast<BindingApi*>(&API), BINDING_API_CAPSULE, nullptr);
}

}  // namespace corvantic::py
