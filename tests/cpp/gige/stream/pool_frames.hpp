// Frames for delivery tests: each closed over a buffer of a real pool, as the
// stream worker closes them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "gige/stream/buffer_pool.hpp"
#include "gige/stream/frame.hpp"

namespace corvantic::testing {

// A frame with id `frame_id` over a buffer taken from `pool`, which must
// have one free.
inline gige::stream::Frame close_frame(gige::stream::BufferPool& pool, std::uint64_t frame_id) {
  auto taken = pool.take();
  EXPECT_TRUE(taken.has_value()) << "no free buffer for frame " << frame_id;
  if (!taken) return {};
  (*taken)->info.frame_id = frame_id;
  return gige::stream::Frame(std::move(*taken));
}

}  // namespace corvantic::testing
