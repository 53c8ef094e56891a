// GvspWorker: the one thread per open stream channel that owns the stream
// socket. It waits only in its poller, receives datagrams in batches, runs
// them through a GvspWorkerLoop, and leaves on the stop message, the stop
// flag or a poll error, closing what is open as Aborted.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "gige/camera_error.hpp"
#include "gige/stream/buffer_pool.hpp"
#include "gige/stream/gvsp_worker_loop.hpp"
#include "gige/stream/registration_queue.hpp"
#include "gige/stream/stream_stats.hpp"
#include "net/udp_socket.hpp"

namespace corvantic::gige::stream {

// The worker thread's name for stream channel `channel`: "corvantic-gvsp0"
// to "corvantic-gvsp9"; from 10 on "corv-gvsp10" ... "corv-gvsp65535", since
// Linux keeps only 15 characters of a thread name.
[[nodiscard]] std::string gvsp_thread_name(std::uint16_t channel);

// The handle of a running worker. Destroying it stops and joins the thread.
class GvspWorker {
 public:
  // Datagrams taken per receive call (recvmmsg). Each slot holds a whole
  // 65535-byte datagram, so nothing is ever cut; 32 slots reserve 2 MiB of
  // address space, of which only the bytes datagrams actually fill are ever
  // touched (one or two pages per slot for 1500-byte packets).
  static constexpr std::size_t RECEIVE_BATCH = 32;

  // Makes `socket` non-blocking, creates the poller and waker and starts
  // the thread `thread_name`. Failures are WorkerSpawn.
  [[nodiscard]] static CameraResult<std::unique_ptr<GvspWorker>> start(
      const std::string& thread_name, net::UdpSocket socket, const GvspWorkerSettings& settings,
      std::shared_ptr<BufferPool> pool, std::shared_ptr<SharedStreamStats> stats);
  ~GvspWorker();
  GvspWorker(const GvspWorker&) = delete;
  GvspWorker& operator=(const GvspWorker&) = delete;

  // Where subscriptions and the stop message go; sends wake the worker.
  [[nodiscard]] const std::shared_ptr<RegistrationQueue>& registrations() const { return registrations_; }
  // Sets the stop flag and wakes the worker.
  void request_stop();
  // Requests the stop and waits for the thread to end. The worker closes
  // its open frames as Aborted and publishes its last counters first.
  void join();
  // True until the worker has left its loop and shut down.
  [[nodiscard]] bool running() const { return running_->load(); }

 private:
  GvspWorker() = default;

  std::shared_ptr<RegistrationQueue> registrations_;
  std::shared_ptr<std::atomic<bool>> stop_;
  std::shared_ptr<std::atomic<bool>> running_;
  std::jthread thread_;
};

}  // namespace corvantic::gige::stream
