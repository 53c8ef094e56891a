// StreamStats: the stream channel's counters. The worker keeps its own copy
// and publishes it whole; readers copy out one consistent publication.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string_view>

#include "util/mutex.hpp"

namespace corvantic::gige::stream {

// Every counter starts at zero when the channel opens and only increases.
struct StreamStats {
  std::uint64_t packets = 0;               // datagrams accepted from the device's IP
  std::uint64_t bytes = 0;                 // their UDP payload lengths
  std::uint64_t completed_frames = 0;      // frames closed Complete
  std::uint64_t failed_frames = 0;         // closed MissingPackets, Timeout or WrongPacketId
  std::uint64_t timed_out_frames = 0;      // closed Timeout
  std::uint64_t aborted_frames = 0;        // closed Aborted
  std::uint64_t missing_frames = 0;        // block ids skipped between opened frames
  std::uint64_t underruns = 0;             // frames lost because no buffer was free
  std::uint64_t missing_packets = 0;       // per failed frame, packets after its contiguous prefix
  std::uint64_t resend_requests = 0;       // packets named in resend requests
  std::uint64_t resent_packets = 0;        // requested packets that then arrived
  std::uint64_t resend_ratio_reached = 0;  // frames whose resend budget was exceeded
  std::uint64_t resend_disabled = 0;       // packets whose status made resend impossible
  std::uint64_t duplicated_packets = 0;    // packets that had already arrived
  std::uint64_t error_packets = 0;         // packets with an error status
  std::uint64_t ignored_packets = 0;       // too short, late, of unopened frames, or of no known format
  std::uint64_t unsupported_frames = 0;    // frames not opened for their format, payload type or size
  std::uint64_t size_mismatch_errors = 0;  // data packets (not the last) running past the buffer's end
  std::uint64_t frames_dropped = 0;        // deliveries refused because a subscription was full

  bool operator==(const StreamStats&) const = default;
};

struct StreamCounter {
  std::string_view name;
  std::uint64_t StreamStats::*member;
};

// Every counter with its name, in the record's order; the binding layer
// builds its properties from this table.
inline constexpr std::array<StreamCounter, 19> STREAM_COUNTERS = {{
    {"packets", &StreamStats::packets},
    {"bytes", &StreamStats::bytes},
    {"completed_frames", &StreamStats::completed_frames},
    {"failed_frames", &StreamStats::failed_frames},
    {"timed_out_frames", &StreamStats::timed_out_frames},
    {"aborted_frames", &StreamStats::aborted_frames},
    {"missing_frames", &StreamStats::missing_frames},
    {"underruns", &StreamStats::underruns},
    {"missing_packets", &StreamStats::missing_packets},
    {"resend_requests", &StreamStats::resend_requests},
    {"resent_packets", &StreamStats::resent_packets},
    {"resend_ratio_reached", &StreamStats::resend_ratio_reached},
    {"resend_disabled", &StreamStats::resend_disabled},
    {"duplicated_packets", &StreamStats::duplicated_packets},
    {"error_packets", &StreamStats::error_packets},
    {"ignored_packets", &StreamStats::ignored_packets},
    {"unsupported_frames", &StreamStats::unsupported_frames},
    {"size_mismatch_errors", &StreamStats::size_mismatch_errors},
    {"frames_dropped", &StreamStats::frames_dropped},
}};
static_assert(sizeof(StreamStats) == STREAM_COUNTERS.size() * sizeof(std::uint64_t),
              "every StreamStats counter is listed in STREAM_COUNTERS");

// How the stream worker sizes its wait for packets out of order, beside the
// counters: the wait it uses now, and how many resend requests turned out
// to be for packets that were only late (both the packet and its resent
// copy arrived).
struct ReorderFigures {
  std::chrono::nanoseconds window{};
  std::uint64_t spurious_requests = 0;
  bool operator==(const ReorderFigures&) const = default;
};

// The channel's published record: written only by the stream worker, read
// by any thread. Each call holds the mutex for one whole-record copy.
class SharedStreamStats {
 public:
  void publish(const StreamStats& stats, const ReorderFigures& reorder = {},
               std::uint64_t chunk_layout_errors = 0) EXCLUDES(mutex_) {
    util::MutexLock lock(mutex_);
    stats_ = stats;
    reorder_ = reorder;
    chunk_layout_errors_ = chunk_layout_errors;
  }
  [[nodiscard]] StreamStats snapshot() const EXCLUDES(mutex_) {
    util::MutexLock lock(mutex_);
    return stats_;
  }
  [[nodiscard]] ReorderFigures reorder() const EXCLUDES(mutex_) {
    util::MutexLock lock(mutex_);
    return reorder_;
  }
  // Frames failed for a chunk layout that did not parse (beside the
  // counters: GvspWorkerLoop::chunk_layout_errors).
  [[nodiscard]] std::uint64_t chunk_layout_errors() const EXCLUDES(mutex_) {
    util::MutexLock lock(mutex_);
    return chunk_layout_errors_;
  }

 private:
  mutable util::Mutex mutex_;
  StreamStats stats_ GUARDED_BY(mutex_);
  ReorderFigures reorder_ GUARDED_BY(mutex_);
  std::uint64_t chunk_layout_errors_ GUARDED_BY(mutex_) = 0;
};

}  // namespace corvantic::gige::stream
