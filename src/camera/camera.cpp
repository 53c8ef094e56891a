#include "camera/camera.hpp"

#include "camera/reconnect.hpp"
#include "util/log.hpp"
#include "util/try.hpp"

namespace corvantic::camera {
// ---- Camera.

std::shared_ptr<Camera> Camera::create(gige::DriverConfig config) {
  return std::shared_ptr<Camera>(new Camera(std::move(config)));
}

Camera::Camera(gige::DriverConfig config) : address_(config.device), driver_(std::move(config)) {}

Camera::~Camera() { end_event_channels(); }

namespace {

// The operation whose wait a call refused on its own thread came from: the
// only waits that hold the session lock and run the caller's interruption
// check (signal handlers) are those of the connect, the reconnect and the
// snaps (a camera's, a snapshot session's).
std::string_view waiting_operation(std::optional<std::string_view> activity) {
  if (activity == "a connect") return "connect";
  if (activity == "a reconnect") return "reconnect";
  return "snap";
}

}  // namespace

std::optional<Busy> Camera::reentry() const {
  if (!mutex_.held_by_this_thread()) return std::nullopt;
  const std::optional<std::string_view> activity = busy_->activity();
  return Busy{activity.value_or("a call on this thread"), waiting_operation(activity)};
}

Failure Camera::given_up(bool closed) {
  return GenicamError(closed ? gige::CameraError::not_connected() : gige::CameraError::ack_timeout());
}

template <typename Work>
auto Camera::claimed(std::string_view activity, Work&& work, const util::InterruptCheck& interrupted)
    -> decltype(features(std::forward<Work>(work))) {
  if (auto busy = reentry()) return std::unexpected(*busy);
  BusyClaim claim(busy_, activity);
  if (const auto running = claim.refused_by()) return std::unexpected(Busy{*running});
  return features(std::forward<Work>(work), interrupted);
}
template <typename Connect>
GenicamResult<void> Camera::carrying_event_channels(genicam::Device device, Connect&& connect) {
  struct Held {
    std::shared_ptr<EventChannel> channel;
    gige::EventReceiver events;
    gige::EventSender holder;
  };
  std::vector<Held> held;
  for (const auto& weak : event_channels_) {
    std::shared_ptr<EventChannel> channel = weak.lock();
    if (!channel) continue;
    if (std::optional<gige::EventReceiver> events = channel->to_carry_over()) {
      gige::EventSender holder = gige::another_sender(*events);
      held.push_back({std::move(channel), std::move(*events), std::move(holder)});
    }
  }
  GenicamResult<void> connected = connect(device);
  watch(device.driver);
  if (!device.driver.is_connected()) return connected;
  for (const Held& h : held) {
    if (auto resumed = device.driver.resume_events(h.events); !resumed) {
      CORVANTIC_LOG(util::log::Level::Warn, util::log::target::GIGE,
                    "event channel not carried over: " + resumed.error().display());
      continue;
    }
    h.channel->carried_over(device.driver.shared_link_stats());
  }
  return connected;
}

void Camera::end_event_channels() {
  for (const auto& weak : event_channels_) {
    if (std::shared_ptr<EventChannel> channel = weak.lock()) channel->disconnected();
  }
  event_channels_.clear();
}

Result<void> Camera::connect(const util::InterruptCheck& interrupted) {
  return claimed(
      "a connect",
      [&](genicam::Device device) REQUIRES(mutex_) {
        return carrying_event_channels(device, [&](genicam::Device d) -> GenicamResult<void> {
          if (auto connected = d.driver.connect(interrupted); !connected) {
            return std::unexpected(GenicamError(connected.error()));
          }
          return genicam::load_feature_model(d, interrupted);
        });
      },
      interrupted);
}

Result<void> Camera::reconnect(std::chrono::nanoseconds timeout, const util::InterruptCheck& interrupted) {
  return claimed(
      "a reconnect",
      [&](genicam::Device device) REQUIRES(mutex_) {
        return carrying_event_channels(
            device, [&](genicam::Device d) { return camera::reconnect(d, timeout, interrupted); });
      },
      interrupted);
}

// The calls queued before it give way (camera.hpp), so the deadline bounds
// the disconnect however many were waiting.
Result<void> Camera::disconnect(std::chrono::nanoseconds deadline) {
  if (auto busy = reentry()) return std::unexpected(*busy);
  BusyClaim claim(busy_, "a disconnect");
  if (const auto running = claim.refused_by()) return std::unexpected(Busy{*running});
  closing_.store(true, std::memory_order_release);
  mutex_.wake_waiters();
  util::TimedMutexLock lock(mutex_);
  closing_.store(false, std::memory_order_release);
  driver_.disconnect(deadline);
  watch(driver_);
  end_event_channels();
  return {};
}

Result<bool> Camera::is_connected(const util::InterruptCheck& interrupted) {
  return in_turn([](genicam::Device device) { return device.driver.is_connected(); }, interrupted, Closing::Waits);
}

bool Camera::connected_now() const {
  util::MutexLock lock(watch_mutex_);
  return running_ && running_->load();
}

void Camera::watch(const gige::GigeDriver& driver) {
  std::shared_ptr<const std::atomic<bool>> running = driver.running_flag();
  util::MutexLock lock(watch_mutex_);
  running_.swap(running);
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
  if (auto busy = reentry()) return std::unexpected(*busy);
  BusyClaim claim(busy_, "an acquisition");
  if (const auto running = claim.refused_by()) return std::unexpected(Busy{*running});
  CORVANTIC_TRY(OpenStream stream, features([&](genicam::Device device) {
                  return camera::start_acquisition(device, std::move(options));
                }, interrupted));
  return std::make_shared<Acquisition>(shared_from_this(), std::move(stream), claim.hand_over());
}

Result<std::shared_ptr<SnapshotSession>> Camera::open_snapshot_session(gige::StreamOptions options,
                                                                       const util::InterruptCheck& interrupted) {
  if (auto busy = reentry()) return std::unexpected(*busy);
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
      [&](genicam::Device device) {
        return snaps_.run(interrupted, [&](const util::InterruptCheck& check) {
          return snap_once(device, std::move(options), timeout, check);
        });
      },
      interrupted);
}

Result<std::shared_ptr<EventChannel>> Camera::subscribe_events(std::size_t capacity,
                                                               const util::InterruptCheck& interrupted) {
  return features(
      [&](genicam::Device device) REQUIRES(mutex_) -> GenicamResult<std::shared_ptr<EventChannel>> {
        CORVANTIC_TRY(genicam::EventStream stream, genicam::subscribe_events(device, capacity));
        auto channel = std::make_shared<EventChannel>(std::move(stream), device.driver.shared_link_stats());
        std::erase_if(event_channels_, [](const std::weak_ptr<EventChannel>& weak) {
          const std::shared_ptr<EventChannel> kept = weak.lock();
          return !kept || kept->is_closed();
        });
        event_channels_.push_back(channel);
        return channel;
      },
      interrupted);
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
  return running([&](OpenStream& s) {
    return FrameSource{s.channel->subscribe(capacity), s.frames.chunk_reader, s.frames.link};
  });
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
  const genicam::Device device = camera_->device();
  SnapshotStream& session = *stream_;
  return detail::AsResult<GenicamResult<genicam::FrameWithChunks>>::from(
      camera_->snaps_.run(interrupted, [&](const util::InterruptCheck& check) {
        return camera::snap(device, session, timeout, check);
      }));
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
