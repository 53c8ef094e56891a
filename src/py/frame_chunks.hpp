// A frame's chunk values for Python (frame_chunks.cpp): the FrameChunks
// mapping behind Frame.chunks, and Frame.chunk(name).
#pragma once

#include <Python.h>

#include "genicam/frame_chunks.hpp"

namespace corvantic::py {

// The class (borrowed, created once per process), or nullptr with an
// exception set.
[[nodiscard]] PyObject* frame_chunks_type();
// A new FrameChunks over `frame`: the chunk features it has data for.
[[nodiscard]] PyObject* make_frame_chunks(const genicam::FrameWithChunks& frame);
// The value of chunk feature `name` (a str) in `frame`; GenicamException
// for a name the frame has no chunk for (read_chunk_feature's text: why, for
// a chunk feature of the description).
[[nodiscard]] PyObject* frame_chunk(const genicam::FrameWithChunks& frame, PyObject* name);

}  // namespace corvantic::py
