#include "camera/snap_cancel.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "gige/stream/buffer_pool.hpp"
#include "gige/stream/pool_frames.hpp"

namespace corvantic::camera {
namespace {

genicam::FrameWithChunks a_frame(gige::stream::BufferPool& pool) {
  return {corvantic::testing::close_frame(pool, 1), nullptr};
}

// What run() makes of a snap's own outcome, with and without a cancel
// while it ran: only a timed-out snap that was cancelled becomes a
// cancelled one.
TEST(SnapCancel, OnlyACancelledSnapWithoutItsFrameFailsAsCancelled) {
  auto pool = gige::stream::BufferPool::create(2, 4);
  const struct {
    std::optional<GenicamError> outcome;  // none: the snap got its frame
    bool cancel;
    std::optional<GenicamError> expected;
  } cases[] = {
      {GenicamError::snap_timeout(), true, GenicamError::snap_cancelled()},
      {GenicamError::snap_timeout(), false, GenicamError::snap_timeout()},
      {GenicamError(gige::CameraError::control_lost()), true, GenicamError(gige::CameraError::control_lost())},
      {std::nullopt, true, std::nullopt},
  };
  for (const auto& c : cases) {
    SnapCancel snaps;
    bool saw_cancel = false;
    const auto snap = [&](const util::InterruptCheck& check) -> GenicamResult<genicam::FrameWithChunks> {
      if (c.cancel) {
        EXPECT_TRUE(snaps.cancel());
      }
      saw_cancel = check();
      if (c.outcome) return std::unexpected(*c.outcome);
      return a_frame(*pool);
    };
    const auto result = snaps.run({}, snap);
    EXPECT_EQ(saw_cancel, c.cancel);
    if (c.expected) {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error(), *c.expected);
    } else {
      EXPECT_TRUE(result);
    }
    EXPECT_FALSE(snaps.cancel()) << "nothing in flight after the snap";
  }
}

TEST(SnapCancel, ACancelWithNoSnapInFlightLeavesTheNextOneAlone) {
  SnapCancel snaps;
  EXPECT_FALSE(snaps.cancel());
  bool interrupted_asked = false;
  const auto interrupted = [&] {
    interrupted_asked = true;
    return false;
  };
  const auto result = snaps.run(interrupted, [&](const util::InterruptCheck& check) {
    EXPECT_FALSE(check());
    return GenicamResult<genicam::FrameWithChunks>(std::unexpected(GenicamError::snap_timeout()));
  });
  EXPECT_TRUE(interrupted_asked);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), GenicamError::snap_timeout());
}

}  // namespace
}  // namespace corvantic::camera
