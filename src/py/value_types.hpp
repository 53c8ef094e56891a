// The immutable value classes: each function returns the class (borrowed,
// created once per process) or nullptr with an exception set; the make_*
// functions return new instances holding a copy of the native record.
#pragma once

#include <Python.h>

#include "genicam/node.hpp"
#include "gige/link_stats.hpp"
#include "gige/proto/bootstrap.hpp"

namespace corvantic::py {

[[nodiscard]] PyObject* device_info_type();
[[nodiscard]] PyObject* make_device_info(const gige::proto::DeviceInfo& info);

[[nodiscard]] PyObject* link_stats_type();
[[nodiscard]] PyObject* make_link_stats(const gige::LinkStats& stats);

[[nodiscard]] PyObject* access_mode_type();
// The member of AccessMode for `mode` (a new reference).
[[nodiscard]] PyObject* make_access_mode(genicam::AccessMode mode);

}  // namespace corvantic::py
