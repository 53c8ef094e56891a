// The AccessMode enumeration: RO = 0, WO = 1, RW = 2.
#include "py/enum_type.hpp"
#include "py/value_types.hpp"

namespace corvantic::py {
namespace {

constexpr EnumMember MEMBERS[] = {{"RO", 0}, {"WO", 1}, {"RW", 2}};
constexpr EnumSpec SPEC{"corvantic.AccessMode", nullptr, MEMBERS};

}  // namespace

PyObject* access_mode_type() {
  static std::atomic<PyObject*> slot{nullptr};
  return enum_type(slot, SPEC);
}

PyObject* make_access_mode(genicam::AccessMode mode) {
  return enum_member(access_mode_type(), SPEC, static_cast<long>(mode));
}

}  // namespace corvantic::py
