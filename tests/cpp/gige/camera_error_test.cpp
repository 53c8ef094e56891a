#include "gige/camera_error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace corvantic::gige {
namespace {

TEST(GvcpStatus, DisplaysNameAndCodeOrBareCode) {
  EXPECT_EQ(proto::GvcpStatus{0x8006}.display(), "access denied (0x8006)");
  EXPECT_EQ(proto::GvcpStatus{0x0000}.display(), "success (0x0000)");
  EXPECT_EQ(proto::GvcpStatus{0x0100}.display(), "packet resend (0x0100)");
  EXPECT_EQ(proto::GvcpStatus{0x8011}.display(), "packet and previous removed from memory (0x8011)");
  EXPECT_EQ(proto::GvcpStatus{0x8017}.display(), "leader/trailer overflow (0x8017)");
  EXPECT_EQ(proto::GvcpStatus{0x8FFF}.display(), "generic error (0x8fff)");
  EXPECT_EQ(proto::GvcpStatus{0x8abc}.display(), "status 0x8abc");
  EXPECT_EQ(proto::GvcpStatus{0x0001}.display(), "status 0x0001");
  EXPECT_TRUE(proto::GvcpStatus{0x8000}.is_error());
  EXPECT_FALSE(proto::GvcpStatus{0x0100}.is_error());
}

TEST(CameraError, DisplayTexts) {
  EXPECT_EQ(CameraError::connect_timeout().display(), "connect timed out");
  EXPECT_EQ(CameraError::not_connected().display(), "driver is not connected");
  EXPECT_EQ(CameraError::ack_timeout().display(), "timed out waiting for acknowledge");
  EXPECT_EQ(CameraError::control_denied().display(), "device control is held by another application");
  EXPECT_EQ(CameraError::control_lost().display(), "device control was lost (heartbeat failed)");
  EXPECT_EQ(CameraError::status(0x0084, {0x8006}).display(),
            "device answered command 0x0084 with access denied (0x8006)");
  EXPECT_EQ(CameraError::status(0x0082, {0x8003}).display(),
            "device answered command 0x0082 with invalid address (0x8003)");
  EXPECT_EQ(CameraError::status(0x0080, {0x8123}).display(), "device answered command 0x0080 with status 0x8123");
  EXPECT_EQ(CameraError::malformed("short memory read").display(), "malformed packet: short memory read");
  EXPECT_EQ(CameraError::unsupported("IPv6 stream destinations").display(),
            "device does not support IPv6 stream destinations");
  EXPECT_EQ(CameraError::worker_spawn("bind control socket 1.2.3.4:0: Address already in use").display(),
            "worker thread failed to start: bind control socket 1.2.3.4:0: Address already in use");
}

TEST(CameraError, WrongValueCountIsMalformedWithItsOwnReason) {
  const auto e = CameraError::wrong_value_count(1, 9);
  EXPECT_EQ(e.kind(), CameraError::Kind::Malformed);
  EXPECT_EQ(e.reason(), CameraError::Reason::WrongValueCount);
  EXPECT_EQ(e.detail(), "read register ack carried 1 values, expected 9");
  EXPECT_EQ(e.display(), "malformed packet: read register ack carried 1 values, expected 9");
  // The reason comes with the value, not with its words.
  const auto same_text = CameraError::malformed("read register ack carried 1 values, expected 9");
  EXPECT_EQ(same_text.reason(), CameraError::Reason::Unspecified);
  EXPECT_NE(same_text, e);
  EXPECT_EQ(CameraError::ack_timeout().reason(), CameraError::Reason::Unspecified);
  EXPECT_EQ(CameraError::io(EINTR).reason(), CameraError::Reason::Unspecified);
}

TEST(CameraError, IoCarriesSystemTextAndKind) {
  const auto e = CameraError::io(ECONNREFUSED);
  EXPECT_EQ(e.kind(), CameraError::Kind::Io);
  EXPECT_EQ(e.os_error(), ECONNREFUSED);
  EXPECT_EQ(e.display(), "io error: Connection refused");
  const auto own = CameraError::io(EADDRNOTAVAIL, "no usable network adapter for discovery");
  EXPECT_EQ(own.os_error(), EADDRNOTAVAIL);
  EXPECT_EQ(own.display(), "io error: no usable network adapter for discovery");
}

}  // namespace
}  // namespace corvantic::gige
