// The immutable value classes: each function returns the class (borrowed,
// created once per process) or nullptr with an exception set; the make_*
// functions return new instances holding a copy of the native record.
#pragma once

#include <Python.h>

#include "genicam/features.hpp"
#include "genicam/frame_chunks.hpp"
#include "genicam/node.hpp"
#include "gige/link_stats.hpp"
#include "gige/proto/bootstrap.hpp"
#include "gige/stream/frame.hpp"
#include "gige/stream/stream_stats.hpp"

namespace corvantic::py {

[[nodiscard]] PyObject* device_info_type();
[[nodiscard]] PyObject* make_device_info(const gige::proto::DeviceInfo& info);

[[nodiscard]] PyObject* link_stats_type();
[[nodiscard]] PyObject* make_link_stats(const gige::LinkStats& stats);

[[nodiscard]] PyObject* access_mode_type();
// The member of AccessMode for `mode` (a new reference).
[[nodiscard]] PyObject* make_access_mode(genicam::AccessMode mode);

[[nodiscard]] PyObject* frame_status_type();
[[nodiscard]] PyObject* make_frame_status(gige::stream::FrameStatus status);

// A Frame shares the delivered frame's buffer; the buffer goes back to its
// pool once the last Frame and the last view of its bytes are gone.
[[nodiscard]] PyObject* frame_type();
[[nodiscard]] PyObject* make_frame(genicam::FrameWithChunks frame);
// The module's PIXEL_FORMATS: the pixel format table as a tuple of
// (code, name, bits per pixel, layout, significant bits) tuples.
[[nodiscard]] PyObject* make_pixel_formats(PyObject* module);

[[nodiscard]] PyObject* stream_stats_type();
[[nodiscard]] PyObject* make_stream_stats(const gige::stream::StreamStats& stats);

[[nodiscard]] PyObject* feature_info_type();
[[nodiscard]] PyObject* make_feature_info(const genicam::FeatureInfo& info);

}  // namespace corvantic::py
