// The sequences that make a camera stream, driven through the standard
// features PayloadSize, AcquisitionMode, TLParamsLocked, AcquisitionStart
// and AcquisitionStop: a continuous acquisition, a snapshot session (an open
// stream channel in single-frame mode that streams only while a snap is in
// flight) and the one-shot snap.
//
// Every function here runs with the camera's session lock held by the
// caller, and uses the driver directly. Failures while tearing down are
// logged, never returned, except the AcquisitionStop of an explicit stop.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "camera/result.hpp"
#include "genicam/features.hpp"
#include "genicam/frame_chunks.hpp"
#include "gige/gige_driver.hpp"
#include "gige/stream/frame.hpp"
#include "gige/stream/frame_subscription.hpp"
#include "gige/stream/stream_channel.hpp"

namespace corvantic::camera {

// A subscription's receiving end with the chunk features of its stream, so
// that each frame taken from it reads its chunk values, and the control
// connection the stream was opened on, so that a wait for frames ends when
// that connection is lost.
struct FrameSource {
  gige::stream::FrameReceiver receiver;
  std::shared_ptr<const genicam::BufferFeatureReader> chunk_reader;  // empty without chunk features
  // The counters of that control connection: its control-lost flag says the
  // camera can no longer be told anything about this stream, even after a
  // reconnect has replaced that connection. Empty: never lost.
  std::shared_ptr<const gige::SharedLinkStats> link;

  [[nodiscard]] genicam::FrameWithChunks with_chunks(gige::stream::Frame frame) const {
    return {std::move(frame), chunk_reader};
  }
  [[nodiscard]] bool control_lost() const { return link && link->snapshot().control_lost; }
  // gige::stream::receive_until that also ends, as Ended, within a slice of
  // control being lost: frames still queued are received first, but none is
  // waited for from a camera that no longer answers (a camera stops
  // streaming once its heartbeat expires).
  [[nodiscard]] gige::stream::ReceiveResult receive_until(
      gige::stream::FrameReceiver::Clock::time_point deadline,
      const gige::stream::InterruptCheck& interrupted) const;
};

// An open stream channel and its built-in subscription.
struct OpenStream {
  std::unique_ptr<gige::StreamChannel> channel;
  FrameSource frames;
};

// Why an acquisition ended.
enum class EndReason : std::uint8_t {
  Stopped,      // stopped (or released) by its owner
  ControlLost,  // control of the camera was lost while it ran
};

// "stopped", "control lost".
[[nodiscard]] std::string_view end_reason_text(EndReason reason);

// Why the acquisition on `stream`, still held, has ended: ControlLost once
// control of the connection it was started on was lost; nothing while it
// runs.
[[nodiscard]] std::optional<EndReason> running_end(const OpenStream& stream);

// What an open snapshot session holds.
struct SnapshotStream {
  OpenStream stream;
  // The AcquisitionMode entry to restore at close; absent when the mode was
  // SingleFrame already or could not be changed.
  std::optional<std::string> previous_mode;
  bool single_frame = false;  // the camera stops by itself after one frame
};

// Reads PayloadSize, opens the stream channel, subscribes before the camera
// starts (so the first frame is delivered), locks the transport parameters
// and executes AcquisitionStart. A failed start undoes the earlier steps.
[[nodiscard]] GenicamResult<OpenStream> start_acquisition(genicam::Device device, gige::StreamOptions options);

// Executes AcquisitionStop, unlocks the transport parameters and closes the
// stream channel; returns the AcquisitionStop result. Frames already queued
// stay readable through other receivers of the subscription. An acquisition
// whose control was lost (running_end) sends nothing (its session is gone,
// and after a reconnect the camera belongs to another): only its stream
// worker is stopped, and the result is the loss, as AcquisitionStop on the
// lost session would have failed.
[[nodiscard]] GenicamResult<void> stop_acquisition(genicam::Device device, OpenStream stream);

// The release of an acquisition nobody stopped: as stop_acquisition, with a
// failed AcquisitionStop only logged.
void stop_dropped_acquisition(genicam::Device device, OpenStream stream);

// The release of an acquisition or a session while another thread holds the
// camera: only the stream worker is stopped, with `warning` logged; the
// device is left as it is.
void abandon_stream(OpenStream stream, const char* warning);
inline constexpr const char* ACQUISITION_ABANDONED = "acquisition dropped while camera busy; AcquisitionStop not sent";
inline constexpr const char* SNAPSHOT_ABANDONED = "snapshot session dropped while camera busy; mode not restored";

// Switches the camera to SingleFrame where it can, reads PayloadSize, opens
// the stream channel and locks the transport parameters; the camera is not
// started.
[[nodiscard]] GenicamResult<SnapshotStream> open_snapshot_session(genicam::Device device,
                                                                  gige::StreamOptions options);

// One frame through an open session: AcquisitionStart, a wait of up to
// `timeout`, and AcquisitionStop unless the camera stopped by itself. The
// frame may have any status. `interrupted` is asked between slices of the
// wait; when it says so the snap ends as a timed-out one would (the camera
// stopped), with the snap-timeout error. A loss of control during the wait
// ends it within a slice, with the loss as the error and nothing sent.
[[nodiscard]] GenicamResult<genicam::FrameWithChunks> snap(
    genicam::Device device, SnapshotStream& session, std::chrono::nanoseconds timeout,
    const gige::stream::InterruptCheck& interrupted = {});

// Unlocks the transport parameters, restores the remembered AcquisitionMode
// and closes the stream channel. Never fails.
void close_snapshot_session(genicam::Device device, SnapshotStream session);

// A snapshot session's open, snap and close in one call.
[[nodiscard]] GenicamResult<genicam::FrameWithChunks> snap_once(
    genicam::Device device, gige::StreamOptions options, std::chrono::nanoseconds timeout,
    const gige::stream::InterruptCheck& interrupted = {});

}  // namespace corvantic::camera
