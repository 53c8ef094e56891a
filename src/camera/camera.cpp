#include "camera/camera.hpp"

#include "camera/reconnect.hpp"
#include "util/try.hpp"

namespace corvantic::camera {
// ---- Camera.

std::shared_ptr<Camera> Camera::create(gige::DriverConfig config) {
  return std::shared_ptr<Camera>(new Camera(std::move(config)));
}

Camera::Camera(gige::DriverConfig config) : address_(config.device), driver_(std::move(config)) {}

std::optional<Busy> Camera::reentry() const {
  if (!mutex_.held_by_this_thread()) return std::nullopt;
  return Busy{busy_->activity().value_or("a call on this thread")};
}

Failure Camera::given_up(bool closed) {
  return GenicamError(closed ? gige::CameraError::not_connected() : gige::CameraError::ack_timeout());
}

template <typename Work>
auto Camera::claimed(std::string_view activity, Work&& work, const util::InterruptCheck& interrupted)
    -> decltype(features(std::forward<Work>(work))) {
  BusyClaim claim(busy_, activity);
  if (const auto running = claim.refused_by()) return std::unexpected(Busy{*running});
  return features(std::forward<Work>(work), interrupted);
}

Result<void> Camera::connect(const util::InterruptCheck& interrupted) {
  return claimed(
      "a connect",
      [](genicam::Device device) -> GenicamResult<void> {
        if (auto connected = device.driver.connect(); !connected) {
          return std::unexpected(GenicamError(connected.error()));
        }
        return genicam::load_feature_model(device);
      },
      interrupted);
}

Result<void> Camera::reconnect(std::chrono::nanoseconds timeout, const util::InterruptCheck& interrupted) {
  return claimed(
      "a reconnect", [&](genicam::Device device) { return camera::reconnect(device, timeout, interrupted); },
      interrupted);
}

// The calls queued before it give way (camera.hpp), so the deadline bounds
// the disconnect however many were waiting.
Result<void> Camera::disconnect(std::chrono::nanoseconds deadline) {
  BusyClaim claim(busy_, "a disconnect");
  if (const auto running = claim.refused_by()) return std::unexpected(Busy{*running});
  if (auto busy = reentry()) return std::unexpected(*busy);
  closing_.store(true, std::memory_order_release);
  mutex_.wake_waiters();
  util::TimedMutexLock lock(mutex_);
  closing_.store(false, std::memory_order_release);
  driver_.disconnect(deadline);
  return {};
}

Result<bool> Camera::is_connected(const util::InterruptCheck& interrupted) {
  return in_turn([](genicam::Device device) { return device.driver.is_connected(); }, interrupted, Closing::Waits);
}

Result<gige::proto::DeviceInfo> Camera::device_info(const util::InterruptCheck& interrupted) {
  return in_turn(
      [](genicam::Device device) -> GenicamResult<gige::proto::DeviceInfo> {
        if (auto link = device.driver.check_link(); !link) return std::unexpected(GenicamError(link.error()));
        return *device.driver.device_info();
      },
      interrupted, Closing::Waits);
}

Result<std::optional<gige::LinkStats>> Camera::link_stats(const util::InterruptCheck& interrupted) {
  return in_turn([](genicam::Device device) { return device.driver.link_stats(); }, interrupted, Closing::Waits);
}

Result<std::shared_ptr<Acquisition>> Camera::start_acquisition(gige::StreamOptions options,
                                                               const util::InterruptCheck& interrupted) {
  BusyClaim claim(busy_, "an acquisition");
  if (const auto running = claim.refused_by()) return std::unexpected(Busy{*running});
  CORVANTIC_TRY(OpenStream stream, features([&](genicam::Device device) {
                  return camera::start_acquisition(device, std::move(options));
                }, interrupted));
  return std::make_shared<Acquisition>(shared_from_this(), std::move(stream), claim.hand_over());
}

Result<std::shared_ptr<SnapshotSession>> Camera::open_snapshot_session(gige::StreamOptions options,
                                                                       const util::InterruptCheck& interrupted) {
  BusyClaim claim(busy_, "a snapshot session");
  if (const auto running = claim.refused_by()) return std::unexpected(Busy{*running});
  CORVANTIC_TRY(SnapshotStream stream, features([&](genicam::Device device) {
                  return camera::open_snapshot_session(device, std::move(options));
                }, interrupted));
  return std::make_shared<SnapshotSession>(shared_from_this(), std::move(stream), claim.hand_over());
}

Result<genicam::FrameWithChunks> Camera::snap(gige::StreamOptions options, std::chrono::nanoseconds timeout,
                                              const util::InterruptCheck& interrupted) {
  return claimed(
      "a snap",
      [&](genicam::Device device) { return snap_once(device, std::move(options), timeout, interrupted); },
      interrupted);
}

Result<genicam::EventStream> Camera::subscribe_events(std::size_t capacity, const util::InterruptCheck& interrupted) {
  return features([&](genicam::Device device) { return genicam::subscribe_events(device, capacity); }, interrupted);
}

// ---- Acquisition.

Acquisition::Acquisition(std::shared_ptr<Camera> camera, OpenStream stream, std::shared_ptr<BusyMarker> claim)
    : camera_(std::move(camera)), frames_(stream.frames), stream_(std::move(stream)), claim_(std::move(claim)) {}

Acquisition::~Acquisition() {
  std::optional<OpenStream> stream;
  {
    util::MutexLock lock(mutex_);
    stream = std::exchange(stream_, std::nullopt);
  }
  const auto stop = [&](genicam::Device device) { stop_dropped_acquisition(device, std::move(*stream)); };
  if (stream && !camera_->within_release_wait(stop)) abandon_stream(std::move(*stream), ACQUISITION_ABANDONED);
  claim_.release();
}

std::optional<OpenStream> Acquisition::take_for_stop() {
  std::optional<OpenStream> stream = std::exchange(stream_, std::nullopt);
  // Why it ended is settled now, so a control loss after the stop does not
  // rewrite it.
  if (stream) end_ = running_end(*stream).value_or(EndReason::Stopped);
  return stream;
}

// Session lock, then the acquisition's mutex: the stream is taken out (the
// acquisition is stopped from here, whatever follows), the camera stopped,
// and the busy claim released before the session lock.
Result<void> Acquisition::stop() {
  if (auto busy = camera_->reentry()) return std::unexpected(*busy);
  GenicamResult<void> stopped;
  {
    util::TimedMutexLock session_lock(camera_->mutex_);
    {
      util::MutexLock lock(mutex_);
      if (auto stream = take_for_stop()) stopped = stop_acquisition(camera_->device(), std::move(*stream));
    }
    claim_.release();
  }
  return detail::AsResult<GenicamResult<void>>::from(std::move(stopped));
}

bool Acquisition::is_stopped() {
  util::MutexLock lock(mutex_);
  return !stream_;
}

std::optional<EndReason> Acquisition::end_reason() {
  util::MutexLock lock(mutex_);
  return stream_ ? running_end(*stream_) : end_;
}

template <typename Query>
auto Acquisition::running(Query query) -> Result<decltype(query(std::declval<OpenStream&>()))> {
  util::MutexLock lock(mutex_);
  if (!stream_) return std::unexpected(Ended{});
  return query(*stream_);
}

Result<FrameSource> Acquisition::subscribe(std::size_t capacity) {
  return running(
      [&](OpenStream& s) { return FrameSource{s.channel->subscribe(capacity), s.frames.chunk_reader}; });
}
Result<gige::stream::StreamStats> Acquisition::stats() {
  return running([](OpenStream& s) { return s.channel->stats(); });
}
Result<gige::stream::ReorderFigures> Acquisition::reorder() {
  return running([](OpenStream& s) { return s.channel->reorder(); });
}
Result<std::uint64_t> Acquisition::chunk_layout_errors() {
  return running([](OpenStream& s) { return s.channel->chunk_layout_errors(); });
}
Result<std::uint16_t> Acquisition::packet_size() {
  return running([](OpenStream& s) { return s.channel->packet_size(); });
}
Result<net::SocketAddress> Acquisition::local_address() {
  return running([](OpenStream& s) { return s.channel->local_address(); });
}

// ---- SnapshotSession.

SnapshotSession::SnapshotSession(std::shared_ptr<Camera> camera, SnapshotStream stream,
                                 std::shared_ptr<BusyMarker> claim)
    : camera_(std::move(camera)), stream_(std::move(stream)), claim_(std::move(claim)) {}

SnapshotSession::~SnapshotSession() {
  std::optional<SnapshotStream> stream;
  {
    util::MutexLock lock(mutex_);
    stream = std::exchange(stream_, std::nullopt);
  }
  const auto close = [&](genicam::Device device) { close_snapshot_session(device, std::move(*stream)); };
  if (stream && !camera_->within_release_wait(close)) abandon_stream(std::move(stream->stream), SNAPSHOT_ABANDONED);
  claim_.release();
}

Result<genicam::FrameWithChunks> SnapshotSession::snap(std::chrono::nanoseconds timeout,
                                                       const util::InterruptCheck& interrupted) {
  if (auto busy = camera_->reentry()) return std::unexpected(*busy);
  util::TimedMutexLock session_lock(camera_->mutex_);
  util::MutexLock lock(mutex_);
  if (!stream_) return std::unexpected(Ended{});
  return detail::AsResult<GenicamResult<genicam::FrameWithChunks>>::from(
      camera::snap(camera_->device(), *stream_, timeout, interrupted));
}

// Session lock, then the session's mutex.
Result<void> SnapshotSession::close() {
  if (auto busy = camera_->reentry()) return std::unexpected(*busy);
  {
    util::TimedMutexLock session_lock(camera_->mutex_);
    util::MutexLock lock(mutex_);
    if (auto stream = std::exchange(stream_, std::nullopt)) {
      close_snapshot_session(camera_->device(), std::move(*stream));
    }
  }
  claim_.release();
  return {};
}

Result<bool> SnapshotSession::is_closed() {
  if (auto busy = camera_->reentry()) return std::unexpected(*busy);
  util::MutexLock lock(mutex_);
  return !stream_;
}

Result<gige::stream::StreamStats> SnapshotSession::stats() {
  if (auto busy = camera_->reentry()) return std::unexpected(*busy);
  util::MutexLock lock(mutex_);
  if (!stream_) return std::unexpected(Ended{});
  return stream_->stream.channel->stats();
}

Result<std::uint16_t> SnapshotSession::packet_size() {
  if (auto busy = camera_->reentry()) return std::unexpected(*busy);
  util::MutexLock lock(mutex_);
  if (!stream_) return std::unexpected(Ended{});
  return stream_->stream.channel->packet_size();
}

}  // namespace corvantic::camera
