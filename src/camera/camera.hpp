// Camera: one device, safe to share between threads and between the objects
// made from it. It owns the driver (the session with the device), what is
// loaded for the connection (the description and its feature model), the
// session lock that serialises every use of the device, and the busy marker
// that names the one long operation occupying it. Acquisition and
// SnapshotSession keep the camera alive, own their stream, and stop, close
// or release it.
//
// Lock order: busy marker (briefly, to claim) -> session lock -> an
// acquisition's or session's own mutex -> its held claim's mutex -> busy
// marker (briefly, to clear). The watch mutex, an event channel's and the
// snap canceller's (snap_cancel.hpp) are taken alone or last, each for a
// moment.
//
// No thread ever takes the session lock twice. A long operation (a snap, a
// reconnect) holds it while it waits, and asks its `interrupted` check
// between the slices of the wait; that check may run code (a signal handler)
// that calls the same camera on the same thread. Every call that would take
// the lock is then refused at once with Busy, naming the operation, instead
// of waiting for its own thread forever.
//
// The session lock hands turns in arrival order (util::TimedMutex), so a
// call waits only for the calls queued before it. A disconnect jumps no
// queue: it marks the session closing, the device calls queued before it
// give up their turns and the one in flight its wait for the device, each
// failing with NotConnected, and it takes its turn after them. A caller's
// `interrupted` check is asked, like the signal check of a long wait, while
// the call waits for its turn and between the slices of its waits for the
// device.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "camera/acquisition.hpp"
#include "camera/busy.hpp"
#include "camera/event_channel.hpp"
#include "camera/result.hpp"
#include "camera/snap_cancel.hpp"
#include "genicam/events.hpp"
#include "genicam/features.hpp"
#include "gige/gige_driver.hpp"
#include "util/interrupt.hpp"
#include "util/mutex.hpp"

namespace corvantic::camera {

class Acquisition;
class SnapshotSession;

// How long the release of an acquisition or session that nobody stopped or
// closed waits for a session lock that another thread holds.
inline constexpr std::chrono::milliseconds RELEASE_LOCK_WAIT{200};

namespace detail {
// A feature operation's result as a Result: a GenicamResult's error becomes
// the failure, and any other value is returned as it is.
template <typename T>
struct AsResult {
  using type = T;
  static Result<T> from(T value) { return value; }
};
template <typename T>
struct AsResult<GenicamResult<T>> {
  using type = T;
  static Result<T> from(GenicamResult<T> result) {
    if (!result) return std::unexpected(Failure{std::move(result).error()});
    if constexpr (std::is_void_v<T>) {
      return {};
    } else {
      return std::move(*result);
    }
  }
};
}  // namespace detail

class Camera : public std::enable_shared_from_this<Camera> {
 public:
  [[nodiscard]] static std::shared_ptr<Camera> create(gige::DriverConfig config);
  // Releases a live connection (control released) as the driver does, and
  // ends its event channels as a disconnect does.
  ~Camera();
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  // The device's address, as given at creation.
  [[nodiscard]] const net::SocketAddress& address() const { return address_; }

  // Connects and loads the feature model under one hold of the lock.
  // `interrupted`, when set, is asked between 100 ms slices of every wait;
  // when it says so the connect ends as a timed-out one would.
  [[nodiscard]] Result<void> connect(const util::InterruptCheck& interrupted = {}) EXCLUDES(mutex_);
  // Connects again after control was lost (camera/reconnect.hpp). Connect
  // and reconnect carry the open event channels over to the new connection.
  [[nodiscard]] Result<void> reconnect(std::chrono::nanoseconds timeout, const util::InterruptCheck& interrupted)
      EXCLUDES(mutex_);
  [[nodiscard]] Result<void> disconnect(std::chrono::nanoseconds deadline) EXCLUDES(mutex_);
  [[nodiscard]] Result<bool> is_connected(const util::InterruptCheck& interrupted = {}) EXCLUDES(mutex_);
  // What is_connected() says, without the session lock: for the
  // representation, which may be asked from a signal handler inside the
  // camera's own snap on the thread that holds the lock.
  [[nodiscard]] bool connected_now() const EXCLUDES(watch_mutex_);
  [[nodiscard]] Result<gige::proto::DeviceInfo> device_info(const util::InterruptCheck& interrupted = {})
      EXCLUDES(mutex_);
  [[nodiscard]] Result<std::optional<gige::LinkStats>> link_stats(const util::InterruptCheck& interrupted = {})
      EXCLUDES(mutex_);

  // Runs `operation` (a call of a feature function, genicam/features.hpp,
  // on the device it is given) in this thread's turn of the session lock.
  // It gives way to a disconnect (NotConnected). When `interrupted` says
  // stop, the turn is given up or the device's answer no longer waited for,
  // and the call fails as a timed-out one would (AckTimeout, or what the
  // operation makes of it).
  template <typename Operation>
  [[nodiscard]] auto features(Operation&& operation, const util::InterruptCheck& interrupted = {})
      -> Result<typename detail::AsResult<std::invoke_result_t<Operation, genicam::Device>>::type> {
    return in_turn(std::forward<Operation>(operation), interrupted, Closing::GivesWay);
  }

  // A running continuous acquisition, which occupies the camera ("an
  // acquisition") until it is stopped or released.
  [[nodiscard]] Result<std::shared_ptr<Acquisition>> start_acquisition(
      gige::StreamOptions options, const util::InterruptCheck& interrupted = {}) EXCLUDES(mutex_);
  // An open snapshot session, which occupies the camera ("a snapshot
  // session") until it is closed or released.
  [[nodiscard]] Result<std::shared_ptr<SnapshotSession>> open_snapshot_session(
      gige::StreamOptions options, const util::InterruptCheck& interrupted = {}) EXCLUDES(mutex_);
  // One frame through a snapshot session opened and closed for it.
  [[nodiscard]] Result<genicam::FrameWithChunks> snap(gige::StreamOptions options,
                                                      std::chrono::nanoseconds timeout,
                                                      const util::InterruptCheck& interrupted)
      EXCLUDES(mutex_);
  // Ends the snap in flight on this camera, its own or a snapshot session's,
  // from any thread and without waiting for the session lock that snap
  // holds: within a slice of its wait it stops the camera and fails with
  // the snap-cancelled error (a frame that arrived first is still
  // returned). True when a snap was in flight; false, with nothing done,
  // when none was.
  bool cancel_snap() { return snaps_.cancel(); }
  // A subscription to the device's events (genicam/events.hpp), which lasts
  // until it is closed or the camera disconnects.
  [[nodiscard]] Result<std::shared_ptr<EventChannel>> subscribe_events(std::size_t capacity,
                                                                       const util::InterruptCheck& interrupted = {})
      EXCLUDES(mutex_);

  // Busy when the calling thread holds the session lock already, naming the
  // long operation it is inside; nothing otherwise.
  [[nodiscard]] std::optional<Busy> reentry() const;

 private:
  friend class Acquisition;
  friend class SnapshotSession;

  explicit Camera(gige::DriverConfig config);

  // Whether a call gives way to a disconnect: the device calls do; the
  // session's own queries (is_connected, link_stats...) wait their turn.
  enum class Closing { GivesWay, Waits };

  // Runs `operation(device())` in this thread's turn, as features() says.
  template <typename Operation>
  [[nodiscard]] auto in_turn(Operation&& operation, const util::InterruptCheck& interrupted, Closing closing)
      -> Result<typename detail::AsResult<std::invoke_result_t<Operation, genicam::Device>>::type> {
    using Converted = detail::AsResult<std::invoke_result_t<Operation, genicam::Device>>;
    if (auto busy = reentry()) return std::unexpected(*busy);
    // Runs on this thread only, while it waits; stays true once it said so.
    bool closed = false;
    bool stopped = false;
    const util::InterruptCheck stop = [&] {
      closed = closed || (closing == Closing::GivesWay && closing_.load(std::memory_order_acquire));
      stopped = stopped || (!closed && interrupted && interrupted());
      return closed || stopped;
    };
    if (!mutex_.lock_unless(stop)) return std::unexpected(given_up(closed));
    util::TimedMutexLock lock(mutex_, std::adopt_lock);
    const gige::GigeDriver::Interruption interruption(driver_, stop);
    auto result = Converted::from(operation(device()));
    if (!result && closed) return std::unexpected(given_up(closed));
    return result;
  }
  // Why a call gave up its turn or its wait: NotConnected for a disconnect,
  // as a timed-out call for the caller's check.
  [[nodiscard]] static Failure given_up(bool closed);

  [[nodiscard]] genicam::Device device() REQUIRES(mutex_) { return {driver_, description_}; }
  // Follows the connection `driver` holds now (after each connect,
  // reconnect and disconnect), for connected_now().
  void watch(const gige::GigeDriver& driver) EXCLUDES(watch_mutex_);
  // Runs `connect` (a connect or reconnect of the driver), then carries the
  // open event channels over to the connection it made. Their queues are
  // held open meanwhile, so that readers wait on instead of seeing the old
  // connection's end.
  template <typename Connect>
  [[nodiscard]] GenicamResult<void> carrying_event_channels(genicam::Device device, Connect&& connect)
      REQUIRES(mutex_);
  // The camera disconnected: its event channels end.
  void end_event_channels() REQUIRES(mutex_);
  // The release of an acquisition or session that nobody stopped or closed:
  // runs `finish(device())` (its stop or close sequence) if the session lock
  // comes within RELEASE_LOCK_WAIT; false, with nothing run, if not.
  template <typename Finish>
  [[nodiscard]] bool within_release_wait(Finish&& finish) EXCLUDES(mutex_) {
    if (!mutex_.try_lock_for(RELEASE_LOCK_WAIT)) return false;
    util::TimedMutexLock lock(mutex_, std::adopt_lock);
    finish(device());
    return true;
  }
  // Claims the busy marker for `activity` and runs `work(device())` under
  // the session lock, unless the camera is busy or this thread holds it.
  template <typename Work>
  [[nodiscard]] auto claimed(std::string_view activity, Work&& work, const util::InterruptCheck& interrupted)
      -> decltype(features(std::forward<Work>(work)));

  const net::SocketAddress address_;
  const std::shared_ptr<BusyMarker> busy_ = std::make_shared<BusyMarker>();
  SnapCancel snaps_;
  mutable util::TimedMutex mutex_;
  // Set by a disconnect from before it queues until its turn comes.
  std::atomic<bool> closing_{false};
  gige::GigeDriver driver_ GUARDED_BY(mutex_);
  genicam::DeviceDescription description_ GUARDED_BY(mutex_);
  // The event channels made since the last disconnect; closed and released
  // ones are let go at the next subscription.
  std::vector<std::weak_ptr<EventChannel>> event_channels_ GUARDED_BY(mutex_);
  mutable util::Mutex watch_mutex_;
  // The running flag of the driver's connection; null without one.
  std::shared_ptr<const std::atomic<bool>> running_ GUARDED_BY(watch_mutex_);
};

// A running continuous acquisition. Its frames stay readable after it
// stopped; dropping it unstopped stops it (camera/acquisition.hpp).
class Acquisition {
 public:
  Acquisition(std::shared_ptr<Camera> camera, OpenStream stream, std::shared_ptr<BusyMarker> claim);
  // The release of an acquisition nobody stopped: the stop sequence runs if
  // the session lock comes within RELEASE_LOCK_WAIT; otherwise only the
  // stream worker stops, with a warning. The busy claim is released either
  // way.
  ~Acquisition();
  Acquisition(const Acquisition&) = delete;
  Acquisition& operator=(const Acquisition&) = delete;

  // The built-in subscription, made before the camera started.
  [[nodiscard]] const FrameSource& frames() const { return frames_; }

  // Stops the camera, unlocks the transport parameters and closes the
  // stream; the first call's AcquisitionStop result, success afterwards.
  [[nodiscard]] Result<void> stop() EXCLUDES(mutex_);
  [[nodiscard]] bool is_stopped() EXCLUDES(mutex_);
  // Why it ended; nothing while it runs.
  [[nodiscard]] std::optional<EndReason> end_reason() EXCLUDES(mutex_);

  // Ended once stopped.
  [[nodiscard]] Result<FrameSource> subscribe(std::size_t capacity) EXCLUDES(mutex_);
  [[nodiscard]] Result<gige::stream::StreamStats> stats() EXCLUDES(mutex_);
  [[nodiscard]] Result<gige::stream::ReorderFigures> reorder() EXCLUDES(mutex_);
  [[nodiscard]] Result<std::uint64_t> chunk_layout_errors() EXCLUDES(mutex_);
  [[nodiscard]] Result<std::uint16_t> packet_size() EXCLUDES(mutex_);
  [[nodiscard]] Result<net::SocketAddress> local_address() EXCLUDES(mutex_);

 private:
  template <typename Query>
  [[nodiscard]] auto running(Query query) -> Result<decltype(query(std::declval<OpenStream&>()))>;
  [[nodiscard]] std::optional<OpenStream> take_for_stop() REQUIRES(mutex_);

  const std::shared_ptr<Camera> camera_;
  const FrameSource frames_;
  util::Mutex mutex_;
  std::optional<OpenStream> stream_ GUARDED_BY(mutex_);  // none once stopped
  std::optional<EndReason> end_ GUARDED_BY(mutex_);       // set by the stop
  HeldBusyClaim claim_;
};

// An open stream channel for on-demand single frames; the camera streams
// only while one of its snaps is in flight. Every call is refused (Busy) on
// a thread inside this session's own snap.
class SnapshotSession {
 public:
  SnapshotSession(std::shared_ptr<Camera> camera, SnapshotStream stream, std::shared_ptr<BusyMarker> claim);
  // The release of a session nobody closed, as for Acquisition.
  ~SnapshotSession();
  SnapshotSession(const SnapshotSession&) = delete;
  SnapshotSession& operator=(const SnapshotSession&) = delete;

  // Ended once closed. `interrupted` is asked between the slices of the wait.
  [[nodiscard]] Result<genicam::FrameWithChunks> snap(std::chrono::nanoseconds timeout,
                                                      const util::InterruptCheck& interrupted)
      EXCLUDES(mutex_);
  // Restores the camera's acquisition mode, unlocks the transport
  // parameters and closes the stream; later calls do nothing.
  [[nodiscard]] Result<void> close() EXCLUDES(mutex_);
  [[nodiscard]] Result<bool> is_closed() EXCLUDES(mutex_);
  [[nodiscard]] Result<gige::stream::StreamStats> stats() EXCLUDES(mutex_);
  [[nodiscard]] Result<std::uint16_t> packet_size() EXCLUDES(mutex_);

 private:
  const std::shared_ptr<Camera> camera_;
  util::Mutex mutex_;
  std::optional<SnapshotStream> stream_ GUARDED_BY(mutex_);  // none once closed
  HeldBusyClaim claim_;
};

}  // namespace corvantic::camera
