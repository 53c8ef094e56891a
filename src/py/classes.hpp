// The module's classes with a constructor or behaviour of their own (the
// value classes are in value_types.hpp). Each *_type() returns the class,
// created once per process (borrowed), or nullptr with an exception set.
#pragma once

#include <Python.h>

#include <memory>

#include "camera/camera.hpp"

namespace corvantic::py {

[[nodiscard]] PyObject* camera_type();
// The camera behind a Camera object, or nullptr when `object` is none.
[[nodiscard]] std::shared_ptr<camera::Camera> camera_of(PyObject* object);

[[nodiscard]] PyObject* acquisition_type();
[[nodiscard]] PyObject* snapshot_session_type();
[[nodiscard]] PyObject* frame_channel_type();

// New Python objects over an acquisition or session just started; on
// failure (nullptr, an exception set) it is released with the interpreter
// lock released, as an unstopped one would be.
[[nodiscard]] PyObject* make_acquisition(std::shared_ptr<camera::Acquisition> acquisition);
[[nodiscard]] PyObject* make_snapshot_session(std::shared_ptr<camera::SnapshotSession> session);

}  // namespace corvantic::py
