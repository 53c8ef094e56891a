#include "camera/acquisition.hpp"

#include <utility>

#include "util/duration.hpp"
#include "util/log.hpp"
#include "util/try.hpp"

namespace corvantic::camera {
namespace {

using util::log::Level;
using Clock = gige::stream::FrameReceiver::Clock;

constexpr std::string_view TARGET = util::log::target::GENICAM_SNAPSHOT;
constexpr std::size_t SNAPSHOT_QUEUE_CAPACITY = 4;
constexpr std::string_view SINGLE_FRAME = "SingleFrame";

// `prefix` followed by the error's text.
void log_failure(Level level, std::string_view prefix, const GenicamError& error) {
  CORVANTIC_LOG(level, TARGET, std::string(prefix) + error.display());
}

void lock_transport_parameters(genicam::Device device) {
  if (auto set = set_integer(device, "TLParamsLocked", 1); !set) {
    log_failure(Level::Debug, "TLParamsLocked not set: ", set.error());
  }
}

void unlock_transport_parameters(genicam::Device device) {
  if (auto cleared = set_integer(device, "TLParamsLocked", 0); !cleared) {
    log_failure(Level::Debug, "TLParamsLocked not cleared: ", cleared.error());
  }
}

void stop_after_snap(genicam::Device device) {
  if (auto stopped = execute(device, "AcquisitionStop"); !stopped) {
    log_failure(Level::Warn, "AcquisitionStop after snap failed: ", stopped.error());
  }
}

// Opens the stream channel with a subscription of `capacity` frames; its
// frames read the chunk features with the camera's settings at the time of
// the read.
GenicamResult<OpenStream> open_stream(genicam::Device device, gige::StreamOptions& options,
                                      std::size_t capacity) {
  CORVANTIC_TRY_VOID(read_payload_size(device, options.payload_size));
  auto channel = gige::StreamChannel::open(device.driver, options);
  if (!channel) return std::unexpected(GenicamError(channel.error()));
  FrameSource frames{(*channel)->subscribe(capacity), chunk_reader(device), device.driver.shared_link_stats()};
  return OpenStream{std::move(*channel), std::move(frames)};
}

// AcquisitionMode := SingleFrame where possible. Returns the single-frame
// flag and the entry to restore later.
std::pair<bool, std::optional<std::string>> enter_single_frame(genicam::Device device) {
  auto mode = get_string(device, "AcquisitionMode");
  if (!mode) {
    log_failure(Level::Debug, "AcquisitionMode unavailable, stopping per snap: ", mode.error());
    return {false, std::nullopt};
  }
  if (*mode == SINGLE_FRAME) return {true, std::nullopt};
  if (auto set = set_enum(device, "AcquisitionMode", SINGLE_FRAME); !set) {
    log_failure(Level::Debug, "SingleFrame mode unavailable, stopping per snap: ", set.error());
    return {false, std::nullopt};
  }
  return {true, std::move(*mode)};
}

// After a failed open; errors are ignored.
void restore_mode_quietly(genicam::Device device, const std::optional<std::string>& previous_mode) {
  if (previous_mode) (void)set_enum(device, "AcquisitionMode", *previous_mode);
}

void restore_mode(genicam::Device device, const std::optional<std::string>& previous_mode) {
  if (!previous_mode) return;
  if (auto restored = set_enum(device, "AcquisitionMode", *previous_mode); !restored) {
    log_failure(Level::Debug, "AcquisitionMode not restored: ", restored.error());
  }
}

// The next frame opened at or after `triggered`. A frame of an earlier
// trigger (one still open when the previous snap gave up, and delivered
// since) is dropped: a snap returns only what its own trigger produced.
gige::stream::ReceiveResult receive_triggered(const FrameSource& frames, Clock::time_point triggered,
                                              Clock::time_point deadline,
                                              const gige::stream::InterruptCheck& interrupted) {
  for (;;) {
    gige::stream::ReceiveResult got = frames.receive_until(deadline, interrupted);
    if (got.status != gige::stream::ReceiveStatus::Received || got.frame.info().opened_at >= triggered) return got;
    CORVANTIC_LOG(Level::Debug, TARGET, "discarding a frame of an earlier trigger",
                  util::log::field("frame_id", got.frame.frame_id()));
  }
}

// The camera was started at `triggered`; waits for one frame and stops the
// camera unless it stops by itself after the frame.
GenicamResult<genicam::FrameWithChunks> take_one_frame(genicam::Device device, const FrameSource& frames,
                                                       bool single_frame, Clock::time_point triggered,
                                                       Clock::time_point deadline,
                                                       const gige::stream::InterruptCheck& interrupted) {
  gige::stream::ReceiveResult got = receive_triggered(frames, triggered, deadline, interrupted);
  const bool arrived = got.status == gige::stream::ReceiveStatus::Received;
  if (arrived && single_frame) return frames.with_chunks(std::move(got.frame));
  // AcquisitionStop could only fail with the loss, after a WARN that hides it.
  if (!arrived && frames.control_lost()) return std::unexpected(GenicamError(gige::CameraError::control_lost()));
  stop_after_snap(device);
  if (arrived) return frames.with_chunks(std::move(got.frame));
  return std::unexpected(GenicamError::snap_timeout());
}

Clock::time_point deadline_after(std::chrono::nanoseconds timeout) {
  return util::saturating_add<Clock>(Clock::now(), timeout);
}

}  // namespace

gige::stream::ReceiveResult FrameSource::receive_until(Clock::time_point deadline,
                                                      const gige::stream::InterruptCheck& interrupted) const {
  bool lost = false;
  gige::stream::ReceiveResult got = gige::stream::receive_until(receiver, deadline, [&] {
    lost = control_lost();
    return lost || (interrupted && interrupted());
  });
  if (lost) got.status = gige::stream::ReceiveStatus::Ended;
  return got;
}

std::string_view end_reason_text(EndReason reason) {
  switch (reason) {
    case EndReason::Stopped: return "stopped";
    case EndReason::ControlLost: return "control lost";
  }
  return "stopped";
}

std::optional<EndReason> running_end(const OpenStream& stream) {
  if (stream.frames.control_lost()) return EndReason::ControlLost;
  return std::nullopt;
}

GenicamResult<OpenStream> start_acquisition(genicam::Device device, gige::StreamOptions options) {
  CORVANTIC_TRY(OpenStream stream, open_stream(device, options, options.n_buffers));
  lock_transport_parameters(device);
  if (auto started = execute(device, "AcquisitionStart"); !started) {
    unlock_transport_parameters(device);
    stream.channel->close(device.driver);
    return std::unexpected(started.error());
  }
  return stream;
}

GenicamResult<void> stop_acquisition(genicam::Device device, OpenStream stream) {
  if (running_end(stream) == EndReason::ControlLost) {
    // The connection this acquisition ran on is gone: AcquisitionStop could
    // only fail with the loss, or, after a reconnect, reach the camera
    // through a session that is not this acquisition's and stop what that
    // one started. The stream closes here and the loss is the result.
    CORVANTIC_LOG(Level::Debug, TARGET, "acquisition ended by control loss; nothing sent to the camera");
    stream.channel->close_locally();
    return std::unexpected(GenicamError(gige::CameraError::control_lost()));
  }
  GenicamResult<void> stopped = execute(device, "AcquisitionStop");
  unlock_transport_parameters(device);
  stream.channel->close(device.driver);
  return stopped;
}

void stop_dropped_acquisition(genicam::Device device, OpenStream stream) {
  if (auto stopped = stop_acquisition(device, std::move(stream)); !stopped) {
    log_failure(Level::Warn, "AcquisitionStop on drop failed: ", stopped.error());
  }
}

void abandon_stream(OpenStream stream, const char* warning) {
  CORVANTIC_LOG(Level::Warn, TARGET, warning);
  stream.channel->close_locally();
}

GenicamResult<SnapshotStream> open_snapshot_session(genicam::Device device, gige::StreamOptions options) {
  auto [single_frame, previous_mode] = enter_single_frame(device);
  auto stream = open_stream(device, options, SNAPSHOT_QUEUE_CAPACITY);
  if (!stream) {
    restore_mode_quietly(device, previous_mode);
    return std::unexpected(stream.error());
  }
  lock_transport_parameters(device);
  return SnapshotStream{std::move(*stream), std::move(previous_mode), single_frame};
}

GenicamResult<genicam::FrameWithChunks> snap(genicam::Device device, SnapshotStream& session,
                                             std::chrono::nanoseconds timeout,
                                             const gige::stream::InterruptCheck& interrupted) {
  session.stream.frames.receiver.discard_all();
  const Clock::time_point triggered = Clock::now();
  CORVANTIC_TRY_VOID(execute(device, "AcquisitionStart"));
  return take_one_frame(device, session.stream.frames, session.single_frame, triggered, deadline_after(timeout),
                        interrupted);
}

void close_snapshot_session(genicam::Device device, SnapshotStream session) {
  unlock_transport_parameters(device);
  restore_mode(device, session.previous_mode);
  session.stream.channel->close(device.driver);
}

GenicamResult<genicam::FrameWithChunks> snap_once(genicam::Device device, gige::StreamOptions options,
                                                  std::chrono::nanoseconds timeout,
                                                  const gige::stream::InterruptCheck& interrupted) {
  CORVANTIC_TRY(SnapshotStream session, open_snapshot_session(device, std::move(options)));
  GenicamResult<genicam::FrameWithChunks> result = snap(device, session, timeout, interrupted);
  close_snapshot_session(device, std::move(session));
  return result;
}

}  // namespace corvantic::camera
