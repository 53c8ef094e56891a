#include "gige/stream/gvsp_worker_loop.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "util/log.hpp"

namespace corvantic::gige::stream {
namespace {

using util::log::field;
using util::log::Level;
constexpr std::string_view TARGET = util::log::target::STREAM_RUNNER;

// How far block `block` lies after `last`, modulo the id space (16 bits in
// the standard form, 64 in the extended form) and read as signed, so that a
// late packet is late at every point of the cycle. Block id 0 is never sent,
// so a step across the wrap passes over it and counts one less: 1 after
// 65535 is a distance of 1, and 65535 after 1 is -1.
std::int64_t block_distance(std::uint64_t block, std::uint64_t last, bool extended) {
  const std::uint64_t mask = extended ? ~std::uint64_t{0} : 0xFFFF;
  block &= mask;
  last &= mask;
  std::int64_t d = extended ? std::bit_cast<std::int64_t>(block - last)
                            : static_cast<std::int16_t>(static_cast<std::uint16_t>(block - last));
  if (d > 0 && block < last) d -= 1;
  if (d < 0 && block > last) d += 1;
  return d;
}

// The packet formats a frame is assembled from.
bool assembled_format(std::uint8_t format) {
  return format == proto::GVSP_FORMAT_LEADER || format == proto::GVSP_FORMAT_TRAILER ||
         format == proto::GVSP_FORMAT_DATA || format == proto::GVSP_FORMAT_ALL_IN;
}

// ⌊expected × ratio⌋, 0 for a negative or undefined product, saturating.
std::uint64_t resend_budget(std::uint64_t expected, double ratio) {
  const double budget = std::floor(static_cast<double>(expected) * ratio);
  if (!(budget > 0)) return 0;
  if (budget >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(budget);
}

}  // namespace

std::uint64_t GvspWorkerLoop::system_time_ns() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count());
}

GvspWorkerLoop::GvspWorkerLoop(const GvspWorkerSettings& settings, std::shared_ptr<BufferPool> pool,
                               std::shared_ptr<SharedStreamStats> stats,
                               std::shared_ptr<RegistrationQueue> registrations,
                               std::unique_ptr<ResendSender> resend_sender, WallClock wall_clock)
    : settings_(settings),
      pool_(std::move(pool)),
      shared_stats_(std::move(stats)),
      registrations_(std::move(registrations)),
      resend_sender_(std::move(resend_sender)),
      wall_clock_(std::move(wall_clock)),
      reorder_window_(settings.timings.reorder_delay) {
  // Open frames are bounded by the buffers: the table never outgrows this.
  frames_.reserve(std::max<std::size_t>(4, pool_->n_buffers()));
}

// ---- Datagrams

void GvspWorkerLoop::handle_datagram(const net::SocketAddress& source, std::span<const std::uint8_t> bytes,
                                     Clock::time_point now) {
  if (!source.same_ip(settings_.device)) return;
  const auto header = proto::parse_header(bytes);
  if (!header) {
    stats_.packets += 1;
    stats_.bytes += bytes.size();
    stats_.ignored_packets += 1;
    return;
  }
  handle_received(*header, bytes.size(), now);
}

void GvspWorkerLoop::handle_received(const proto::GvspHeader& header, std::size_t datagram_size,
                                     Clock::time_point now) {
  stats_.packets += 1;
  stats_.bytes += datagram_size;
  if (first_packet_) {
    first_packet_ = false;
    last_block_ = header.block_id - 1;
  }
  FrameSlot* slot = find_slot(header.block_id);
  if (slot != nullptr) {
    slot->last_packet_time = now;
  } else {
    slot = open_slot(header, now);
    if (slot == nullptr) return;
  }
  if (header.is_error()) {
    error_status(*slot, header);
  } else {
    process_packet(*slot, header, now);
  }
}

std::size_t GvspWorkerLoop::predict(std::span<PacketTarget> targets) {
  if (frames_.empty()) return 0;
  FrameSlot& slot = frames_.back();
  if (slot.status || !slot.first_data_seen || slot.bytes_per_packet == 0) return 0;
  const std::span<std::uint8_t> data = slot.buffer->data();
  const std::vector<PacketState>& packets = slot.buffer->packets();
  std::size_t count = 0;
  // Only the next targets.size() ids are looked at, so a frame whose later
  // packets came early costs no long search.
  const std::uint64_t end = std::min(slot.next_data + targets.size(), slot.expected < 2 ? 0 : slot.expected - 1);
  for (std::uint64_t p = slot.next_data; p < end; ++p) {
    if (packets[static_cast<std::size_t>(p)].received) continue;
    const std::uint64_t offset = (p - 1) * slot.bytes_per_packet;
    if (offset >= data.size()) break;
    const std::size_t length = std::min<std::size_t>(slot.bytes_per_packet, data.size() - offset);
    targets[count++] = {slot.block_id, static_cast<std::uint32_t>(p), slot.extended,
                        data.subspan(static_cast<std::size_t>(offset), length)};
  }
  return count;
}

GvspWorkerLoop::FrameSlot* GvspWorkerLoop::find_slot(std::uint64_t block_id) {
  for (FrameSlot& slot : frames_) {
    if (slot.block_id == block_id) return &slot;
  }
  return nullptr;
}

GvspWorkerLoop::FrameSlot* GvspWorkerLoop::open_slot(const proto::GvspHeader& header, Clock::time_point now) {
  const std::int64_t d = block_distance(header.block_id, last_block_, header.extended);
  if (d >= -99 && d <= 0) {
    CORVANTIC_LOG(Level::Trace, TARGET, "discarding late frame", field("frame_id", header.block_id),
                  field("last", last_block_));
    stats_.ignored_packets += 1;
    note_late_copy(header);
    return nullptr;
  }
  const auto expected =
      proto::expected_packet_count(header, header.payload, settings_.packet_size, settings_.payload_size);
  if (!expected) {
    stats_.ignored_packets += 1;
    stats_.unsupported_frames += 1;
    last_block_ = header.block_id;
    return nullptr;
  }
  auto buffer = pool_->take();
  if (!buffer) {
    stats_.underruns += 1;
    last_block_ = header.block_id;
    return nullptr;
  }
  (*buffer)->reset_packets(*expected);
  if (d > 1) {
    stats_.missing_frames += static_cast<std::uint64_t>(d - 1);
    CORVANTIC_LOG(Level::Trace, TARGET, "frame ids skipped", field("skipped", d - 1), field("after", last_block_));
  }
  last_block_ = header.block_id;
  frames_opened_ += 1;
  FrameSlot& slot = frames_.emplace_back();
  slot.buffer = std::move(*buffer);
  slot.block_id = header.block_id;
  slot.extended = header.extended;
  slot.expected = *expected;
  slot.bytes_per_packet = proto::planned_bytes_per_packet(settings_.packet_size, header.extended).value_or(0);
  slot.opened_at = now;
  slot.last_packet_time = now;
  return &slot;
}

void GvspWorkerLoop::error_status(FrameSlot& slot, const proto::GvspHeader& header) {
  if (proto::resend_impossible(header.status)) {
    slot.resend_impossible = true;
    stats_.resend_disabled += 1;
  }
  stats_.error_packets += 1;
}

void GvspWorkerLoop::process_packet(FrameSlot& slot, const proto::GvspHeader& header, Clock::time_point now) {
  const std::uint64_t p = header.packet_id;
  const std::uint64_t block_id = slot.block_id;
  if (!assembled_format(header.format)) {
    // Nothing of it is placed, so its id stays missing: a frame never
    // completes with a hole where such a packet stood in for a data packet.
    stats_.ignored_packets += 1;
    resend_scan(slot, p, now);
    sweep(now, block_id);
    return;
  }
  std::vector<PacketState>& packets = slot.buffer->packets();
  if (p < slot.expected) {
    PacketState& state = packets[p];
    if (state.received) {
      stats_.duplicated_packets += 1;
      if (state.resend_requested && !state.requested_again) {
        // Both the original and the resent copy came: the request was
        // needless, and its share of the budget goes back to the frame.
        spurious_requests_ += 1;
        slot.requested_total -= std::min<std::uint64_t>(slot.requested_total, 1);
        grow_reorder_window(slot.showed_lateness);
      }
      return;
    }
    if (state.resend_requested) {
      stats_.resent_packets += 1;
    } else if (state.eligible_at < now) {
      grow_reorder_window(slot.showed_lateness);  // arrived by itself after its wait ran out
    }
    state.received = true;
  }
  while (static_cast<std::uint64_t>(slot.contig + 1) < slot.expected &&
         packets[static_cast<std::size_t>(slot.contig + 1)].received) {
    slot.contig += 1;
  }

  switch (header.format) {
    case proto::GVSP_FORMAT_LEADER:
      if (slot.status) break;
      if (p == 0) {
        slot.system_timestamp_ns = wall_clock_();
        slot.leader = proto::parse_leader(header.payload);
      } else {
        slot.status = FrameStatus::WrongPacketId;
      }
      break;
    case proto::GVSP_FORMAT_TRAILER:
      slot.trailer_seen = true;
      if (slot.status) break;
      if (p > slot.expected - 1) {
        slot.status = FrameStatus::WrongPacketId;
      } else {
        set_expected(slot, p + 1);
        slot.chunk_data_length = proto::trailer_chunk_data_length(header.payload);
      }
      break;
    case proto::GVSP_FORMAT_DATA:
      if (!slot.status) place_data(slot, header);
      break;
    case proto::GVSP_FORMAT_ALL_IN:
      // Its payload is not assembled: the frame closes failed, not as a
      // Complete frame without data.
      stats_.ignored_packets += 1;
      if (!slot.status) {
        slot.status = FrameStatus::PayloadUnsupported;
        stats_.unsupported_frames += 1;
      }
      break;
    default:
      break;
  }

  resend_scan(slot, p, now);
  sweep(now, block_id);
}

void GvspWorkerLoop::place_data(FrameSlot& slot, const proto::GvspHeader& header) {
  const std::uint64_t p = header.packet_id;
  const std::size_t length = header.payload.size();
  if (p == 1 && !slot.first_data_seen && length > 0) {
    slot.first_data_seen = true;
    if (length != slot.bytes_per_packet) {
      slot.bytes_per_packet = length;
      std::optional<std::uint64_t> count;
      if (!slot.trailer_seen) {
        // A device-chosen length: a count beyond what the payload can need
        // is not believed, and nothing is sized from it.
        count = proto::packet_count_for(settings_.payload_size, length);
        if (!count) {
          CORVANTIC_LOG(Level::Trace, TARGET,
                        "payload packet length " + std::to_string(length) + " implies more than " +
                            std::to_string(proto::max_packet_count(settings_.payload_size)) + " packets (frame " +
                            std::to_string(slot.block_id) + ")");
          slot.status = FrameStatus::WrongPacketId;
          return;
        }
      }
      forget_misplaced_data(slot);
      if (count) set_expected(slot, *count);
    }
  }
  if (p >= 1 && p + 2 <= slot.expected) {
    std::span<std::uint8_t> data = slot.buffer->data();
    const std::uint64_t offset = (p - 1) * slot.bytes_per_packet;
    if (offset + length > data.size() && p != slot.expected - 2) stats_.size_mismatch_errors += 1;
    const std::size_t copied =
        offset >= data.size() ? 0 : std::min<std::size_t>(length, data.size() - static_cast<std::size_t>(offset));
    std::uint8_t* place = data.data() + offset;
    if (copied > 0 && place != header.payload.data()) std::memcpy(place, header.payload.data(), copied);
    slot.received_size += copied;
    slot.high_water = std::max(slot.high_water, offset + copied);
    slot.buffer->packets()[p].placed = true;
    slot.next_data = std::max(slot.next_data, p + 1);
    return;
  }
  CORVANTIC_LOG(Level::Trace, TARGET,
                "payload packet id " + std::to_string(p) + " outside 1..=" +
                    std::to_string(slot.expected < 2 ? 0 : slot.expected - 2) + " (frame " +
                    std::to_string(slot.block_id) + ", " + std::to_string(length) +
                    " data bytes, ext=" + (slot.extended ? "true" : "false") + ")");
  slot.status = FrameStatus::WrongPacketId;
}

// Data packets that arrived before data packet 1 were placed at offsets
// planned from the packet size; once packet 1 fixes another length they sit
// in the wrong places. They are forgotten as if lost, so that the resend
// scan asks for them again (or, without resend, the frame fails): a frame
// never closes Complete with misplaced bytes. Only a frame whose packet 1
// came late with an unplanned length pays this; packet 1 itself is placed
// after this, at offset 0.
void GvspWorkerLoop::forget_misplaced_data(FrameSlot& slot) {
  std::vector<PacketState>& packets = slot.buffer->packets();
  for (std::uint64_t id = 2; id + 1 < slot.expected; ++id) {
    if (packets[id].received) packets[id] = PacketState{};
  }
  slot.received_size = 0;
  slot.high_water = 0;
  slot.next_data = 1;
  // Only the leader and packet 1 can still be in, contiguously.
  slot.contig = -1;
  while (slot.contig < 1 && static_cast<std::uint64_t>(slot.contig + 1) < slot.expected &&
         packets[static_cast<std::size_t>(slot.contig + 1)].received) {
    slot.contig += 1;
  }
}

void GvspWorkerLoop::set_expected(FrameSlot& slot, std::uint64_t expected) {
  slot.expected = expected;
  slot.buffer->packets().resize(static_cast<std::size_t>(expected));
  slot.contig = std::min(slot.contig, static_cast<std::int64_t>(expected) - 1);
}

// ---- Resend requests

void GvspWorkerLoop::resend_scan(FrameSlot& slot, std::uint64_t up_to, Clock::time_point now) {
  if (!settings_.resend_enabled || slot.resend_impossible || up_to >= slot.expected) return;
  const std::uint64_t budget = resend_budget(slot.expected, settings_.timings.resend_ratio);
  if (budget == 0) return;

  std::vector<PacketState>& packets = slot.buffer->packets();
  runs_.clear();
  std::optional<Run> run;
  std::uint64_t in_scan = 0;  // packets of the runs collected so far
  // Ends the current run; false when the scan would pass the frame's budget,
  // which discards every run of this scan: nothing of it is sent, and the
  // frame counts once in resend_ratio_reached. The frame is not given up:
  // packets only late may still arrive, and a later scan that asks for no
  // more than what is left of the budget (its real losses) is sent. The
  // runs' packets are marked only once the scan is known to send them, so
  // that a packet of a discarded run that arrives later is not counted as
  // resent.
  auto end_run = [&]() {
    if (!run) return true;
    in_scan += std::uint64_t{run->last} - run->first + 1;
    if (slot.requested_total + in_scan > budget) {
      if (!slot.resend_budget_reached) {
        slot.resend_budget_reached = true;
        stats_.resend_ratio_reached += 1;
      }
      runs_.clear();
      return false;
    }
    runs_.push_back(*run);
    run.reset();
    return true;
  };

  for (std::uint64_t id = static_cast<std::uint64_t>(slot.contig + 1); id <= up_to; ++id) {
    PacketState& state = packets[id];
    if (state.received) {
      if (!end_run()) return;
    } else if (!state.has_eligible_at()) {
      state.eligible_at = now + reorder_window_;
      if (!end_run()) return;
    } else if (state.eligible_at < now) {
      if (run) {
        run->last = static_cast<std::uint32_t>(id);
      } else {
        run = Run{static_cast<std::uint32_t>(id), static_cast<std::uint32_t>(id)};
      }
    } else {
      if (!end_run()) return;
    }
  }
  if (!end_run()) return;
  slot.requested_total += in_scan;
  for (const Run& r : runs_) {
    for (std::uint64_t id = r.first; id <= r.last; ++id) {
      packets[id].requested_again = packets[id].resend_requested;
      packets[id].resend_requested = true;
      packets[id].eligible_at = now + settings_.timings.resend_interval;
    }
    send_resend(slot, r);
    slot.asked = true;
  }
}

// A packet proved only late: the wait grows so that packets this late are
// not asked for again, at most once per frame (a frame of many late packets
// tells the same thing once).
void GvspWorkerLoop::grow_reorder_window(bool& frame_noted) {
  if (frame_noted) return;
  frame_noted = true;
  const std::chrono::nanoseconds most = std::max(settings_.timings.reorder_delay, max_reorder_window(settings_));
  reorder_window_ = std::min(most, reorder_window_ * 2);
}

void GvspWorkerLoop::note_late_copy(const proto::GvspHeader& header) {
  if (header.is_error() || header.format != proto::GVSP_FORMAT_DATA) return;
  for (CompletedWithRequests& frame : completed_with_requests_) {
    if (frame.valid && frame.block_id == header.block_id) {
      spurious_requests_ += 1;
      grow_reorder_window(frame.noted);
      return;
    }
  }
}

// A frame completed without a needless request: the wait moves back
// towards its starting value, slowly, so that a burst of reordering is
// remembered for a few dozen frames.
void GvspWorkerLoop::decay_reorder_window() {
  reorder_window_ -= (reorder_window_ - settings_.timings.reorder_delay) / 32;
}

void GvspWorkerLoop::send_resend(const FrameSlot& slot, const Run& run) {
  CORVANTIC_LOG(Level::Trace, TARGET, "requesting packet resend", field("frame_id", slot.block_id),
                field("first", run.first), field("last", run.last));
  resend_request_id_ = resend_request_id_ == 65535 ? FIRST_RESEND_REQUEST_ID
                                                   : static_cast<std::uint16_t>(resend_request_id_ + 1);
  const std::size_t size =
      proto::encode_packetresend(resend_buffer_, settings_.channel, slot.block_id, run.first, run.last, slot.extended,
                                 resend_request_id_);
  if (auto sent = resend_sender_->send(std::span(resend_buffer_).first(size)); !sent) {
    CORVANTIC_LOG(Level::Trace, TARGET, "resend request send failed: " + sent.error().text());
  }
  stats_.resend_requests += std::uint64_t{run.last} - run.first + 1;
}

// ---- Sweeps and closes

void GvspWorkerLoop::sweep(Clock::time_point now, std::optional<std::uint64_t> current) {
  while (!frames_.empty()) {
    const FrameSlot& front = frames_.front();
    const bool complete = front.contig == static_cast<std::int64_t>(front.expected) - 1;
    if (complete) {
      close_slot(FrameStatus::Complete);
    } else if (frames_.size() > 1 && !settings_.resend_enabled) {
      close_slot(FrameStatus::MissingPackets);
    } else if (now - front.last_packet_time >= settings_.timings.frame_timeout) {
      close_slot(FrameStatus::Timeout);
    } else {
      break;
    }
  }
  for (FrameSlot& slot : frames_) {
    if (current && slot.block_id == *current) continue;
    if (now - slot.last_packet_time >= settings_.timings.resend_interval) resend_scan(slot, slot.expected - 1, now);
  }
}

void GvspWorkerLoop::close_slot(FrameStatus requested) {
  // A subscriber registered before this close receives this frame.
  drain_registrations();
  if (frames_.empty()) return;
  FrameSlot slot = std::move(frames_.front());
  frames_.erase(frames_.begin());
  FrameStatus status = slot.status.value_or(requested);
  const bool chunk_data = status == FrameStatus::Complete && slot.leader && slot.leader->chunk_data;
  if (chunk_data && !read_chunk_layout(slot)) status = FrameStatus::PayloadUnsupported;

  if (status == FrameStatus::Complete) {
    stats_.completed_frames += 1;
    if (!slot.showed_lateness) decay_reorder_window();
    if (slot.asked) {
      completed_with_requests_[completed_next_] = {slot.block_id, true, slot.showed_lateness};
      completed_next_ = (completed_next_ + 1) % completed_with_requests_.size();
    }
  } else {
    CORVANTIC_LOG(Level::Trace, TARGET, "frame closed incomplete", field("frame_id", slot.block_id),
                  field("status", frame_status_name(status)));
    if (status == FrameStatus::Aborted) {
      stats_.aborted_frames += 1;
    } else {
      if (status == FrameStatus::Timeout) stats_.timed_out_frames += 1;
      stats_.failed_frames += 1;
    }
  }
  if (status != FrameStatus::Complete && status != FrameStatus::Aborted) {
    const std::int64_t missing = static_cast<std::int64_t>(slot.expected) - 1 - slot.contig;
    stats_.missing_packets += static_cast<std::uint64_t>(std::max<std::int64_t>(0, missing));
  }

  FrameInfo& info = slot.buffer->info;
  info = FrameInfo{};
  info.frame_id = slot.block_id;
  info.status = status;
  if (slot.leader) {
    info.width = slot.leader->size_x;
    info.height = slot.leader->size_y;
    info.x_offset = slot.leader->offset_x;
    info.y_offset = slot.leader->offset_y;
    info.pixel_format_code = slot.leader->pixel_format;
    info.timestamp_ticks = slot.leader->timestamp;
  }
  info.system_timestamp_ns = slot.system_timestamp_ns;
  info.timestamp_ns = timestamp_ns(info.timestamp_ticks, settings_.tick_frequency, slot.system_timestamp_ns);
  info.received_size = slot.received_size;
  info.high_water = slot.high_water;
  info.opened_at = slot.opened_at;
  info.chunk_data = chunk_data && status == FrameStatus::Complete;
  if (status != FrameStatus::Complete) zero_holes(slot);

  const Frame frame(std::move(slot.buffer));
  publish();
  if (const std::size_t dropped = deliver(subscriptions_, frame); dropped > 0) {
    stats_.frames_dropped += dropped;
    publish();
  }
}

// A frame's chunk layout, parsed into its buffer's own table over the bytes
// the frame shows, up to the chunk data length when the trailer gives one.
// A layout that does not parse (a length past the payload, more chunks than
// the bound, a trailer's length past the bytes received) is counted and
// logged; the frame then fails.
bool GvspWorkerLoop::read_chunk_layout(FrameSlot& slot) {
  FrameBuffer& buffer = *slot.buffer;
  const auto shown = static_cast<std::size_t>(std::min<std::uint64_t>(slot.high_water, buffer.payload_size()));
  const auto chunks = proto::chunk_data(buffer.data().first(shown), slot.chunk_data_length);
  const auto parsed = chunks ? proto::parse_chunk_layout(*chunks, buffer.chunk_layout)
                             : std::expected<void, proto::ChunkLayoutError>(std::unexpected(chunks.error()));
  if (parsed) return true;
  chunk_layout_errors_ += 1;
  CORVANTIC_LOG(Level::Debug, TARGET, "frame closed for its chunk layout", field("frame_id", slot.block_id),
                field("reason", proto::chunk_layout_error_text(parsed.error())));
  return false;
}

// The places of data packets that were never placed (lost, or arrived
// after the frame failed early), up to the end of the data the frame shows,
// may hold bytes of an earlier frame, of a packet aimed there by mistake or
// of another host's datagram; a failed frame shows zeros there instead.
// Complete frames have no holes and skip this.
void GvspWorkerLoop::zero_holes(FrameSlot& slot) {
  if (slot.bytes_per_packet == 0) return;
  const std::span<std::uint8_t> data = slot.buffer->data().first(
      static_cast<std::size_t>(std::min<std::uint64_t>(slot.high_water, slot.buffer->payload_size())));
  const std::vector<PacketState>& packets = slot.buffer->packets();
  for (std::uint64_t id = 1; id + 1 < slot.expected; ++id) {
    const std::uint64_t offset = (id - 1) * slot.bytes_per_packet;
    if (offset >= data.size()) break;
    if (packets[id].placed) continue;
    const std::size_t length = std::min<std::size_t>(slot.bytes_per_packet, data.size() - offset);
    std::memset(data.data() + offset, 0, length);
  }
}

bool GvspWorkerLoop::drain_registrations() {
  registrations_->take(taken_);
  for (Registration& registration : taken_) {
    if (registration.is_stop()) {
      stop_ = true;
    } else {
      subscriptions_.push_back(std::move(*registration.subscription));
    }
  }
  taken_.clear();
  return stop_;
}

void GvspWorkerLoop::publish() {
  shared_stats_->publish(stats_, {reorder_window_, spurious_requests_}, chunk_layout_errors_);
}

void GvspWorkerLoop::shut_down() {
  while (!frames_.empty()) close_slot(FrameStatus::Aborted);
  publish();
  subscriptions_.clear();
  registrations_->close();
  CORVANTIC_LOG(Level::Debug, TARGET,
                "reorder window " + std::to_string(reorder_window_.count() / 1000) + " us at the end; " +
                    std::to_string(spurious_requests_) + " resend requests were for packets only late",
                field("reorder_window_us", reorder_window_.count() / 1000),
                field("spurious_requests", spurious_requests_));
  CORVANTIC_LOG(Level::Debug, TARGET, "gvsp worker shutting down");
}

void GvspWorkerLoop::end_subscriptions() noexcept {
  subscriptions_.clear();
  registrations_->close();
}

}  // namespace corvantic::gige::stream
