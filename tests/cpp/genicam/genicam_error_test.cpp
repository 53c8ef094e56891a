#include "genicam/genicam_error.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "util/try.hpp"

namespace corvantic::genicam {
namespace {

TEST(GenicamError, DisplayTexts) {
  EXPECT_EQ(GenicamError::feature_not_found("Gain").display(), "feature 'Gain' not found");
  EXPECT_EQ(GenicamError::feature_not_found("").display(), "feature '' not found");
  EXPECT_EQ(GenicamError::wrong_type("Root").display(), "node 'Root' does not support this access");
  EXPECT_EQ(GenicamError::access_denied("Width").display(),
            "node 'Width' is not accessible this way (access mode)");
  EXPECT_EQ(GenicamError::dangling_reference("pX").display(), "dangling reference 'pX'");
  EXPECT_EQ(GenicamError::circular_reference("A").display(), "circular reference through 'A'");
  EXPECT_EQ(GenicamError::evaluation("SK", "division by zero").display(), "formula in 'SK': division by zero");
  EXPECT_EQ(GenicamError::no_enum_entry("PixelFormat", "Mono9").display(),
            "enumeration 'PixelFormat' has no entry 'Mono9'");
  EXPECT_EQ(GenicamError::device_description("feature model not loaded").display(),
            "device description: feature model not loaded");
  EXPECT_EQ(GenicamError::snap_timeout().display(), "no frame arrived within the snap timeout");
  EXPECT_EQ(GenicamError::snap_cancelled().display(), "snap cancelled before a frame arrived");
}

// Chunk and event data keep the kind of the refusal they replace and name
// the feature, with where its value is, or why a frame has none.
TEST(GenicamError, ChunkAndEventDataTexts) {
  const struct {
    GenicamError error;
    GenicamError::Kind kind;
    const char* display;
  } cases[] = {
      {GenicamError::chunk_data("ChunkGain"), GenicamError::Kind::AccessDenied,
       "feature 'ChunkGain' is chunk data: read it from frame.chunks"},
      {GenicamError::event_data("EventExposureEndTimestamp", "ExposureEnd"), GenicamError::Kind::AccessDenied,
       "feature 'EventExposureEndTimestamp' is event data of ExposureEnd: read it from Camera.events()"},
      {GenicamError::chunk_not_in_frame("ChunkGain", "chunk mode was off (ChunkModeActive)"),
       GenicamError::Kind::FeatureNotFound,
       "the frame holds no chunk for 'ChunkGain': chunk mode was off (ChunkModeActive)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.display);
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(c.error.display(), c.display);
  }
  EXPECT_NE(GenicamError::chunk_data("ChunkGain"), GenicamError::access_denied("ChunkGain"));
}

TEST(GenicamError, OutOfRangeShowsSignedNumbers) {
  EXPECT_EQ(GenicamError::out_of_range(-5, -10, -1, "Offset").display(),
            "value -5 out of range [-10, -1] for 'Offset'");
  constexpr auto MIN = std::numeric_limits<std::int64_t>::min();
  constexpr auto MAX = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(GenicamError::out_of_range(MIN, MIN, MAX, "X").display(),
            "value -9223372036854775808 out of range [-9223372036854775808, 9223372036854775807] for 'X'");
}

TEST(GenicamError, TransportShowsCameraTextUnchanged) {
  const GenicamError e = gige::CameraError::control_lost();
  EXPECT_EQ(e.kind(), GenicamError::Kind::Transport);
  ASSERT_NE(e.transport(), nullptr);
  EXPECT_EQ(e.display(), "device control was lost (heartbeat failed)");
  EXPECT_EQ(GenicamError::snap_timeout().transport(), nullptr);
}

gige::CameraResult<int> failing_read() { return std::unexpected(gige::CameraError::ack_timeout()); }
GenicamResult<int> feature_read() {
  CORVANTIC_TRY(const int v, failing_read());
  return v + 1;
}

TEST(GenicamError, TryConvertsCameraErrorsToTransport) {
  const auto r = feature_read();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), GenicamError::Kind::Transport);
  EXPECT_EQ(r.error().display(), "timed out waiting for acknowledge");
}

}  // namespace
}  // namespace corvantic::genicam
